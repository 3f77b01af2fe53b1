#include "toolkit/metafile/MetafileDevice.h"

#include <QLinearGradient>
#include <QPainterPathStroker>

#include <algorithm>
#include <cmath>

namespace metafile {

namespace {

// Target coordinates are kept within this range: far outside any picture, small enough for
// the rasteriser's fixed-point arithmetic.
constexpr double kCoordLimit = 1 << 22;

bool Finite(const QTransform& t) {
    return std::isfinite(t.m11()) && std::isfinite(t.m12()) && std::isfinite(t.m21()) &&
           std::isfinite(t.m22()) && std::isfinite(t.dx()) && std::isfinite(t.dy());
}

double Det(const QTransform& t) {
    return t.m11() * t.m22() - t.m12() * t.m21();
}

double Clamp(double v, double lo, double hi) {
    if (!(v >= lo)) // NaN goes low
        return lo;
    return v > hi ? hi : v;
}

// The 20 static colours of the default palette.
const QRgb kDefaultPalette[20] = {
    qRgb(0, 0, 0),       qRgb(128, 0, 0),     qRgb(0, 128, 0),     qRgb(128, 128, 0),
    qRgb(0, 0, 128),     qRgb(128, 0, 128),   qRgb(0, 128, 128),   qRgb(192, 192, 192),
    qRgb(192, 220, 192), qRgb(166, 202, 240), qRgb(255, 251, 240), qRgb(160, 160, 164),
    qRgb(128, 128, 128), qRgb(255, 0, 0),     qRgb(0, 255, 0),     qRgb(255, 255, 0),
    qRgb(0, 0, 255),     qRgb(255, 0, 255),   qRgb(0, 255, 255),   qRgb(255, 255, 255),
};

// 8 x 8 hatch patterns, one byte a row, the high bit leftmost.
const uint8_t kHatches[6][8] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF}, // horizontal
    {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}, // vertical
    {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01}, // forward diagonal "\"
    {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80}, // backward diagonal "/"
    {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0xFF}, // cross
    {0x81, 0x42, 0x24, 0x18, 0x18, 0x24, 0x42, 0x81}, // diagonal cross
};

TPenDef StockPen(uint32_t color, uint32_t style) {
    TPenDef pen;
    pen.Color = color;
    pen.Style = style;
    return pen;
}

TBrushDef StockBrush(uint32_t color, uint32_t style = BS_SOLID) {
    TBrushDef brush;
    brush.Color = color;
    brush.Style = style;
    return brush;
}

TFontDef StockFont(const char* face, int height, int weight, uint8_t pitch) {
    TFontDef font;
    font.Face = QString::fromLatin1(face);
    font.Height = height;
    font.Weight = weight;
    font.PitchAndFamily = pitch;
    font.DevicePixels = true;
    return font;
}

QPainter::CompositionMode Rop2Mode(int rop2, bool* skip) {
    *skip = false;
    switch (rop2) {
    case 1:
        return QPainter::RasterOp_ClearDestination;
    case 2:
        return QPainter::RasterOp_NotSourceAndNotDestination;
    case 3:
        return QPainter::RasterOp_NotSourceAndDestination;
    case 4:
        return QPainter::RasterOp_NotSource;
    case 5:
        return QPainter::RasterOp_SourceAndNotDestination;
    case 6:
        return QPainter::RasterOp_NotDestination;
    case 7:
        return QPainter::RasterOp_SourceXorDestination;
    case 8:
        return QPainter::RasterOp_NotSourceOrNotDestination;
    case 9:
        return QPainter::RasterOp_SourceAndDestination;
    case 10:
        return QPainter::RasterOp_NotSourceXorDestination;
    case 11:
        *skip = true;
        return QPainter::CompositionMode_SourceOver;
    case 12:
        return QPainter::RasterOp_NotSourceOrDestination;
    case 14:
        return QPainter::RasterOp_SourceOrNotDestination;
    case 15:
        return QPainter::RasterOp_SourceOrDestination;
    case 16:
        return QPainter::RasterOp_SetDestination;
    default:
        return QPainter::CompositionMode_SourceOver;
    }
}

