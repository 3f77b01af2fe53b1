// The device context both metafile players draw through: the GDI state (mapping, world
// transform, objects, colours, modes, current position, path, clipping) and the drawing
// operations, rendered with QPainter onto the target without antialiasing.
//
// Coordinates: logical (as in the records) -> world transform -> page -> window/viewport
// mapping -> device units (EMF: the reference device's pixels; WMF: bounding-box units) ->
// target pixels, where the picture's frame or bounding box fills the target rectangle. Paths and
// clip regions are kept in target pixels, as GDI keeps them in device pixels.
//
// Implemented in MetafileDevice.cpp (state, mapping, objects), MetafileDraw.cpp (pens, brushes,
// lines and shapes), MetafileClip.cpp (regions, paths, clipping), MetafileRaster.cpp (bitmaps and
// raster operations) and MetafileText.cpp (fonts and text).
#pragma once

#include "toolkit/metafile/Metafile.h"
#include "toolkit/metafile/MetafileInternal.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QTransform>

#include <cmath>
#include <memory>
#include <optional>
#include <vector>

class QPainter;

namespace metafile {

// GDI constants shared by both formats.
enum : int {
    MM_TEXT = 1,
    MM_LOMETRIC = 2,
    MM_HIMETRIC = 3,
    MM_LOENGLISH = 4,
    MM_HIENGLISH = 5,
    MM_TWIPS = 6,
    MM_ISOTROPIC = 7,
    MM_ANISOTROPIC = 8,
};
enum : uint32_t {
    PS_SOLID = 0,
    PS_DASH = 1,
    PS_DOT = 2,
    PS_DASHDOT = 3,
    PS_DASHDOTDOT = 4,
    PS_NULL = 5,
    PS_INSIDEFRAME = 6,
    PS_USERSTYLE = 7,
    PS_ALTERNATE = 8,
    PS_STYLE_MASK = 0x0F,
    PS_ENDCAP_ROUND = 0x000,
    PS_ENDCAP_SQUARE = 0x100,
    PS_ENDCAP_FLAT = 0x200,
    PS_ENDCAP_MASK = 0xF00,
    PS_JOIN_ROUND = 0x0000,
    PS_JOIN_BEVEL = 0x1000,
    PS_JOIN_MITER = 0x2000,
    PS_JOIN_MASK = 0xF000,
    PS_GEOMETRIC = 0x10000,
    PS_TYPE_MASK = 0xF0000,
};
enum : uint32_t {
    BS_SOLID = 0,
    BS_NULL = 1,
    BS_HATCHED = 2,
    BS_PATTERN = 3,
    BS_DIBPATTERN = 5,
    BS_DIBPATTERNPT = 6,
};
enum : int { TRANSPARENT = 1, OPAQUE = 2 };
enum : int { ALTERNATE = 1, WINDING = 2 };
enum : int { AD_COUNTERCLOCKWISE = 1, AD_CLOCKWISE = 2 };
enum : int { RGN_AND = 1, RGN_OR = 2, RGN_XOR = 3, RGN_DIFF = 4, RGN_COPY = 5 };
enum : int { R2_NOP = 11, R2_COPYPEN = 13 };
enum : int { STRETCH_HALFTONE = 4 };
enum : uint32_t {
    TA_UPDATECP = 1,
    TA_RIGHT = 2,
    TA_CENTER = 6,
    TA_HMASK = 6,
    TA_BOTTOM = 8,
    TA_BASELINE = 24,
    TA_VMASK = 24,
};
enum : uint32_t {
    ETO_OPAQUE = 0x0002,
    ETO_CLIPPED = 0x0004,
    ETO_GLYPH_INDEX = 0x0010,
    ETO_PDY = 0x2000,
};
enum : uint32_t { AC_SRC_ALPHA = 1 };

struct TPenDef {
    uint32_t Style = PS_SOLID;  // style, end cap, join and type bits
    double Width = 0;           // logical units; 0 draws one pixel wide
    uint32_t Color = 0;         // COLORREF
    bool Extended = false;      // made by ExtCreatePen: caps and joins as given
    std::vector<double> Dashes; // PS_USERSTYLE lengths
};

struct TBrushDef {
    uint32_t Style = BS_SOLID;
    uint32_t Color = 0xFFFFFF;
    uint32_t Hatch = 0;
    QImage Pattern;           // BS_PATTERN / BS_DIBPATTERN*
    bool MonoPattern = false; // Pattern is black/white: drawn with text and background colour
};

struct TFontDef {
    int32_t Height = 0, Width = 0, Escapement = 0, Orientation = 0, Weight = 0;
    bool Italic = false, Underline = false, StrikeOut = false;
    uint8_t CharSet = 0, PitchAndFamily = 0;
    QString Face;
    bool DevicePixels = false; // stock fonts: sizes in device units, not logical ones
};

struct TGdiObject {
    enum class TType { Pen, Brush, Font, Palette, Region, Other };
    TType Type = TType::Other;
    TPenDef Pen;
    TBrushDef Brush;
    TFontDef Font;
    std::vector<QRgb> Palette;
    QPainterPath Region; // WMF regions, logical units
};

// A clip region in target pixels.
struct TClip {
    bool IsRect = true;
    QRectF Rect;
    QPainterPath Path;
    QPainterPath ToPath() const;
};

struct TDcState {
    int MapMode = MM_TEXT;
    QPointF WindowOrg, ViewportOrg;
    QPointF WindowExt{1, 1}, ViewportExt{1, 1};
    QTransform World;
    TPenDef Pen;
    TBrushDef Brush;
    TFontDef Font;
    std::vector<QRgb> Palette; // selected logical palette (empty: the default one)
    uint32_t TextColor = 0x000000, BkColor = 0xFFFFFF;
    int BkMode = OPAQUE;
    uint32_t TextAlign = 0;
    int PolyFillMode = ALTERNATE;
    int Rop2 = R2_COPYPEN;
    int StretchMode = 1;
    int ArcDirection = AD_COUNTERCLOCKWISE;
    double MiterLimit = 10;
    int TextCharExtra = 0;
    QPointF Current; // current position, logical
    std::optional<TClip> Clip;
    std::optional<TClip> MetaClip;
};

struct TDeviceSetup {
    QRectF DeviceRect;            // device units that fill the target
    double DevPerMmX = 96 / 25.4; // device units per millimetre, for the fixed mapping modes
    double DevPerMmY = 96 / 25.4;
    int ObjectSlots = 0;  // object table size from the header
    bool Measure = false; // collect the bounds of what would be drawn instead of drawing
    bool ClipToTarget = true;
};

class TDevice {
public:
    TDevice(QPainter& painter, const QRectF& target, const TDeviceSetup& setup,
            TMetafilePlayStats& stats);
    ~TDevice();
    TDevice(const TDevice&) = delete;
    TDevice& operator=(const TDevice&) = delete;

