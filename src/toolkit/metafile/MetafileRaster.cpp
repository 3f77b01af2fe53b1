// Bitmaps and raster operations of the metafile device: images drawn through a ternary raster
// operation, pattern blits, alpha blending and gradient fills.
#include "toolkit/metafile/MetafileDevice.h"

#include <QLinearGradient>

#include <algorithm>
#include <cmath>

namespace metafile {

namespace {

// Ternary raster operations that combine a source bitmap with the destination, by their code
// (the high word of the operation).
struct TSourceRop {
    uint8_t Code;
    QPainter::CompositionMode Mode;
};
const TSourceRop kSourceRops[] = {
    {0xCC, QPainter::CompositionMode_SourceOver},          // SRCCOPY
    {0xEE, QPainter::RasterOp_SourceOrDestination},        // SRCPAINT
    {0x88, QPainter::RasterOp_SourceAndDestination},       // SRCAND
    {0x66, QPainter::RasterOp_SourceXorDestination},       // SRCINVERT
    {0x44, QPainter::RasterOp_SourceAndNotDestination},    // SRCERASE
    {0x33, QPainter::RasterOp_NotSource},                  // NOTSRCCOPY
    {0x11, QPainter::RasterOp_NotSourceAndNotDestination}, // NOTSRCERASE
    {0xBB, QPainter::RasterOp_NotSourceOrDestination},     // MERGEPAINT
    {0x22, QPainter::RasterOp_NotSourceAndDestination},    // DSna
    {0x99, QPainter::RasterOp_NotSourceXorDestination},    // DSxn
    {0x77, QPainter::RasterOp_NotSourceOrNotDestination},  // DSan
    {0xDD, QPainter::RasterOp_SourceOrNotDestination},     // SDno
};

const TSourceRop* SourceRop(uint8_t code) {
    for (const TSourceRop& rop : kSourceRops)
        if (rop.Code == code)
            return &rop;
    return nullptr;
}

// Raster operations without a source: what fills the box and how it meets the destination.
// Codes not listed paint the brush (PATCOPY); 0xAA leaves the destination as it is.
enum class TPatFill { Black, White, Brush };
struct TPatternRop {
    uint8_t Code;
    TPatFill Fill;
    QPainter::CompositionMode Mode;
};
const TPatternRop kPatternRops[] = {
    {0x00, TPatFill::Black, QPainter::CompositionMode_SourceOver},    // BLACKNESS
    {0xFF, TPatFill::White, QPainter::CompositionMode_SourceOver},    // WHITENESS
    {0x55, TPatFill::Black, QPainter::RasterOp_NotDestination},       // DSTINVERT
    {0x5A, TPatFill::Brush, QPainter::RasterOp_SourceXorDestination}, // PATINVERT
    {0x0F, TPatFill::Brush, QPainter::RasterOp_NotSource},            // Pn
    {0xA0, TPatFill::Brush, QPainter::RasterOp_SourceAndDestination}, // DPa
    {0xFA, TPatFill::Brush, QPainter::RasterOp_SourceOrDestination},  // DPo
};
constexpr uint8_t kRopDestination = 0xAA;

TPatternRop PatternRop(uint8_t code) {
    for (const TPatternRop& rop : kPatternRops)
        if (rop.Code == code)
            return rop;
    return {code, TPatFill::Brush, QPainter::CompositionMode_SourceOver};
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Bitmaps

void TDevice::DrawImage(const QRectF& dest, const QImage& image, const QRectF& src,
                        QPainter::CompositionMode mode, double opacity) {
    if (image.isNull() || !MappingUsable())
        return;
    const QRectF source = src.normalized() & QRectF(image.rect());
    if (source.isEmpty() || src.width() == 0 || src.height() == 0)
        return;
    QPointF p0, px, py;
    if (AxisAligned()) {
        p0 = Snap(ToTarget(dest.topLeft()));
        const QPointF p3 = Snap(ToTarget(dest.bottomRight()));
        px = QPointF(p3.x(), p0.y());
        py = QPointF(p0.x(), p3.y());
    } else {
        p0 = ToTarget(dest.topLeft());
        px = ToTarget(dest.topRight());
        py = ToTarget(dest.bottomLeft());
    }
    // Image coordinates of src map onto the destination parallelogram; a negative source
    // extent mirrors, as in GDI.
    const double sw = src.width(), sh = src.height();
    const double m11 = (px.x() - p0.x()) / sw, m12 = (px.y() - p0.y()) / sw;
    const double m21 = (py.x() - p0.x()) / sh, m22 = (py.y() - p0.y()) / sh;
    const QTransform t(m11, m12, m21, m22, p0.x() - src.x() * m11 - src.y() * m21,
                       p0.y() - src.x() * m12 - src.y() * m22);
    if (!Finite(t) || Det(t) == 0)
        return;
    if (Measured(t.mapRect(source)))
        return;
    const QRectF covered = t.mapRect(source) & FVisible;
    if (!Spend(64 + int64_t(source.width() * source.height() / 4) +
               int64_t(covered.width() * covered.height())))
        return;
    if (covered.isEmpty())
        return;
    ApplyClip();
    FPainter.setTransform(t * FBase);
    FPainter.setRenderHint(QPainter::SmoothPixmapTransform, FState.StretchMode == STRETCH_HALFTONE);
    FPainter.setCompositionMode(mode);
    FPainter.setOpacity(opacity);
    FPainter.drawImage(source, image, source);
    FPainter.setOpacity(1);
    FPainter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    FPainter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    FPainter.setTransform(FBase);
}

void TDevice::PatBlt(const QRectF& dest, uint32_t rop) {
    if (!MappingUsable())
        return;
    const uint8_t code = uint8_t(rop >> 16);
    if (code == kRopDestination)
        return;
    const TPatternRop op = PatternRop(code);
    QBrush brush;
    switch (op.Fill) {
    case TPatFill::Black:
        brush = QBrush(Qt::black);
        break;
    case TPatFill::White:
        brush = QBrush(Qt::white);
        break;
    case TPatFill::Brush:
        if (!MakeBrush(FState.Brush, brush))
            return;
        break;
    }
    QPainterPath path;
    if (AxisAligned()) {
        path.addRect(TargetClipBox(dest));
    } else {
        QPainterPath logical;
        logical.addRect(dest);
        path = MapPath(logical);
    }
    if (Measured(path.controlPointRect()))
        return;
    const QRectF visible = path.controlPointRect() & FVisible;
    if (!Spend(64 + int64_t(visible.width() * visible.height())) || visible.isEmpty())
        return;
    ApplyClip();
    FPainter.setTransform(FBase);
    FPainter.setCompositionMode(op.Mode);
    FPainter.fillPath(path, brush);
    FPainter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void TDevice::StretchBlt(const QRectF& dest, const QImage& image, const QRectF& src, uint32_t rop) {
    const uint8_t code = uint8_t(rop >> 16);
    const bool usesSource = ((code >> 2) ^ code) & 0x33;
    if (!usesSource) {
        PatBlt(dest, rop);
        return;
    }
    if (image.isNull())
        return;
    if (const TSourceRop* op = SourceRop(code)) {
        if (op->Mode == QPainter::CompositionMode_SourceOver)
            DrawImage(dest, image, src, op->Mode, 1);
        else // raster operations need an opaque source
            DrawImage(dest, image.convertToFormat(QImage::Format_RGB32), src, op->Mode, 1);
        return;
    }
    if (code == 0xB8 || code == 0xE2) {
        // Pattern through a mask: 0xB8 paints the brush where the source is black and keeps
        // the destination where it is white; 0xE2 the other way round.
        QBrush brush;
        if (!MakeBrush(FState.Brush, brush))
            return;
        const QRgb ink = brush.color().rgba();
        QImage masked(image.size(), QImage::Format_ARGB32);
        for (int y = 0; y < image.height(); ++y) {
            const QRgb* in = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            QRgb* out = reinterpret_cast<QRgb*>(masked.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                const bool white = qGray(in[x]) >= 128;
                out[x] = (white == (code == 0xE2)) ? ink : 0u;
            }
        }
        if (!Spend(int64_t(image.width()) * image.height()))
            return;
        DrawImage(dest, masked, src, QPainter::CompositionMode_SourceOver, 1);
        return;
    }
    ++FStats.Unsupported;
    DrawImage(dest, image, src, QPainter::CompositionMode_SourceOver, 1);
}

void TDevice::AlphaBlend(const QRectF& dest, const QImage& image, const QRectF& src,
                         int constantAlpha, bool sourceAlpha) {
    if (image.isNull())
        return;
    const QImage source = sourceAlpha ? image.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                                      : image.convertToFormat(QImage::Format_RGB32);
    DrawImage(dest, source, src, QPainter::CompositionMode_SourceOver,
              std::clamp(constantAlpha, 0, 255) / 255.0);
}

void TDevice::GradientRect(const QRectF& box, const QColor& first, const QColor& second,
                           bool vertical) {
    if (!MappingUsable())
        return;
    const QPointF a = Snap(ToTarget(box.topLeft()));
    const QPointF b = Snap(ToTarget(box.bottomRight()));
    const QRectF area = QRectF(a, b).normalized();
    if (Measured(area))
        return;
    const QRectF visible = area & FVisible;
    if (!Spend(64 + int64_t(visible.width() * visible.height())) || visible.isEmpty())
        return;
    QLinearGradient gradient(a, vertical ? QPointF(a.x(), b.y()) : QPointF(b.x(), a.y()));
    gradient.setColorAt(0, first);
    gradient.setColorAt(1, second);
    ApplyClip();
    FPainter.setTransform(FBase);
    FPainter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    FPainter.fillRect(area, QBrush(gradient));
}

void TDevice::GradientTriangle(const QPointF (&corners)[3], const QColor (&colors)[3]) {
    if (!MappingUsable())
        return;
    QPointF p[3];
    for (int i = 0; i < 3; ++i)
        p[i] = Snap(ToTarget(corners[i]));
    const double det = (p[1].y() - p[2].y()) * (p[0].x() - p[2].x()) +
                       (p[2].x() - p[1].x()) * (p[0].y() - p[2].y());
    if (det == 0)
        return;
    if (Measured(QPolygonF({p[0], p[1], p[2]}).boundingRect()))
        return;
    QRectF bounds = QPolygonF({p[0], p[1], p[2]}).boundingRect() & FVisible;
    const QRect pixels = bounds.toAlignedRect() & FVisible.toAlignedRect();
    if (pixels.isEmpty() || !Spend(64 + int64_t(pixels.width()) * pixels.height() * 4))
        return;
    QImage shade(pixels.size(), QImage::Format_ARGB32);
    shade.fill(0u);
    for (int y = 0; y < shade.height(); ++y) {
        QRgb* row = reinterpret_cast<QRgb*>(shade.scanLine(y));
        const double py = pixels.top() + y + 0.5;
        for (int x = 0; x < shade.width(); ++x) {
            const double px = pixels.left() + x + 0.5;
            const double l0 = ((p[1].y() - p[2].y()) * (px - p[2].x()) +
                               (p[2].x() - p[1].x()) * (py - p[2].y())) /
                              det;
            const double l1 = ((p[2].y() - p[0].y()) * (px - p[2].x()) +
                               (p[0].x() - p[2].x()) * (py - p[2].y())) /
                              det;
            const double l2 = 1 - l0 - l1;
            if (l0 < 0 || l1 < 0 || l2 < 0)
                continue;
            auto mix = [&](int c0, int c1, int c2) {
                return std::clamp(int(std::lround(l0 * c0 + l1 * c1 + l2 * c2)), 0, 255);
            };
            row[x] = qRgb(mix(colors[0].red(), colors[1].red(), colors[2].red()),
                          mix(colors[0].green(), colors[1].green(), colors[2].green()),
                          mix(colors[0].blue(), colors[1].blue(), colors[2].blue()));
        }
    }
    ApplyClip();
    FPainter.setTransform(FBase);
    FPainter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    FPainter.drawImage(pixels.topLeft(), shade);
}

} // namespace metafile
