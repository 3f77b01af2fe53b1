// Regions, paths and clipping of the metafile device. Paths and clip regions are kept in target
// pixels, as GDI keeps them in device pixels.
#include "toolkit/metafile/MetafileDevice.h"

#include <QPainterPathStroker>

#include <algorithm>
#include <cmath>

namespace metafile {

namespace {

QPainterPath CloseAll(const QPainterPath& path) {
    QPainterPath out;
    out.setFillRule(path.fillRule());
    const int n = path.elementCount();
    for (int i = 0; i < n; ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            if (i > 0)
                out.closeSubpath();
            out.moveTo(e.x, e.y);
            break;
        case QPainterPath::LineToElement:
            out.lineTo(e.x, e.y);
            break;
        case QPainterPath::CurveToElement:
            if (i + 2 < n) {
                const QPainterPath::Element c2 = path.elementAt(i + 1);
                const QPainterPath::Element c3 = path.elementAt(i + 2);
                out.cubicTo(e.x, e.y, c2.x, c2.y, c3.x, c3.y);
            }
            i += 2;
            break;
        default:
            break;
        }
    }
    if (n > 0)
        out.closeSubpath();
    return out;
}

} // namespace

QPainterPath TClip::ToPath() const {
    if (!IsRect)
        return Path;
    QPainterPath p;
    p.addRect(Rect);
    return p;
}

// ---------------------------------------------------------------------------------------------
// Regions

QPainterPath TDevice::LogicalRegionToTarget(const QPainterPath& logical) {
    if (!MappingUsable())
        return QPainterPath();
    return MapPath(logical);
}

QPainterPath TDevice::DeviceRectsToTarget(const std::vector<QRectF>& rects) const {
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    for (const QRectF& r : rects) {
        const QPointF a = Snap(FDeviceToTarget.map(r.topLeft()));
        const QPointF b = Snap(FDeviceToTarget.map(r.bottomRight()));
        const QRectF t = QRectF(a, b).normalized();
        if (!t.isEmpty())
            path.addRect(t);
    }
    return path;
}

void TDevice::FillTargetRegion(const QPainterPath& region, const TBrushDef& brush) {
    const TBrushDef saved = FState.Brush;
    const int savedFill = FState.PolyFillMode;
    FState.Brush = brush;
    FState.PolyFillMode = WINDING;
    const int savedRop = FState.Rop2;
    FState.Rop2 = R2_COPYPEN;
    Render(region, true, false);
    FState.Brush = saved;
    FState.PolyFillMode = savedFill;
    FState.Rop2 = savedRop;
}

void TDevice::FrameTargetRegion(const QPainterPath& region, const TBrushDef& brush, double w,
                                double h) {
    if (region.isEmpty() || !Spend(int64_t(region.elementCount()) * 64))
        return;
    const double dx = std::fabs(w * FDeviceToTarget.m11());
    const double dy = std::fabs(h * FDeviceToTarget.m22());
    QPainterPathStroker stroker;
    stroker.setWidth(Clamp(2 * std::max(dx, dy), 1, 4096));
    stroker.setJoinStyle(Qt::MiterJoin);
    const QPainterPath border = stroker.createStroke(region).intersected(region);
    FillTargetRegion(border, brush);
}