    TDcState& State() { return FState; }
    const TDcState& State() const { return FState; }

    // In measuring mode: the target-pixel bounds of everything drawn so far.
    const QRectF& Measured() const { return FMeasured; }
    bool Measuring() const { return FSetup.Measure; }

    // Work accounting: false once the drawing-work budget is spent (playing stops).
    bool Spend(int64_t units);
    bool Exhausted() const { return FWork > FWorkLimit; }

    // --- state
    void SaveDC();
    void RestoreDC(int32_t which);
    void SetMapMode(int mode);
    void SetWindowOrg(double x, double y);
    void SetWindowExt(double x, double y);
    void SetViewportOrg(double x, double y);
    void SetViewportExt(double x, double y);
    void OffsetWindowOrg(double dx, double dy);
    void OffsetViewportOrg(double dx, double dy);
    void ScaleWindowExt(double xNum, double xDen, double yNum, double yDen);
    void ScaleViewportExt(double xNum, double xDen, double yNum, double yDen);
    void SetWorldTransform(const QTransform& t);
    void ModifyWorldTransform(const QTransform& t, uint32_t mode);

    // --- objects
    void CreateObjectAt(uint32_t index, std::unique_ptr<TGdiObject> object); // EMF
    int CreateObjectFirstFree(std::unique_ptr<TGdiObject> object);           // WMF; slot or -1
    const TGdiObject* ObjectAt(uint32_t index) const;
    TGdiObject* MutableObjectAt(uint32_t index);
    // The brush of an object index (stock ones by their high-bit index); false for others.
    bool BrushAt(uint32_t index, TBrushDef& brush) const;
    void SelectObject(uint32_t index); // EMF stock objects by their high-bit index
    void DeleteObject(uint32_t index);
    QColor ResolveColor(uint32_t colorRef) const;
    QRgb PaletteEntry(uint32_t index) const;

