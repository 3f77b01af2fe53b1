#include "toolkit/widgets/ButtonGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>

namespace {

const char* ThemeName(TGlyph glyph) {
    switch (glyph) {
    case TGlyph::Browse:
        return "document-open";
    case TGlyph::Clear:
        return "edit-clear";
    case TGlyph::Preview:
        return "zoom-original";
    case TGlyph::Apply:
        return "dialog-ok-apply";
    case TGlyph::Stop:
        return "process-stop";
    case TGlyph::Exit:
        return "application-exit";
    case TGlyph::About:
        return "help-about";
    case TGlyph::Add:
        return "list-add";
    case TGlyph::Up:
        return "go-up";
    case TGlyph::Down:
        return "go-down";
    case TGlyph::Delete:
        return "list-remove";
    case TGlyph::Monitors:
        return "video-display";
    }
    return "";
}

QPolygonF Arrow(bool up) {
    QPolygonF shape;
    if (up)
        shape << QPointF(8, 2) << QPointF(14, 9) << QPointF(10, 9) << QPointF(10, 14)
              << QPointF(6, 14) << QPointF(6, 9) << QPointF(2, 9);
    else
        shape << QPointF(8, 14) << QPointF(14, 7) << QPointF(10, 7) << QPointF(10, 2)
              << QPointF(6, 2) << QPointF(6, 7) << QPointF(2, 7);
    return shape;
}

} // namespace

QIcon DrawnGlyph(TGlyph glyph) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QPen outline(QColor(40, 40, 40), 1);
    p.setPen(outline);
    switch (glyph) {
    case TGlyph::Browse: // an open folder
        p.setBrush(QColor(236, 196, 84));
        p.drawRect(QRectF(1.5, 4.5, 12, 9));
        p.setBrush(QColor(250, 220, 120));
        p.drawPolygon(QPolygonF() << QPointF(3.5, 7.5) << QPointF(15, 7.5) << QPointF(12.5, 13.5)
                                  << QPointF(1.5, 13.5));
        break;
    case TGlyph::Clear: // an eraser
        p.setBrush(QColor(230, 120, 140));
        p.drawPolygon(QPolygonF() << QPointF(2, 10) << QPointF(9, 3) << QPointF(14, 8)
                                  << QPointF(8, 14) << QPointF(4, 14));
        break;
    case TGlyph::Preview: // a magnifier
        p.setBrush(QColor(200, 230, 255));
        p.drawEllipse(QRectF(2, 2, 9, 9));
        p.setPen(QPen(QColor(60, 60, 60), 2.5));
        p.drawLine(QPointF(10, 10), QPointF(14.5, 14.5));
        break;
    case TGlyph::Apply: // a tick
        p.setPen(QPen(QColor(30, 140, 40), 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawPolyline(QPolygonF()
                       << QPointF(2.5, 8.5) << QPointF(6.5, 12.5) << QPointF(13.5, 3.5));
        break;
    case TGlyph::Stop: // a red octagon
        p.setBrush(QColor(210, 40, 40));
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.setPen(QPen(Qt::white, 2));
        p.drawLine(QPointF(5, 8), QPointF(11, 8));
        break;
    case TGlyph::Exit: // a door with an arrow
        p.setBrush(QColor(160, 110, 60));
        p.drawRect(QRectF(2.5, 1.5, 7, 13));
        p.setPen(QPen(QColor(30, 110, 200), 2));
        p.drawLine(QPointF(8, 8), QPointF(15, 8));
        p.drawLine(QPointF(12, 5), QPointF(15, 8));
        p.drawLine(QPointF(12, 11), QPointF(15, 8));
        break;
    case TGlyph::About: // an "i" in a blue circle
        p.setBrush(QColor(40, 100, 200));
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.setPen(QPen(Qt::white, 2));
        p.drawLine(QPointF(8, 7), QPointF(8, 12));
        p.drawPoint(QPointF(8, 4.5));
        break;
    case TGlyph::Add: // a green plus
        p.setPen(QPen(QColor(30, 140, 40), 3));
        p.drawLine(QPointF(8, 2), QPointF(8, 14));
        p.drawLine(QPointF(2, 8), QPointF(14, 8));
        break;
    case TGlyph::Up:
    case TGlyph::Down:
        p.setBrush(QColor(60, 120, 210));
        p.drawPolygon(Arrow(glyph == TGlyph::Up));
        break;
    case TGlyph::Delete: // a red cross
        p.setPen(QPen(QColor(200, 30, 30), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(3, 3), QPointF(13, 13));
        p.drawLine(QPointF(13, 3), QPointF(3, 13));
        break;
    case TGlyph::Monitors: // two screens side by side
        p.setPen(QPen(QColor(60, 60, 60), 1));
        p.setBrush(QColor(120, 170, 230));
        p.drawRect(QRectF(0.5, 3.5, 8, 6));
        p.drawRect(QRectF(9.5, 2.5, 6, 9));
        p.drawLine(QPointF(2.5, 12.5), QPointF(6.5, 12.5));
        p.drawLine(QPointF(10.5, 13.5), QPointF(14.5, 13.5));
        break;
    }
    p.end();
    return QIcon(pixmap);
}

QIcon ButtonGlyph(TGlyph glyph) {
    return QIcon::fromTheme(QString::fromLatin1(ThemeName(glyph)), DrawnGlyph(glyph));
}