// Ternary raster operations that combine a source with the destination.
bool SourceRopMode(uint8_t code, QPainter::CompositionMode* mode) {
    switch (code) {
    case 0xCC:
        *mode = QPainter::CompositionMode_SourceOver;
        return true;
    case 0xEE:
        *mode = QPainter::RasterOp_SourceOrDestination;
        return true;
    case 0x88:
        *mode = QPainter::RasterOp_SourceAndDestination;
        return true;
    case 0x66:
        *mode = QPainter::RasterOp_SourceXorDestination;
        return true;
    case 0x44:
        *mode = QPainter::RasterOp_SourceAndNotDestination;
        return true;
    case 0x33:
        *mode = QPainter::RasterOp_NotSource;
        return true;
    case 0x11:
        *mode = QPainter::RasterOp_NotSourceAndNotDestination;
        return true;
    case 0xBB:
        *mode = QPainter::RasterOp_NotSourceOrDestination;
        return true;
    case 0x22:
        *mode = QPainter::RasterOp_NotSourceAndDestination;
        return true;
    case 0x99:
        *mode = QPainter::RasterOp_NotSourceXorDestination;
        return true;
    case 0x77:
        *mode = QPainter::RasterOp_NotSourceOrNotDestination;
        return true;
    case 0xDD:
        *mode = QPainter::RasterOp_SourceOrNotDestination;
        return true;
    default:
        return false;
    }
}

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
// Construction

TDevice::TDevice(QPainter& painter, const QRectF& target, const TDeviceSetup& setup,
                 TMetafilePlayStats& stats)
    : FPainter(painter), FTarget(target), FSetup(setup), FStats(stats) {
    FBase = painter.transform();
    const QRectF& d = setup.DeviceRect;
    const double sx = target.width() / d.width();
    const double sy = target.height() / d.height();
    FDeviceToTarget =
        QTransform(sx, 0, 0, sy, target.left() - d.left() * sx, target.top() - d.top() * sy);
    FObjects.resize(size_t(std::clamp(setup.ObjectSlots, 0, kMaxObjects)));
    FState.Pen = StockPen(0, PS_SOLID);
    FState.Brush = StockBrush(0xFFFFFF);
    FState.Font = StockFont("System", 16, 700, 0x22);

    FPainter.save();
    FPainter.setRenderHint(QPainter::Antialiasing, false);
    FPainter.setRenderHint(QPainter::TextAntialiasing, false);
    FPainter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    FVisible = target;
    if (setup.ClipToTarget) {
        FPainter.setClipRect(target, Qt::IntersectClip);
    } else if (QPaintDevice* device = painter.device()) {
        // Everything the painter can reach, in the caller's coordinates.
        const QRectF all(0, 0, device->width(), device->height());
        FVisible = FBase.isInvertible() ? FBase.inverted().mapRect(all) : all;
    }
    // A fixed allowance plus 64 coverings of the drawn area: large renderings may do more.
    const QRectF area = target & FVisible;
    FWorkLimit = kMaxWorkUnits + int64_t(std::min(64 * area.width() * area.height(), 1e15));
    FPainter.save();
}

TDevice::~TDevice() {
    FPainter.restore();
    FPainter.restore();
}