    // --- drawing, logical coordinates
    void MoveTo(QPointF p);
    void LineTo(QPointF p);
    void Polyline(const QPolygonF& points);
    void PolylineTo(const QPolygonF& points);
    void Polygon(const QPolygonF& points);
    void PolyPolygon(const std::vector<QPolygonF>& polygons);
    void PolyPolyline(const std::vector<QPolygonF>& polylines);
    void PolyBezier(const QPolygonF& points);
    void PolyBezierTo(const QPolygonF& points);
    void PolyDraw(const QPolygonF& points, const std::vector<uint8_t>& types);
    void Rectangle(const QRectF& box);
    void RoundRect(const QRectF& box, double cornerWidth, double cornerHeight);
    void Ellipse(const QRectF& box);
    enum class TArcKind { Arc, ArcTo, Chord, Pie };
    void Arc(TArcKind kind, const QRectF& box, QPointF start, QPointF end);
    void AngleArc(QPointF center, double radius, double startDeg, double sweepDeg);
    void SetPixel(QPointF p, uint32_t colorRef);
    // Text: reference point, characters, ETO_* options, optional rectangle, optional advances
    // (dx, dy) in logical units.
    void Text(QPointF reference, const QString& text, uint32_t options, const QRectF* rect,
              const std::vector<QPointF>* advances);
    // Fills a region given in target pixels with a brush (or the current one).
    void FillTargetRegion(const QPainterPath& region, const TBrushDef& brush);
    void FrameTargetRegion(const QPainterPath& region, const TBrushDef& brush, double w, double h);
    void InvertTargetRegion(const QPainterPath& region);
    QPainterPath LogicalRegionToTarget(const QPainterPath& logical);
    QPainterPath DeviceRectsToTarget(const std::vector<QRectF>& rects) const;

    // --- paths
    void BeginPath();
    void EndPath();
    void AbortPath();
    void CloseFigure();
    void FillPath();
    void StrokePath();
    void StrokeAndFillPath();
    void SelectClipPath(int mode);
    void WidenPath();

    // --- clipping
    void IntersectClipRect(const QRectF& box);
    void ExcludeClipRect(const QRectF& box);
    void OffsetClip(double dx, double dy);                       // logical units
    void SelectClip(const QPainterPath* targetRegion, int mode); // nullptr: reset
    void SetMetaRegion();

    // --- bitmaps
    // Draws image (its src rectangle, pixel coordinates from the top) into the logical box
    // (x, y, width, height) with a ternary raster operation.
    void StretchBlt(const QRectF& dest, const QImage& image, const QRectF& src, uint32_t rop);
    void PatBlt(const QRectF& dest, uint32_t rop);
    void AlphaBlend(const QRectF& dest, const QImage& image, const QRectF& src, int constantAlpha,
                    bool sourceAlpha);
    // Gradient fills: a logical box shaded left to right (or top to bottom), and a triangle
    // shaded between its corners' colours.
    void GradientRect(const QRectF& box, const QColor& first, const QColor& second, bool vertical);
    void GradientTriangle(const QPointF (&corners)[3], const QColor (&colors)[3]);

