// Drawing through the metafile device: pens and brushes made from the GDI objects, the binary
// raster operations, rendering (or measuring) a figure in target pixels, and the lines, curves and
// shapes of both formats.
#include "toolkit/metafile/MetafileDevice.h"

#include <algorithm>
#include <cmath>

namespace metafile {

namespace {

// 8 x 8 hatch patterns, one byte a row, the high bit leftmost.
const uint8_t kHatches[6][8] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF}, // horizontal
    {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}, // vertical
    {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01}, // forward diagonal "\"
    {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80}, // backward diagonal "/"
    {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0xFF}, // cross
    {0x81, 0x42, 0x24, 0x18, 0x18, 0x24, 0x42, 0x81}, // diagonal cross
};

// The binary raster operations R2_BLACK (1) .. R2_WHITE (16) as composition modes; R2_NOP (11)
// draws nothing and R2_COPYPEN (13) draws as it is.
const QPainter::CompositionMode kRop2Modes[16] = {
    QPainter::RasterOp_ClearDestination,        QPainter::RasterOp_NotSourceAndNotDestination,
    QPainter::RasterOp_NotSourceAndDestination, QPainter::RasterOp_NotSource,
    QPainter::RasterOp_SourceAndNotDestination, QPainter::RasterOp_NotDestination,
    QPainter::RasterOp_SourceXorDestination,    QPainter::RasterOp_NotSourceOrNotDestination,
    QPainter::RasterOp_SourceAndDestination,    QPainter::RasterOp_NotSourceXorDestination,
    QPainter::CompositionMode_SourceOver,       QPainter::RasterOp_NotSourceOrDestination,
    QPainter::CompositionMode_SourceOver,       QPainter::RasterOp_SourceOrNotDestination,
    QPainter::RasterOp_SourceOrDestination,     QPainter::RasterOp_SetDestination,
};