bool TDevice::Spend(int64_t units) {
    if (units < 0)
        units = 0;
    FWork += units;
    if (FWork > FWorkLimit) {
        FStats.Truncated = true;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Mapping

QTransform TDevice::PageToDevice() const {
    const TDcState& s = FState;
    const double sx = s.ViewportExt.x() / s.WindowExt.x();
    const double sy = s.ViewportExt.y() / s.WindowExt.y();
    return QTransform(sx, 0, 0, sy, s.ViewportOrg.x() - s.WindowOrg.x() * sx,
                      s.ViewportOrg.y() - s.WindowOrg.y() * sy);
}

void TDevice::UpdateMapping() {
    FMapping = FState.World * PageToDevice() * FDeviceToTarget;
    FMappingValid = true;
}

const QTransform& TDevice::Mapping() {
    if (!FMappingValid)
        UpdateMapping();
    return FMapping;
}

bool TDevice::MappingUsable() {
    const QTransform& m = Mapping();
    if (!Finite(m))
        return false;
    const double det = Det(m);
    return std::isfinite(det) && det != 0;
}

bool TDevice::AxisAligned() {
    const QTransform& m = Mapping();
    return m.m12() == 0 && m.m21() == 0;
}

QPointF TDevice::Snap(QPointF p) const {
    return QPointF(std::round(Clamp(p.x(), -kCoordLimit, kCoordLimit)),
                   std::round(Clamp(p.y(), -kCoordLimit, kCoordLimit)));
}

QPainterPath TDevice::MapPath(const QPainterPath& logical) {
    const QTransform& m = Mapping();
    QPainterPath out;
    const int n = logical.elementCount();
    for (int i = 0; i < n; ++i) {
        const QPainterPath::Element e = logical.elementAt(i);
        const QPointF t = Snap(m.map(QPointF(e.x, e.y)));
        switch (e.type) {
        case QPainterPath::MoveToElement:
            out.moveTo(t);
            break;
        case QPainterPath::LineToElement:
            out.lineTo(t);
            break;
        case QPainterPath::CurveToElement:
            if (i + 2 < n) {
                const QPainterPath::Element c2 = logical.elementAt(i + 1);
                const QPainterPath::Element c3 = logical.elementAt(i + 2);
                out.cubicTo(t, Snap(m.map(QPointF(c2.x, c2.y))), Snap(m.map(QPointF(c3.x, c3.y))));
            }
            i += 2;
            break;
        default:
            break;
        }
    }
    return out;
}

bool TDevice::TargetBox(const QRectF& box, QRectF& out, bool exclusive) {
    if (!AxisAligned())
        return false;
    const QPointF a = Snap(ToTarget(box.topLeft()));
    const QPointF b = Snap(ToTarget(box.bottomRight()));
    double l = std::min(a.x(), b.x()), r = std::max(a.x(), b.x());
    double t = std::min(a.y(), b.y()), bo = std::max(a.y(), b.y());
    if (exclusive) {
        r = std::max(l, r - 1);
        bo = std::max(t, bo - 1);
    }
    out = QRectF(QPointF(l, t), QPointF(r, bo));
    return true;
}

QRectF TDevice::TargetClipBox(const QRectF& box) {
    const QPointF a = Snap(ToTarget(box.topLeft()));
    const QPointF b = Snap(ToTarget(box.bottomRight()));
    return QRectF(QPointF(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                  QPointF(std::max(a.x(), b.x()), std::max(a.y(), b.y())));
}

void TDevice::SetMapMode(int mode) {
    if (mode < MM_TEXT || mode > MM_ANISOTROPIC)
        return;
    TDcState& s = FState;
    s.MapMode = mode;
    double perMm = 0;
    switch (mode) {
    case MM_TEXT:
        s.WindowExt = QPointF(1, 1);
        s.ViewportExt = QPointF(1, 1);
        break;
    case MM_LOMETRIC:
        perMm = 10;
        break;
    case MM_HIMETRIC:
        perMm = 100;
        break;
    case MM_LOENGLISH:
        perMm = 100 / 25.4;
        break;
    case MM_HIENGLISH:
        perMm = 1000 / 25.4;
        break;
    case MM_TWIPS:
        perMm = 1440 / 25.4;
        break;
    case MM_ISOTROPIC:
        perMm = 10;
        break;
    case MM_ANISOTROPIC:
        break;
    }
    if (perMm > 0) {
        s.WindowExt = QPointF(perMm, perMm);
        s.ViewportExt = QPointF(FSetup.DevPerMmX, -FSetup.DevPerMmY);
    }
    FixIsotropic();
    TransformChanged();
}

void TDevice::FixIsotropic() {
    TDcState& s = FState;
    if (s.MapMode != MM_ISOTROPIC)
        return;
    const double px = std::fabs(s.ViewportExt.x() / s.WindowExt.x()) / FSetup.DevPerMmX;
    const double py = std::fabs(s.ViewportExt.y() / s.WindowExt.y()) / FSetup.DevPerMmY;
    if (px < py)
        s.ViewportExt.setY(
            std::copysign(std::fabs(s.WindowExt.y()) * px * FSetup.DevPerMmY, s.ViewportExt.y()));
    else if (py < px)
        s.ViewportExt.setX(
            std::copysign(std::fabs(s.WindowExt.x()) * py * FSetup.DevPerMmX, s.ViewportExt.x()));
}

void TDevice::SetWindowOrg(double x, double y) {
    FState.WindowOrg = QPointF(x, y);
    TransformChanged();
}

void TDevice::SetViewportOrg(double x, double y) {
    FState.ViewportOrg = QPointF(x, y);
    TransformChanged();
}

void TDevice::OffsetWindowOrg(double dx, double dy) {
    FState.WindowOrg += QPointF(dx, dy);
    TransformChanged();
}

void TDevice::OffsetViewportOrg(double dx, double dy) {
    FState.ViewportOrg += QPointF(dx, dy);
    TransformChanged();
}

void TDevice::SetExtent(QPointF& extent, double x, double y) {
    // Extents only count in the scalable mapping modes; zero or non-finite ones are ignored.
    if (FState.MapMode != MM_ISOTROPIC && FState.MapMode != MM_ANISOTROPIC)
        return;
    if (x == 0 || y == 0 || !std::isfinite(x) || !std::isfinite(y))
        return;
    extent = QPointF(x, y);
    FixIsotropic();
    TransformChanged();
}

void TDevice::SetWindowExt(double x, double y) {
    SetExtent(FState.WindowExt, x, y);
}

void TDevice::SetViewportExt(double x, double y) {
    SetExtent(FState.ViewportExt, x, y);
}

void TDevice::ScaleWindowExt(double xNum, double xDen, double yNum, double yDen) {
    if (xDen == 0 || yDen == 0)
        return;
    SetWindowExt(FState.WindowExt.x() * xNum / xDen, FState.WindowExt.y() * yNum / yDen);
}

void TDevice::ScaleViewportExt(double xNum, double xDen, double yNum, double yDen) {
    if (xDen == 0 || yDen == 0)
        return;
    SetViewportExt(FState.ViewportExt.x() * xNum / xDen, FState.ViewportExt.y() * yNum / yDen);
}

void TDevice::SetWorldTransform(const QTransform& t) {
    if (!Finite(t) || Det(t) == 0 || !std::isfinite(Det(t)))
        return;
    FState.World = t;
    TransformChanged();
}

void TDevice::ModifyWorldTransform(const QTransform& t, uint32_t mode) {
    QTransform next;
    switch (mode) {
    case 1:
        next = QTransform();
        break;
    case 2:
        next = t * FState.World;
        break;
    case 3:
        next = FState.World * t;
        break;
    case 4:
        next = t;
        break;
    default:
        return;
    }
    if (!Finite(next) || Det(next) == 0 || !std::isfinite(Det(next)))
        return;
    FState.World = next;
    TransformChanged();
}

// ---------------------------------------------------------------------------------------------
// State stack and objects

void TDevice::SaveDC() {
    if (int(FSaved.size()) < kMaxSavedStates)
        FSaved.push_back(FState);
}

void TDevice::RestoreDC(int32_t which) {
    const int64_t count = int64_t(FSaved.size());
    const int64_t index = which < 0 ? count + which : int64_t(which) - 1;
    if (which == 0 || index < 0 || index >= count)
        return;
    FState = FSaved[size_t(index)];
    FSaved.resize(size_t(index));
    TransformChanged();
    ClipChanged();
}

void TDevice::CreateObjectAt(uint32_t index, std::unique_ptr<TGdiObject> object) {
    if (index == 0 || index >= uint32_t(kMaxObjects)) {
        ++FStats.Skipped;
        return;
    }
    if (index >= FObjects.size())
        FObjects.resize(size_t(index) + 1);
    FObjects[index] = std::move(object);
}

int TDevice::CreateObjectFirstFree(std::unique_ptr<TGdiObject> object) {
    for (size_t i = 0; i < FObjects.size(); ++i)
        if (!FObjects[i]) {
            FObjects[i] = std::move(object);
            return int(i);
        }
    if (FObjects.size() >= size_t(kMaxObjects))
        return -1;
    FObjects.push_back(std::move(object));
    return int(FObjects.size() - 1);
}

const TGdiObject* TDevice::ObjectAt(uint32_t index) const {
    return index < FObjects.size() ? FObjects[index].get() : nullptr;
}

TGdiObject* TDevice::MutableObjectAt(uint32_t index) {
    return index < FObjects.size() ? FObjects[index].get() : nullptr;
}

bool TDevice::BrushAt(uint32_t index, TBrushDef& brush) const {
    if (index & 0x80000000u) {
        switch (index & 0x7FFFFFFFu) {
        case WHITE_BRUSH:
            brush = StockBrush(0xFFFFFF);
            return true;
        case LTGRAY_BRUSH:
            brush = StockBrush(0xC0C0C0);
            return true;
        case GRAY_BRUSH:
            brush = StockBrush(0x808080);
            return true;
        case DKGRAY_BRUSH:
            brush = StockBrush(0x404040);
            return true;
        case BLACK_BRUSH:
            brush = StockBrush(0x000000);
            return true;
        case NULL_BRUSH:
            brush = StockBrush(0, BS_NULL);
            return true;
        case DC_BRUSH:
            brush = StockBrush(0xFFFFFF);
            return true;
        default:
            return false;
        }
    }
    const TGdiObject* object = ObjectAt(index);
    if (!object || object->Type != TGdiObject::TType::Brush)
        return false;
    brush = object->Brush;
    return true;
}

void TDevice::SelectObject(uint32_t index) {
    if (index & 0x80000000u) {
        switch (index & 0x7FFFFFFFu) {
        case WHITE_BRUSH:
            FState.Brush = StockBrush(0xFFFFFF);
            break;
        case LTGRAY_BRUSH:
            FState.Brush = StockBrush(0xC0C0C0);
            break;
        case GRAY_BRUSH:
            FState.Brush = StockBrush(0x808080);
            break;
        case DKGRAY_BRUSH:
            FState.Brush = StockBrush(0x404040);
            break;
        case BLACK_BRUSH:
            FState.Brush = StockBrush(0x000000);
            break;
        case NULL_BRUSH:
            FState.Brush = StockBrush(0, BS_NULL);
            break;
        case WHITE_PEN:
            FState.Pen = StockPen(0xFFFFFF, PS_SOLID);
            break;
        case BLACK_PEN:
            FState.Pen = StockPen(0x000000, PS_SOLID);
            break;
        case NULL_PEN:
            FState.Pen = StockPen(0, PS_NULL);
            break;
        case OEM_FIXED_FONT:
            FState.Font = StockFont("Terminal", 12, 400, 0x31);
            break;
        case ANSI_FIXED_FONT:
            FState.Font = StockFont("Courier", 13, 400, 0x31);
            break;
        case ANSI_VAR_FONT:
            FState.Font = StockFont("MS Sans Serif", 13, 400, 0x22);
            break;
        case SYSTEM_FONT:
        case DEVICE_DEFAULT_FONT:
            FState.Font = StockFont("System", 16, 700, 0x22);
            break;
        case DEFAULT_PALETTE:
            FState.Palette.clear();
            break;
        case SYSTEM_FIXED_FONT:
            FState.Font = StockFont("Fixedsys", 15, 400, 0x31);
            break;
        case DEFAULT_GUI_FONT:
            FState.Font = StockFont("MS Shell Dlg", -11, 400, 0x22);
            break;
        case DC_BRUSH:
            FState.Brush = StockBrush(0xFFFFFF);
            break;
        case DC_PEN:
            FState.Pen = StockPen(0x000000, PS_SOLID);
            break;
        default:
            break;
        }
        return;
    }
    const TGdiObject* object = ObjectAt(index);
    if (!object)
        return;
    switch (object->Type) {
    case TGdiObject::TType::Pen:
        FState.Pen = object->Pen;
        break;
    case TGdiObject::TType::Brush:
        FState.Brush = object->Brush;
        break;
    case TGdiObject::TType::Font:
        FState.Font = object->Font;
        break;
    case TGdiObject::TType::Palette:
        FState.Palette = object->Palette;
        break;
    case TGdiObject::TType::Region: {
        const QPainterPath region = LogicalRegionToTarget(object->Region);
        SelectClip(&region, RGN_COPY);
        break;
    }
    case TGdiObject::TType::Other:
        break;
    }
}

void TDevice::DeleteObject(uint32_t index) {
    if (index < FObjects.size())
        FObjects[index].reset();
}

QRgb TDevice::PaletteEntry(uint32_t index) const {
    if (!FState.Palette.empty())
        return index < FState.Palette.size() ? FState.Palette[index] : qRgb(0, 0, 0);
    return index < 20 ? kDefaultPalette[index] : qRgb(0, 0, 0);
}

QColor TDevice::ResolveColor(uint32_t colorRef) const {
    if ((colorRef >> 24) == 1)
        return QColor(PaletteEntry(colorRef & 0xFFFF));
    return QColor(int(colorRef & 0xFF), int((colorRef >> 8) & 0xFF), int((colorRef >> 16) & 0xFF));
}

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
    bool skip = false;
    FPainter.setCompositionMode(Rop2Mode(FState.Rop2, &skip));
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
    bool skip = false;
    Rop2Mode(FState.Rop2, &skip);
    if (skip || target.isEmpty())
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

void TDevice::Rectangle(const QRectF& box) {
    if (!MappingUsable())
        return;
    QRectF t;
    QPainterPath path;
    if (TargetBox(box, t, true)) {
        const double d = Deflation();
        path.addRect(t.adjusted(d, d, -d, -d));
    } else {
        QPainterPath logical;
        logical.addRect(box);
        path = MapPath(logical);
    }
    Emit(path, true, true);
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
    if (!MappingUsable())
        return;
    QRectF t;
    QPainterPath path;
    if (TargetBox(box, t, true)) {
        const double d = Deflation();
        path.addEllipse(t.adjusted(d, d, -d, -d));
    } else {
        QPainterPath logical;
        logical.addEllipse(box.normalized());
        path = MapPath(logical);
    }
    Emit(path, true, true);
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
    QBrush brush;
    QPainter::CompositionMode mode = QPainter::CompositionMode_SourceOver;
    switch (code) {
    case 0x00:
        brush = QBrush(Qt::black);
        break;
    case 0xFF:
        brush = QBrush(Qt::white);
        break;
    case 0x55:
        brush = QBrush(Qt::black);
        mode = QPainter::RasterOp_NotDestination;
        break;
    case 0xAA:
        return;
    case 0x5A:
        if (!MakeBrush(FState.Brush, brush))
            return;
        mode = QPainter::RasterOp_SourceXorDestination;
        break;
    case 0x0F:
        if (!MakeBrush(FState.Brush, brush))
            return;
        mode = QPainter::RasterOp_NotSource;
        break;
    case 0xA0:
        if (!MakeBrush(FState.Brush, brush))
            return;
        mode = QPainter::RasterOp_SourceAndDestination;
        break;
    case 0xFA:
        if (!MakeBrush(FState.Brush, brush))
            return;
        mode = QPainter::RasterOp_SourceOrDestination;
        break;
    default:
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
    FPainter.setCompositionMode(mode);
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
    QPainter::CompositionMode mode;
    if (SourceRopMode(code, &mode)) {
        if (mode == QPainter::CompositionMode_SourceOver)
            DrawImage(dest, image, src, mode, 1);
        else // raster operations need an opaque source
            DrawImage(dest, image.convertToFormat(QImage::Format_RGB32), src, mode, 1);
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