    // The full logical -> target transform.
    const QTransform& Mapping();
    QPointF ToTarget(QPointF p) { return Mapping().map(p); }

private:
    void UpdateMapping();
    void TransformChanged() { FMappingValid = false; }
    void FixIsotropic();
    QTransform PageToDevice() const;
    QPointF Snap(QPointF p) const;
    QPainterPath MapPath(const QPainterPath& logical);
    bool AxisAligned();
    bool MappingUsable(); // finite and invertible
    bool TargetBox(const QRectF& box, QRectF& out, bool exclusive);
    QRectF TargetClipBox(const QRectF& box);
    void SetExtent(QPointF& extent, double x, double y);
    // A rectangle in logical units combined with the clip region (RGN_AND, RGN_DIFF).
    void CombineClipRect(const QRectF& box, int mode);
    void Emit(const QPainterPath& target, bool fill, bool stroke);
    void Render(const QPainterPath& target, bool fill, bool stroke);
    bool MakePen(QPen& pen, double* widthOut);
    bool MakeBrush(const TBrushDef& brush, QBrush& out);
    void SetRop2Mode();
    void ApplyClip();
    // Measuring mode: records the area (with the part outside the target) and returns true.
    bool Measured(const QRectF& area);
    void ClipChanged() { FClipDirty = true; }
    void CombineClip(const TClip& region, int mode);
    std::optional<TClip> EffectiveClip() const;
    void EnsureFigure();
    double PenWidthPixels(double logicalWidth);
    double Deflation();
    // A figure added in a box: in target pixels when the mapping keeps axes (GDI's exclusive
    // right and bottom edges, inside-frame pens deflating it), else in logical units (logicalBox)
    // mapped afterwards.
    void BoxFigure(const QRectF& box, const QRectF& logicalBox,
                   void (QPainterPath::*add)(const QRectF&));
    QFont MakeFont(double pixelHeight) const;
    void DrawImage(const QRectF& dest, const QImage& image, const QRectF& src,
                   QPainter::CompositionMode mode, double opacity);

    QPainter& FPainter;
    QRectF FTarget;
    QRectF FVisible; // the part of the painter's surface drawing can reach
    TDeviceSetup FSetup;
    TMetafilePlayStats& FStats;
    QTransform FBase; // the painter's transform on entry
    QTransform FDeviceToTarget;
    QTransform FMapping;
    bool FMappingValid = false;
    TDcState FState;
    std::vector<TDcState> FSaved;
    std::vector<std::unique_ptr<TGdiObject>> FObjects;
    bool FClipDirty = true;
    bool FPathOpen = false;   // between BeginPath and EndPath
    bool FFigureOpen = false; // the path has a figure that "To" operations continue
    QPainterPath FPath;       // target pixels
    QRectF FMeasured;
    int64_t FWork = 0;
    int64_t FWorkLimit = kMaxWorkUnits;
};

// Stock object numbers (the low bits of a high-bit object index).
enum : uint32_t {
    WHITE_BRUSH = 0,
    LTGRAY_BRUSH = 1,
    GRAY_BRUSH = 2,
    DKGRAY_BRUSH = 3,
    BLACK_BRUSH = 4,
    NULL_BRUSH = 5,
    WHITE_PEN = 6,
    BLACK_PEN = 7,
    NULL_PEN = 8,
    OEM_FIXED_FONT = 10,
    ANSI_FIXED_FONT = 11,
    ANSI_VAR_FONT = 12,
    SYSTEM_FONT = 13,
    DEVICE_DEFAULT_FONT = 14,
    DEFAULT_PALETTE = 15,
    SYSTEM_FIXED_FONT = 16,
    DEFAULT_GUI_FONT = 17,
    DC_BRUSH = 18,
    DC_PEN = 19,
};

// Arithmetic shared by the device's files.
inline bool Finite(const QTransform& t) {
    return std::isfinite(t.m11()) && std::isfinite(t.m12()) && std::isfinite(t.m21()) &&
           std::isfinite(t.m22()) && std::isfinite(t.dx()) && std::isfinite(t.dy());
}

inline double Det(const QTransform& t) {
    return t.m11() * t.m22() - t.m12() * t.m21();
}

// v within [lo, hi]; NaN goes to lo.
inline double Clamp(double v, double lo, double hi) {
    if (!(v >= lo))
        return lo;
    return v > hi ? hi : v;
}

// Text of 8-bit characters in a font's character set.
QString DecodeAnsi(const uint8_t* bytes, int length, uint8_t charSet);
// The installed family that draws a Windows face name (metric-compatible where one exists).
QString ResolveFontFamily(const QString& face, uint8_t pitchAndFamily);

} // namespace metafile