void TDevice::InvertTargetRegion(const QPainterPath& region) {
    if (region.isEmpty() || Measured(region.controlPointRect()))
        return;
    const QRectF visible = region.controlPointRect() & FVisible;
    if (!Spend(64 + int64_t(visible.width() * visible.height())))
        return;
    ApplyClip();
    FPainter.setTransform(FBase);
    FPainter.setCompositionMode(QPainter::RasterOp_NotDestination);
    FPainter.fillPath(region, Qt::black);
    FPainter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

// ---------------------------------------------------------------------------------------------
// Paths

void TDevice::BeginPath() {
    FPath = QPainterPath();
    FPathOpen = true;
    FFigureOpen = false;
}

void TDevice::EndPath() {
    FPathOpen = false;
}

void TDevice::AbortPath() {
    FPath = QPainterPath();
    FPathOpen = false;
    FFigureOpen = false;
}

void TDevice::CloseFigure() {
    if (FPathOpen && FFigureOpen) {
        FPath.closeSubpath();
        FFigureOpen = false;
    }
}

void TDevice::FillPath() {
    FPathOpen = false;
    Render(FPath, true, false);
    AbortPath();
}

void TDevice::StrokePath() {
    FPathOpen = false;
    Render(FPath, false, true);
    AbortPath();
}

void TDevice::StrokeAndFillPath() {
    FPathOpen = false;
    Render(CloseAll(FPath), true, true);
    AbortPath();
}

void TDevice::SelectClipPath(int mode) {
    FPathOpen = false;
    TClip clip;
    clip.IsRect = false;
    clip.Path = CloseAll(FPath);
    clip.Path.setFillRule(FState.PolyFillMode == WINDING ? Qt::WindingFill : Qt::OddEvenFill);
    if (!Spend(int64_t(clip.Path.elementCount()) * 64))
        return;
    CombineClip(clip, mode);
    AbortPath();
}

void TDevice::WidenPath() {
    QPen pen;
    double width = 0;
    if (FPath.isEmpty() || !MakePen(pen, &width) || !Spend(int64_t(FPath.elementCount()) * 64))
        return;
    QPainterPathStroker stroker(pen);
    stroker.setWidth(std::max(1.0, width));
    stroker.setDashPattern(Qt::SolidLine);
    FPath = stroker.createStroke(FPath);
    FFigureOpen = false;
}

// ---------------------------------------------------------------------------------------------
// Clipping

std::optional<TClip> TDevice::EffectiveClip() const {
    const std::optional<TClip>& clip = FState.Clip;
    const std::optional<TClip>& meta = FState.MetaClip;
    if (!clip)
        return meta;
    if (!meta)
        return clip;
    TClip both;
    if (clip->IsRect && meta->IsRect) {
        both.Rect = clip->Rect & meta->Rect;
    } else {
        both.IsRect = false;
        both.Path = clip->ToPath().intersected(meta->ToPath());
    }
    return both;
}

void TDevice::CombineClip(const TClip& region, int mode) {
    std::optional<TClip>& clip = FState.Clip;
    TClip whole;
    whole.Rect = FVisible;
    const TClip base = clip ? *clip : whole;
    const int64_t a = base.IsRect ? 4 : base.Path.elementCount();
    const int64_t b = region.IsRect ? 4 : region.Path.elementCount();
    if (!Spend(64 + (a + b) * 16))
        return;
    // Combining two figures costs up to the product of their sizes; beyond a limit the clip
    // region stays as it was.
    if (mode != RGN_COPY && a * b > kMaxClipWork) {
        ++FStats.Unsupported;
        return;
    }
    TClip out;
    switch (mode) {
    case RGN_COPY:
        out = region;
        break;
    case RGN_AND:
        if (base.IsRect && region.IsRect) {
            out.Rect = base.Rect & region.Rect;
        } else {
            out.IsRect = false;
            out.Path = base.ToPath().intersected(region.ToPath());
        }
        break;
    case RGN_OR:
        if (!clip)
            return; // everything already
        out.IsRect = false;
        out.Path = base.ToPath().united(region.ToPath());
        break;
    case RGN_DIFF:
        out.IsRect = false;
        out.Path = base.ToPath().subtracted(region.ToPath());
        break;
    case RGN_XOR: {
        const QPainterPath a = base.ToPath(), b = region.ToPath();
        out.IsRect = false;
        out.Path = a.united(b).subtracted(a.intersected(b));
        break;
    }
    default:
        return;
    }
    clip = out;
    ClipChanged();
}

void TDevice::CombineClipRect(const QRectF& box, int mode) {
    if (!MappingUsable())
        return;
    TClip region;
    if (AxisAligned()) {
        region.Rect = TargetClipBox(box);
    } else {
        QPainterPath logical;
        logical.addRect(box);
        region.IsRect = false;
        region.Path = MapPath(logical);
    }
    CombineClip(region, mode);
}

void TDevice::IntersectClipRect(const QRectF& box) {
    CombineClipRect(box, RGN_AND);
}

void TDevice::ExcludeClipRect(const QRectF& box) {
    CombineClipRect(box, RGN_DIFF);
}

void TDevice::OffsetClip(double dx, double dy) {
    if (!FState.Clip || !MappingUsable())
        return;
    const QTransform& m = Mapping();
    const QPointF v(m.m11() * dx + m.m21() * dy, m.m12() * dx + m.m22() * dy);
    const QPointF d = Snap(v);
    if (FState.Clip->IsRect)
        FState.Clip->Rect.translate(d);
    else
        FState.Clip->Path.translate(d);
    ClipChanged();
}

void TDevice::SelectClip(const QPainterPath* targetRegion, int mode) {
    if (!targetRegion) {
        if (mode == RGN_COPY) {
            FState.Clip.reset();
            ClipChanged();
        }
        return;
    }
    TClip region;
    region.IsRect = false;
    region.Path = *targetRegion;
    CombineClip(region, mode);
}

void TDevice::SetMetaRegion() {
    FState.MetaClip = EffectiveClip();
    FState.Clip.reset();
    ClipChanged();
}

} // namespace metafile
