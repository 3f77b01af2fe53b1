#include "toolkit/widgets/Anchors.h"

#include <QEvent>
#include <QObject>
#include <QRect>
#include <QVariant>
#include <QWidget>

namespace {

struct TAnchorData {
    TAnchors Anchors;
    int Left = 0, Top = 0, Right = 0, Bottom = 0; // distances to the parent's edges
    int Width = 0, Height = 0;
};

const char* const kAnchorProperty = "_tapestrix_anchor";

class TAnchorFilter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize)
            ApplyAnchors(static_cast<QWidget*>(watched));
        return false;
    }
};

} // namespace

Q_DECLARE_METATYPE(TAnchorData)

void SetAnchors(QWidget* child, TAnchors anchors) {
    QWidget* parent = child->parentWidget();
    if (!parent)
        return;
    const QRect g = child->geometry();
    TAnchorData data;
    data.Anchors = anchors;
    data.Left = g.x();
    data.Top = g.y();
    data.Right = parent->width() - (g.x() + g.width());
    data.Bottom = parent->height() - (g.y() + g.height());
    data.Width = g.width();
    data.Height = g.height();
    child->setProperty(kAnchorProperty, QVariant::fromValue(data));
    // One filter per parent, remembered on the parent (the filter class has no meta-object of
    // its own, so it cannot be looked up by type).
    const char* const kFilterProperty = "_tapestrix_anchor_filter";
    if (!parent->property(kFilterProperty).toBool()) {
        parent->installEventFilter(new TAnchorFilter(parent));
        parent->setProperty(kFilterProperty, true);
    }
}

void ApplyAnchors(QWidget* parent) {
    for (QWidget* child : parent->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        const QVariant value = child->property(kAnchorProperty);
        if (!value.isValid())
            continue;
        const auto data = value.value<TAnchorData>();
        int left = data.Left, top = data.Top, width = data.Width, height = data.Height;
        const bool l = data.Anchors.testFlag(TAnchorKind::akLeft);
        const bool r = data.Anchors.testFlag(TAnchorKind::akRight);
        const bool t = data.Anchors.testFlag(TAnchorKind::akTop);
        const bool b = data.Anchors.testFlag(TAnchorKind::akBottom);
        if (l && r)
            width = parent->width() - data.Left - data.Right;
        else if (r)
            left = parent->width() - data.Right - data.Width;
        if (t && b)
            height = parent->height() - data.Top - data.Bottom;
        else if (b)
            top = parent->height() - data.Bottom - data.Height;
        const QRect target(left, top, qMax(0, width), qMax(0, height));
        if (child->geometry() != target)
            child->setGeometry(target);
    }
}