QPainter::CompositionMode Rop2Mode(int rop2) {
    return rop2 >= 1 && rop2 <= 16 ? kRop2Modes[rop2 - 1] : QPainter::CompositionMode_SourceOver;
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Pens and brushes

double TDevice::PenWidthPixels(double logicalWidth) {
    const double scale = std::sqrt(std::fabs(Det(Mapping())));
    return logicalWidth * scale;
}

bool TDevice::MakePen(QPen& pen, double* widthOut) {
    const TPenDef& def = FState.Pen;
    const uint32_t style = def.Style & PS_STYLE_MASK;
    if (style == PS_NULL)
        return false;
    double width = def.Width > 0 ? PenWidthPixels(def.Width) : 0;
    bool cosmetic = !(width >= 1.5);
    if (def.Extended && (def.Style & PS_TYPE_MASK) != PS_GEOMETRIC)
        cosmetic = true;
    pen = QPen(ResolveColor(def.Color));
    if (cosmetic) {
        width = 1;
        pen.setCosmetic(true);
        pen.setWidth(1);
        pen.setCapStyle(Qt::FlatCap);
        pen.setJoinStyle(Qt::MiterJoin);
    } else {
        // Wider than twice the target covers it anyway; QPen takes at most 32767.
        const double limit = std::min(2 * (FTarget.width() + FTarget.height()) + 16, 32767.0);
        width = std::min(width, limit);
        pen.setWidthF(width);
        Qt::PenCapStyle cap = Qt::RoundCap;
        Qt::PenJoinStyle join = Qt::RoundJoin;
        if (def.Extended) {
            switch (def.Style & PS_ENDCAP_MASK) {
            case PS_ENDCAP_SQUARE:
                cap = Qt::SquareCap;
                break;
            case PS_ENDCAP_FLAT:
                cap = Qt::FlatCap;
                break;
            default:
                break;
            }
            switch (def.Style & PS_JOIN_MASK) {
            case PS_JOIN_BEVEL:
                join = Qt::BevelJoin;
                break;
            case PS_JOIN_MITER:
                join = Qt::MiterJoin;
                break;
            default:
                break;
            }
        }
        pen.setCapStyle(cap);
        pen.setJoinStyle(join);
        pen.setMiterLimit(std::clamp(FState.MiterLimit, 1.0, 100.0));
    }
    QList<qreal> dashes;
    switch (style) {
    case PS_DASH:
        dashes = cosmetic ? QList<qreal>{18, 6} : QList<qreal>{3, 1};
        break;
    case PS_DOT:
        dashes = cosmetic ? QList<qreal>{3, 3} : QList<qreal>{1, 1};
        break;
    case PS_DASHDOT:
        dashes = cosmetic ? QList<qreal>{9, 6, 3, 6} : QList<qreal>{3, 1, 1, 1};
        break;
    case PS_DASHDOTDOT:
        dashes = cosmetic ? QList<qreal>{9, 3, 3, 3, 3, 3} : QList<qreal>{3, 1, 1, 1, 1, 1};
        break;
    case PS_ALTERNATE:
        dashes = {1, 1};
        break;
    case PS_USERSTYLE: {
        double total = 0;
        const double toPen = cosmetic ? 1.0 : PenWidthPixels(1) / width;
        for (size_t i = 0; i < def.Dashes.size() && i < 16; ++i) {
            const double d = Clamp(def.Dashes[i] * toPen, 0.01, 1e6);
            dashes.append(d);
            total += d;
        }
        if (dashes.size() % 2 == 1)
            dashes.append(dashes.back());
        if (total <= 0.05)
            dashes.clear();
        break;
    }
    default:
        break;
    }
    if (!dashes.isEmpty())
        pen.setDashPattern(dashes);
    *widthOut = width;
    return true;
}

bool TDevice::MakeBrush(const TBrushDef& def, QBrush& out) {
    switch (def.Style) {
    case BS_NULL:
        return false;
    case BS_HATCHED: {
        if (def.Hatch > 5) {
            out = QBrush(ResolveColor(def.Color));
            return true;
        }
        QImage tile(8, 8, QImage::Format_ARGB32);
        tile.fill(FState.BkMode == OPAQUE ? ResolveColor(FState.BkColor).rgba() : 0u);
        const QRgb ink = ResolveColor(def.Color).rgba();
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
                if (kHatches[def.Hatch][y] & (0x80 >> x))
                    tile.setPixel(x, y, ink);
        out = QBrush(tile);
        return true;
    }
    case BS_PATTERN:
    case BS_DIBPATTERN:
    case BS_DIBPATTERNPT: {
        if (def.Pattern.isNull())
            return false;
        if (!def.MonoPattern) {
            out = QBrush(def.Pattern);
            return true;
        }
        QImage tile = def.Pattern.convertToFormat(QImage::Format_ARGB32);
        const QRgb fore = ResolveColor(FState.TextColor).rgba();
        const QRgb back = ResolveColor(FState.BkColor).rgba();
        for (int y = 0; y < tile.height(); ++y) {
            QRgb* row = reinterpret_cast<QRgb*>(tile.scanLine(y));
            for (int x = 0; x < tile.width(); ++x)
                row[x] = qRed(row[x]) < 128 ? fore : back;
        }
        out = QBrush(tile);
        return true;
    }
    default:
        out = QBrush(ResolveColor(def.Color));
        return true;
    }
}

void TDevice::SetRop2Mode() {
    FPainter.setCompositionMode(Rop2Mode(FState.Rop2));
}

// ---------------------------------------------------------------------------------------------
// Rendering

bool TDevice::Measured(const QRectF& area) {
    if (!FSetup.Measure)
        return false;
    if (!area.isEmpty() || area.width() > 0 || area.height() > 0)
        FMeasured = FMeasured.isNull() ? area : FMeasured.united(area);
    return true;
}

void TDevice::ApplyClip() {
    if (!FClipDirty)
        return;
    FPainter.restore();
    FPainter.save();
    const std::optional<TClip> clip = EffectiveClip();
    if (clip) {
        Spend(int64_t(FTarget.width() * FTarget.height() / 8));
        FPainter.setTransform(FBase);
        if (clip->IsRect)
            FPainter.setClipRect(clip->Rect, Qt::IntersectClip);
        else
            FPainter.setClipPath(clip->Path, Qt::IntersectClip);
    }
    FClipDirty = false;
}

void TDevice::Render(const QPainterPath& target, bool fill, bool stroke) {
    if (FState.Rop2 == R2_NOP || target.isEmpty())
        return;
    QPen pen;
    double width = 0;
    const bool havePen = stroke && MakePen(pen, &width);
    QBrush brush;
    const bool haveBrush = fill && MakeBrush(FState.Brush, brush);
    if (!havePen && !haveBrush)
        return;
    QRectF bounds = target.controlPointRect();
    if (havePen)
        bounds.adjust(-width, -width, width, width);
    if (FSetup.Measure) {
        const double half = havePen ? width / 2 : 0;
        Spend(64 + int64_t(target.elementCount()) * 8);
        Measured(target.controlPointRect().adjusted(-half, -half, half, half));
        return;
    }
    const QRectF visible = bounds & FVisible;
    if (!Spend(64 + int64_t(target.elementCount()) * 8 +
               int64_t(visible.width() * visible.height())))
        return;
    if (visible.isEmpty() && !(havePen && bounds.intersects(FVisible.adjusted(-1, -1, 1, 1))))
        return;
    ApplyClip();
    FPainter.setTransform(FBase);
    SetRop2Mode();
    if (haveBrush) {
        QPainterPath area = target;
        area.setFillRule(FState.PolyFillMode == WINDING ? Qt::WindingFill : Qt::OddEvenFill);
        FPainter.fillPath(area, brush);
    }
    if (havePen) {
        if (pen.style() == Qt::CustomDashLine) {
            // A dash pattern repeated millions of times along a huge figure costs far more
            // than it can show: draw such lines solid.
            double period = 0;
            for (qreal d : pen.dashPattern())
                period += d;
            period *= std::max(1.0, width);
            const QRectF b = target.controlPointRect();
            const double extent = (b.width() + b.height()) * 2 + 1;
            if (period <= 0 || extent * std::max(1, target.elementCount()) / period > 2e5)
                pen.setStyle(Qt::SolidLine);
        }
        FPainter.strokePath(target, pen);
    }
    FPainter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void TDevice::Emit(const QPainterPath& target, bool fill, bool stroke) {
    if (FPathOpen) {
        if (!Spend(int64_t(target.elementCount()) * 4))
            return;
        FPath.addPath(target);
        FFigureOpen = false;
        return;
    }
    Render(target, fill, stroke);
}

void TDevice::EnsureFigure() {
    if (!FFigureOpen) {
        FPath.moveTo(Snap(ToTarget(FState.Current)));
        FFigureOpen = true;
    }
}

// ---------------------------------------------------------------------------------------------
// Lines and curves

void TDevice::MoveTo(QPointF p) {
    FState.Current = p;
    if (FPathOpen && MappingUsable()) {
        FPath.moveTo(Snap(ToTarget(p)));
        FFigureOpen = true;
    }
}

void TDevice::LineTo(QPointF p) {
    if (MappingUsable()) {
        if (FPathOpen) {
            EnsureFigure();
            FPath.lineTo(Snap(ToTarget(p)));
        } else {
            QPainterPath line;
            line.moveTo(FState.Current);
            line.lineTo(p);
            Render(MapPath(line), false, true);
        }
    }
    FState.Current = p;
}

void TDevice::Polyline(const QPolygonF& points) {
    if (points.size() < 2 || !MappingUsable())
        return;
    QPainterPath path;
    path.addPolygon(points);
    Emit(MapPath(path), false, true);
}

void TDevice::PolylineTo(const QPolygonF& points) {
    if (points.isEmpty())
        return;
    if (MappingUsable()) {
        if (FPathOpen) {
            EnsureFigure();
            for (const QPointF& p : points)
                FPath.lineTo(Snap(ToTarget(p)));
        } else {
            QPainterPath path;
            path.moveTo(FState.Current);
            for (const QPointF& p : points)
                path.lineTo(p);
            Render(MapPath(path), false, true);
        }
    }
    FState.Current = points.back();
}

void TDevice::Polygon(const QPolygonF& points) {
    if (points.size() < 2 || !MappingUsable())
        return;
    QPainterPath path;
    path.addPolygon(points);
    path.closeSubpath();
    Emit(MapPath(path), true, true);
}

void TDevice::PolyPolygon(const std::vector<QPolygonF>& polygons) {
    if (!MappingUsable())
        return;
    QPainterPath path;
    for (const QPolygonF& polygon : polygons) {
        if (polygon.size() < 2)
            continue;
        path.addPolygon(polygon);
        path.closeSubpath();
    }
    Emit(MapPath(path), true, true);
}

void TDevice::PolyPolyline(const std::vector<QPolygonF>& polylines) {
    if (!MappingUsable())
        return;
    QPainterPath path;
    for (const QPolygonF& polyline : polylines)
        if (polyline.size() >= 2)
            path.addPolygon(polyline);
    Emit(MapPath(path), false, true);
}

void TDevice::PolyBezier(const QPolygonF& points) {
    if (points.size() < 4 || !MappingUsable())
        return;
    QPainterPath path;
    path.moveTo(points[0]);
    for (qsizetype i = 1; i + 2 < points.size(); i += 3)
        path.cubicTo(points[i], points[i + 1], points[i + 2]);
    Emit(MapPath(path), false, true);
}

void TDevice::PolyBezierTo(const QPolygonF& points) {
    if (points.size() < 3)
        return;
    const qsizetype usable = points.size() - points.size() % 3;
    if (MappingUsable()) {
        if (FPathOpen) {
            EnsureFigure();
            for (qsizetype i = 0; i + 2 < usable; i += 3)
                FPath.cubicTo(Snap(ToTarget(points[i])), Snap(ToTarget(points[i + 1])),
                              Snap(ToTarget(points[i + 2])));
        } else {
            QPainterPath path;
            path.moveTo(FState.Current);
            for (qsizetype i = 0; i + 2 < usable; i += 3)
                path.cubicTo(points[i], points[i + 1], points[i + 2]);
            Render(MapPath(path), false, true);
        }
    }
    FState.Current = points[usable - 1];
}

void TDevice::PolyDraw(const QPolygonF& points, const std::vector<uint8_t>& types) {
    enum : uint8_t { PT_CLOSEFIGURE = 1, PT_LINETO = 2, PT_BEZIERTO = 4, PT_MOVETO = 6 };
    if (points.isEmpty() || types.size() < size_t(points.size()))
        return;
    QPainterPath path;
    path.moveTo(FState.Current);
    QPointF current = FState.Current;
    for (qsizetype i = 0; i < points.size(); ++i) {
        const uint8_t type = types[size_t(i)] & ~PT_CLOSEFIGURE;
        if (type == PT_MOVETO) {
            path.moveTo(points[i]);
        } else if (type == PT_LINETO) {
            path.lineTo(points[i]);
        } else if (type == PT_BEZIERTO && i + 2 < points.size()) {
            path.cubicTo(points[i], points[i + 1], points[i + 2]);
            i += 2;
        } else {
            return; // GDI draws nothing for an invalid type sequence
        }
        current = points[i];
        if (types[size_t(i)] & PT_CLOSEFIGURE)
            path.closeSubpath();
    }
    if (MappingUsable()) {
        if (FPathOpen) {
            FPath.addPath(MapPath(path));
            FFigureOpen = true;
        } else {
            Render(MapPath(path), false, true);
        }
    }
    FState.Current = current;
}

// ---------------------------------------------------------------------------------------------
// Shapes

double TDevice::Deflation() {
    const TPenDef& pen = FState.Pen;
    if ((pen.Style & PS_STYLE_MASK) != PS_INSIDEFRAME || pen.Width <= 0)
        return 0;
    const double width = PenWidthPixels(pen.Width);
    return width >= 1.5 ? width / 2 : 0;
}

void TDevice::BoxFigure(const QRectF& box, const QRectF& logicalBox,
                        void (QPainterPath::*add)(const QRectF&)) {
    if (!MappingUsable())
        return;
    QRectF t;
    QPainterPath path;
    if (TargetBox(box, t, true)) {
        const double d = Deflation();
        (path.*add)(t.adjusted(d, d, -d, -d));
    } else {
        QPainterPath logical;
        (logical.*add)(logicalBox);
        path = MapPath(logical);
    }
    Emit(path, true, true);
}

void TDevice::Rectangle(const QRectF& box) {
    BoxFigure(box, box, &QPainterPath::addRect);
}

void TDevice::RoundRect(const QRectF& box, double cornerWidth, double cornerHeight) {
    if (!MappingUsable())
        return;
    QRectF t;
    QPainterPath path;
    if (TargetBox(box, t, true)) {
        const double d = Deflation();
        t = t.adjusted(d, d, -d, -d);
        const QTransform& m = Mapping();
        const double rx = std::min(std::fabs(cornerWidth * m.m11()) / 2, t.width() / 2);
        const double ry = std::min(std::fabs(cornerHeight * m.m22()) / 2, t.height() / 2);
        path.addRoundedRect(t, rx, ry);
    } else {
        QPainterPath logical;
        const QRectF n = box.normalized();
        logical.addRoundedRect(n, std::min(std::fabs(cornerWidth) / 2, n.width() / 2),
                               std::min(std::fabs(cornerHeight) / 2, n.height() / 2));
        path = MapPath(logical);
    }
    Emit(path, true, true);
}

void TDevice::Ellipse(const QRectF& box) {
    BoxFigure(box, box.normalized(), &QPainterPath::addEllipse);
}

void TDevice::Arc(TArcKind kind, const QRectF& box, QPointF start, QPointF end) {
    if (!MappingUsable())
        return;
    // Work in target pixels when the mapping keeps axes (GDI's exclusive box edges apply),
    // else in logical units mapped afterwards.
    QRectF work;
    QPointF s = start, e = end;
    bool ccw = FState.ArcDirection != AD_CLOCKWISE;
    const bool inTarget = TargetBox(box, work, true);
    if (inTarget) {
        const double d = Deflation();
        work = work.adjusted(d, d, -d, -d);
        s = ToTarget(start);
        e = ToTarget(end);
    } else {
        work = box.normalized();
        if (Det(Mapping()) < 0)
            ccw = !ccw;
    }
    const QPointF c = work.center();
    const double rx = std::max(work.width() / 2, 1e-9);
    const double ry = std::max(work.height() / 2, 1e-9);
    auto angle = [&](QPointF p) {
        return std::atan2(-(p.y() - c.y()) * rx, (p.x() - c.x()) * ry) * 180 / M_PI;
    };
    const double a0 = angle(s);
    const double a1 = angle(e);
    double sweep = a1 - a0;
    if (ccw) {
        while (sweep <= 0)
            sweep += 360;
    } else {
        while (sweep >= 0)
            sweep -= 360;
    }
    if (!std::isfinite(sweep))
        return;
    QPainterPath path;
    switch (kind) {
    case TArcKind::Arc:
    case TArcKind::ArcTo:
        path.arcMoveTo(work, a0);
        path.arcTo(work, a0, sweep);
        break;
    case TArcKind::Chord:
        path.arcMoveTo(work, a0);
        path.arcTo(work, a0, sweep);
        path.closeSubpath();
        break;
    case TArcKind::Pie:
        path.moveTo(c);
        path.arcTo(work, a0, sweep);
        path.closeSubpath();
        break;
    }
    const QPainterPath target = inTarget ? path : MapPath(path);
    if (kind == TArcKind::ArcTo) {
        // A line from the current position to the arc's start, then the arc; the current
        // position ends at the arc's end, in logical units.
        const QRectF lb = box.normalized();
        const QPointF lc = lb.center();
        const double lrx = lb.width() / 2, lry = lb.height() / 2;
        const double ea = std::atan2((end.y() - lc.y()) * lrx, (end.x() - lc.x()) * lry);
        const QPointF logicalEnd(lc.x() + lrx * std::cos(ea), lc.y() + lry * std::sin(ea));
        if (FPathOpen) {
            EnsureFigure();
            FPath.connectPath(target);
        } else {
            QPainterPath joined;
            joined.moveTo(Snap(ToTarget(FState.Current)));
            joined.connectPath(target);
            Render(joined, false, true);
        }
        FState.Current = logicalEnd;
        return;
    }
    const bool closed = kind != TArcKind::Arc;
    Emit(target, closed, true);
}

void TDevice::AngleArc(QPointF center, double radius, double startDeg, double sweepDeg) {
    if (!MappingUsable() || !std::isfinite(startDeg) || !std::isfinite(sweepDeg) ||
        !std::isfinite(radius))
        return;
    sweepDeg = Clamp(sweepDeg, -3600, 3600);
    startDeg = std::fmod(startDeg, 360);
    const double flip = Det(Mapping()) < 0 ? -1 : 1;
    const double a1 = (startDeg + sweepDeg) * M_PI / 180;
    const QRectF box(center.x() - radius, center.y() - radius, 2 * radius, 2 * radius);
    QPainterPath path;
    path.moveTo(FState.Current);
    path.arcTo(box, startDeg * flip, sweepDeg * flip);
    const QPointF end(center.x() + radius * std::cos(a1),
                      center.y() - flip * radius * std::sin(a1));
    const QPainterPath target = MapPath(path);
    if (FPathOpen) {
        EnsureFigure();
        FPath.connectPath(target);
    } else {
        Render(target, false, true);
    }
    FState.Current = end;
}

void TDevice::SetPixel(QPointF p, uint32_t colorRef) {
    if (!MappingUsable() || !Spend(16))
        return;
    const QPointF t = Snap(ToTarget(p));
    if (Measured(QRectF(t.x(), t.y(), 1, 1)))
        return;
    ApplyClip();
    FPainter.setTransform(FBase);
    FPainter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    FPainter.fillRect(QRectF(t.x(), t.y(), 1, 1), ResolveColor(colorRef));
}

} // namespace metafile
