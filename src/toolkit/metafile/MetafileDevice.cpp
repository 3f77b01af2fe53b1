// The metafile device's state: construction on a painter, the work budget, the mapping from
// logical units to target pixels, the saved states, the object table with the stock objects, and
// colours. Drawing is in MetafileDraw.cpp, clipping in MetafileClip.cpp, bitmaps in
// MetafileRaster.cpp, text in MetafileText.cpp.
#include "toolkit/metafile/MetafileDevice.h"

#include <algorithm>
#include <cmath>

namespace metafile {

namespace {

// Target coordinates are kept within this range: far outside any picture, small enough for
// the rasteriser's fixed-point arithmetic.
constexpr double kCoordLimit = 1 << 22;

// The 20 static colours of the default palette.
const QRgb kDefaultPalette[20] = {
    qRgb(0, 0, 0),       qRgb(128, 0, 0),     qRgb(0, 128, 0),     qRgb(128, 128, 0),
    qRgb(0, 0, 128),     qRgb(128, 0, 128),   qRgb(0, 128, 128),   qRgb(192, 192, 192),
    qRgb(192, 220, 192), qRgb(166, 202, 240), qRgb(255, 251, 240), qRgb(160, 160, 164),
    qRgb(128, 128, 128), qRgb(255, 0, 0),     qRgb(0, 255, 0),     qRgb(255, 255, 0),
    qRgb(0, 0, 255),     qRgb(255, 0, 255),   qRgb(0, 255, 255),   qRgb(255, 255, 255),
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

} // namespace

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

} // namespace metafile
