// Keeps a child's distances to its parent's edges as the parent is resized, like the toolkit's
// anchors: a side that is anchored keeps its distance to the parent's side; a child anchored to
// both left and right (or top and bottom) stretches.
#pragma once

#include <QFlags>

class QWidget;

enum class TAnchorKind { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
Q_DECLARE_FLAGS(TAnchors, TAnchorKind)
Q_DECLARE_OPERATORS_FOR_FLAGS(TAnchors)

// Records the child's current distances to its parent's edges and keeps them from now on. Call it
// once the child and its parent have their design geometry.
void SetAnchors(QWidget* child, TAnchors anchors);
// Applies the anchors of every anchored child of parent to its current size (done on every
// resize of the parent; callers that need the children placed before they react to the resize
// call it first).
void ApplyAnchors(QWidget* parent);
