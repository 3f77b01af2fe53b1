// Small pictures for buttons: the desktop icon theme's icon when it has one, else a drawn one.
// Both come with a greyed state for disabled buttons (QIcon makes it).
#pragma once

#include <QIcon>

enum class TGlyph {
    Browse,
    Clear,
    Preview,
    Apply,
    Stop,
    Exit,
    About,
    Add,
    Up,
    Down,
    Delete,
    Monitors
};

QIcon ButtonGlyph(TGlyph glyph);
// The drawn picture alone (16 x 16), without asking the icon theme.
QIcon DrawnGlyph(TGlyph glyph);
