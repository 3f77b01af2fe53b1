// Playing WMF records through the metafile device. Parameters are 16-bit words, most of them in
// reverse order; each record is read through a view of its own bytes.
#include "toolkit/metafile/MetafileDevice.h"
#include "toolkit/metafile/MetafileDib.h"
#include "toolkit/metafile/MetafileRecords.h"
#include "toolkit/metafile/MetafileSymbols.h"

#include <cmath>

namespace metafile {

namespace {

// Word k of the parameters.
int16_t W(const TReader& r, uint64_t k) {
    return r.I16(6 + 2 * k);
}
uint16_t UW(const TReader& r, uint64_t k) {
    return r.U16(6 + 2 * k);
}
uint32_t DW(const TReader& r, uint64_t k) {
    return r.U32(6 + 2 * k);
}

// A box from four words in the order bottom, right, top, left starting at word k.
QRectF BoxBRTL(const TReader& r, uint64_t k) {
    return QRectF(QPointF(W(r, k + 3), W(r, k + 2)), QPointF(W(r, k + 1), W(r, k)));
}

QPolygonF Points16(const TReader& r, uint64_t at, int64_t count) {
    if (count < 0)
        Malformed("negative point count");
    r.NeedArray(at, uint64_t(count), 4);
    QPolygonF points;
    points.reserve(qsizetype(count));
    for (int64_t i = 0; i < count; ++i)
        points.append(QPointF(r.I16(at + 4 * uint64_t(i)), r.I16(at + 4 * uint64_t(i) + 2)));
    return points;
}

// An old device-dependent bitmap (Bitmap16): monochrome, 24 and 32 bits are drawn.
QImage Bitmap16(const TReader& r, uint64_t at, uint64_t bitsAt) {
    const int64_t width = r.I16(at + 2), height = r.I16(at + 4), widthBytes = r.I16(at + 6);
    const int planes = r.U8(at + 8), bitsPixel = r.U8(at + 9);
    if (width <= 0 || height <= 0 || widthBytes <= 0 || planes != 1 ||
        width * height > kMaxBitmapPixels)
        return QImage();
    if (bitsPixel != 1 && bitsPixel != 24 && bitsPixel != 32)
        return QImage();
    if (widthBytes * 8 < width * bitsPixel)
        return QImage();
    // Rows the record does not hold stay transparent.
    const uint64_t rows =
        std::min<uint64_t>(uint64_t(height), r.From(bitsAt).Size() / uint64_t(widthBytes));
    QImage image(int(width), int(height), QImage::Format_ARGB32);
    image.fill(0u);
    for (int y = 0; y < int(rows); ++y) {
        const uint8_t* row =
            r.Bytes(bitsAt + uint64_t(y) * uint64_t(widthBytes), uint64_t(widthBytes));
        QRgb* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            if (bitsPixel == 1)
                out[x] = (row[x >> 3] & (0x80 >> (x & 7))) ? qRgb(255, 255, 255) : qRgb(0, 0, 0);
            else if (bitsPixel == 24)
                out[x] = qRgb(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
            else
                out[x] = qRgb(row[4 * x + 2], row[4 * x + 1], row[4 * x]);
        }
    }
    return image;
}

bool IsCreate(uint16_t function) {
    switch (function) {
    case META_CREATEPALETTE:
    case META_CREATEPATTERNBRUSH:
    case META_CREATEPENINDIRECT:
    case META_CREATEFONTINDIRECT:
    case META_CREATEBRUSHINDIRECT:
    case META_DIBCREATEPATTERNBRUSH:
    case META_CREATEREGION:
        return true;
    default:
        return false;
    }
}

class TWmfPlayer {
public:
    TWmfPlayer(TDevice& device) : D(device) {}
    bool Play(const TReader& r, uint16_t function);

private:
    bool PackedDib(const TReader& r, uint64_t at, uint32_t usage, TDibResult& out);
    void Text(const TReader& r, uint16_t function);
    void Bitmap(const TReader& r, uint16_t function, uint64_t words);
    void Create(std::unique_ptr<TGdiObject> object) { D.CreateObjectFirstFree(std::move(object)); }
    QPainterPath RegionAt(uint16_t index, bool* ok);

    TDevice& D;
};

bool TWmfPlayer::PackedDib(const TReader& r, uint64_t at, uint32_t usage, TDibResult& out) {
    TDibOptions options;
    options.Usage = usage;
    options.Palette = [this](uint32_t i) { return D.PaletteEntry(i); };
    const TReader packed = r.From(at);
    int64_t w = 0, h = 0;
    if (!DibSize(packed, w, h) || !D.Spend(w * h))
        return false;
    return DecodePackedDib(packed, options, out);
}

QPainterPath TWmfPlayer::RegionAt(uint16_t index, bool* ok) {
    const TGdiObject* object = D.ObjectAt(index);
    *ok = object && object->Type == TGdiObject::TType::Region;
    return *ok ? D.LogicalRegionToTarget(object->Region) : QPainterPath();
}

void TWmfPlayer::Text(const TReader& r, uint16_t function) {
    const uint8_t charSet = TextCharSet(D.State().Font);
    if (function == META_TEXTOUT) {
        const int16_t length = W(r, 0);
        if (length < 0)
            Malformed("negative string length");
        const uint64_t stringAt = 8;
        const uint64_t padded = (uint64_t(length) + 1) & ~uint64_t(1);
        const QString text = DecodeAnsi(r.Bytes(stringAt, uint64_t(length)), length, charSet);
        const double y = r.I16(stringAt + padded), x = r.I16(stringAt + padded + 2);
        D.Text(QPointF(x, y), text, 0, nullptr, nullptr);
        return;
    }
    const double y = W(r, 0), x = W(r, 1);
    const int16_t count = W(r, 2);
    const uint16_t options = UW(r, 3);
    if (count < 0)
        Malformed("negative string length");
    uint64_t at = 14;
    QRectF rect;
    const bool haveRect = options & (ETO_OPAQUE | ETO_CLIPPED);
    if (haveRect) {
        rect = QRectF(QPointF(W(r, 4), W(r, 5)), QPointF(W(r, 6), W(r, 7)));
        at = 22;
    }
    const QString text = DecodeAnsi(r.Bytes(at, uint64_t(count)), count, charSet);
    const uint64_t dxAt = at + ((uint64_t(count) + 1) & ~uint64_t(1));
    std::vector<QPointF> advances;
    if (count > 0 && r.HasArray(dxAt, uint64_t(count), 2)) {
        // Multi-byte character sets give one advance per byte; the characters take the
        // advances of their first bytes.
        advances.reserve(size_t(count));
        for (int i = 0; i < count; ++i)
            advances.emplace_back(r.I16(dxAt + 2 * uint64_t(i)), 0);
        if (text.size() < count) {
            std::vector<QPointF> merged;
            int byte = 0;
            for (qsizetype c = 0; c < text.size() && byte < count; ++c) {
                const int bytes = text[c].unicode() < 0x80 ? 1 : (charSet >= 128 ? 2 : 1);
                double sum = 0;
                for (int k = 0; k < bytes && byte < count; ++k, ++byte)
                    sum += advances[size_t(byte)].x();
                merged.emplace_back(sum, 0);
            }
            advances = merged;
        }
    }
    D.Text(QPointF(x, y), text, options, haveRect ? &rect : nullptr,
           advances.empty() ? nullptr : &advances);
}

void TWmfPlayer::Bitmap(const TReader& r, uint16_t function, uint64_t words) {
    switch (function) {
    case META_BITBLT:
    case META_DIBBITBLT: {
        const uint32_t rop = DW(r, 0);
        if (words == 12) { // no source bitmap
            const QRectF dest(W(r, 8), W(r, 7), W(r, 6), W(r, 5));
            D.PatBlt(dest, rop);
            return;
        }
        const double ySrc = W(r, 2), xSrc = W(r, 3), height = W(r, 4), width = W(r, 5);
        const QRectF dest(W(r, 7), W(r, 6), width, height);
        QImage image;
        if (function == META_DIBBITBLT) {
            TDibResult dib;
            if (!PackedDib(r, 6 + 2 * 8, DIB_RGB_COLORS, dib))
                return;
            image = dib.Image;
        } else {
            image = Bitmap16(r, 6 + 2 * 8, 6 + 2 * 8 + 10);
        }
        D.StretchBlt(dest, image, QRectF(xSrc, ySrc, width, height), rop);
        return;
    }
    case META_STRETCHBLT:
    case META_DIBSTRETCHBLT: {
        const uint32_t rop = DW(r, 0);
        const double srcHeight = W(r, 2), srcWidth = W(r, 3), ySrc = W(r, 4), xSrc = W(r, 5);
        if (words == 14) { // no source bitmap
            const QRectF dest(W(r, 10), W(r, 9), W(r, 8), W(r, 7));
            D.PatBlt(dest, rop);
            return;
        }
        const QRectF dest(W(r, 9), W(r, 8), W(r, 7), W(r, 6));
        QImage image;
        if (function == META_DIBSTRETCHBLT) {
            TDibResult dib;
            if (!PackedDib(r, 6 + 2 * 10, DIB_RGB_COLORS, dib))
                return;
            image = dib.Image;
        } else {
            image = Bitmap16(r, 6 + 2 * 10, 6 + 2 * 10 + 10);
        }
        D.StretchBlt(dest, image, QRectF(xSrc, ySrc, srcWidth, srcHeight), rop);
        return;
    }
    case META_STRETCHDIB: {
        const uint32_t rop = DW(r, 0);
        const uint16_t usage = UW(r, 2);
        const double srcHeight = W(r, 3), srcWidth = W(r, 4), ySrc = W(r, 5), xSrc = W(r, 6);
        const QRectF dest(W(r, 10), W(r, 9), W(r, 8), W(r, 7));
        TDibResult dib;
        if (!PackedDib(r, 6 + 2 * 11, usage, dib))
            return;
        const double top = dib.TopDown ? ySrc : dib.Image.height() - ySrc - srcHeight;
        D.StretchBlt(dest, dib.Image, QRectF(xSrc, top, srcWidth, srcHeight), rop);
        return;
    }
    case META_SETDIBTODEV: {
        const uint16_t usage = UW(r, 0);
        const double ySrc = W(r, 3), xSrc = W(r, 4), height = W(r, 5), width = W(r, 6);
        const double yDest = W(r, 7), xDest = W(r, 8);
        TDibResult dib;
        if (!PackedDib(r, 6 + 2 * 9, usage, dib))
            return;
        const double top = dib.TopDown ? ySrc : dib.Image.height() - ySrc - height;
        D.StretchBlt(QRectF(xDest, yDest, width, height), dib.Image,
                     QRectF(xSrc, top, width, height), 0x00CC0020);
        return;
    }
    default:
        return;
    }
}

bool TWmfPlayer::Play(const TReader& r, uint16_t function) {
    TDcState& s = D.State();
    const uint64_t words = r.Size() / 2;
    switch (function) {
    case META_EOF:
        return true;
    case META_SAVEDC:
        D.SaveDC();
        return true;
    case META_RESTOREDC:
        D.RestoreDC(W(r, 0));
        return true;
    case META_SETBKMODE: {
        const uint16_t mode = UW(r, 0);
        if (mode == TRANSPARENT || mode == OPAQUE)
            s.BkMode = mode;
        return true;
    }
    case META_SETMAPMODE:
        D.SetMapMode(UW(r, 0));
        return true;
    case META_SETROP2: {
        const uint16_t rop = UW(r, 0);
        if (rop >= 1 && rop <= 16)
            s.Rop2 = rop;
        return true;
    }
    case META_SETPOLYFILLMODE: {
        const uint16_t mode = UW(r, 0);
        if (mode == ALTERNATE || mode == WINDING)
            s.PolyFillMode = mode;
        return true;
    }
    case META_SETSTRETCHBLTMODE:
        s.StretchMode = UW(r, 0);
        return true;
    case META_SETTEXTCHAREXTRA:
        s.TextCharExtra = W(r, 0);
        return true;
    case META_SETTEXTALIGN:
        s.TextAlign = UW(r, 0);
        return true;
    case META_SETBKCOLOR:
        s.BkColor = DW(r, 0);
        return true;
    case META_SETTEXTCOLOR:
        s.TextColor = DW(r, 0);
        return true;
    case META_SETWINDOWORG:
        D.SetWindowOrg(W(r, 1), W(r, 0));
        return true;
    case META_SETWINDOWEXT:
        D.SetWindowExt(W(r, 1), W(r, 0));
        return true;
    case META_SETVIEWPORTORG:
        D.SetViewportOrg(W(r, 1), W(r, 0));
        return true;
    case META_SETVIEWPORTEXT:
        D.SetViewportExt(W(r, 1), W(r, 0));
        return true;
    case META_OFFSETWINDOWORG:
        D.OffsetWindowOrg(W(r, 1), W(r, 0));
        return true;
    case META_OFFSETVIEWPORTORG:
        D.OffsetViewportOrg(W(r, 1), W(r, 0));
        return true;
    case META_SCALEWINDOWEXT:
        D.ScaleWindowExt(W(r, 3), W(r, 2), W(r, 1), W(r, 0));
        return true;
    case META_SCALEVIEWPORTEXT:
        D.ScaleViewportExt(W(r, 3), W(r, 2), W(r, 1), W(r, 0));
        return true;

    case META_MOVETO:
        D.MoveTo(QPointF(W(r, 1), W(r, 0)));
        return true;
    case META_LINETO:
        D.LineTo(QPointF(W(r, 1), W(r, 0)));
        return true;
    case META_POLYGON:
        D.Polygon(Points16(r, 8, W(r, 0)));
        return true;
    case META_POLYLINE:
        D.Polyline(Points16(r, 8, W(r, 0)));
        return true;
    case META_POLYPOLYGON: {
        const uint16_t polys = UW(r, 0);
        r.NeedArray(8, polys, 2);
        uint64_t at = 8 + 2 * uint64_t(polys);
        std::vector<QPolygonF> polygons;
        for (uint16_t i = 0; i < polys; ++i) {
            const uint16_t n = r.U16(8 + 2 * uint64_t(i));
            polygons.push_back(Points16(r, at, n));
            at += 4 * uint64_t(n);
        }
        D.PolyPolygon(polygons);
        return true;
    }
    case META_RECTANGLE:
        D.Rectangle(BoxBRTL(r, 0));
        return true;
    case META_ELLIPSE:
        D.Ellipse(BoxBRTL(r, 0));
        return true;
    case META_ROUNDRECT:
        D.RoundRect(BoxBRTL(r, 2), W(r, 1), W(r, 0));
        return true;
    case META_ARC:
    case META_PIE:
    case META_CHORD: {
        const TDevice::TArcKind kind = function == META_ARC   ? TDevice::TArcKind::Arc
                                       : function == META_PIE ? TDevice::TArcKind::Pie
                                                              : TDevice::TArcKind::Chord;
        D.Arc(kind, BoxBRTL(r, 4), QPointF(W(r, 3), W(r, 2)), QPointF(W(r, 1), W(r, 0)));
        return true;
    }
    case META_SETPIXEL:
        D.SetPixel(QPointF(W(r, 3), W(r, 2)), DW(r, 0));
        return true;
    case META_TEXTOUT:
    case META_EXTTEXTOUT:
        Text(r, function);
        return true;

    case META_EXCLUDECLIPRECT:
        D.ExcludeClipRect(BoxBRTL(r, 0));
        return true;
    case META_INTERSECTCLIPRECT:
        D.IntersectClipRect(BoxBRTL(r, 0));
        return true;
    case META_OFFSETCLIPRGN:
        D.OffsetClip(W(r, 1), W(r, 0));
        return true;
    case META_SELECTCLIPREGION: {
        bool ok = false;
        const QPainterPath region = RegionAt(UW(r, 0), &ok);
        D.SelectClip(ok ? &region : nullptr, RGN_COPY);
        return true;
    }
    case META_FILLREGION:
    case META_FRAMEREGION: {
        bool ok = false;
        const QPainterPath region = RegionAt(UW(r, 0), &ok);
        TBrushDef brush;
        if (!ok || !D.BrushAt(UW(r, 1), brush))
            return true;
        if (function == META_FILLREGION)
            D.FillTargetRegion(region, brush);
        else
            D.FrameTargetRegion(region, brush, W(r, 3), W(r, 2));
        return true;
    }
    case META_INVERTREGION:
    case META_PAINTREGION: {
        bool ok = false;
        const QPainterPath region = RegionAt(UW(r, 0), &ok);
        if (!ok)
            return true;
        if (function == META_INVERTREGION)
            D.InvertTargetRegion(region);
        else
            D.FillTargetRegion(region, s.Brush);
        return true;
    }

    case META_SELECTOBJECT:
        D.SelectObject(UW(r, 0));
        return true;
    case META_DELETEOBJECT:
        D.DeleteObject(UW(r, 0));
        return true;
    case META_SELECTPALETTE: {
        const TGdiObject* object = D.ObjectAt(UW(r, 0));
        if (object && object->Type == TGdiObject::TType::Palette)
            s.Palette = object->Palette;
        return true;
    }
    case META_SETPALENTRIES: {
        const uint16_t start = UW(r, 0), count = UW(r, 1);
        r.NeedArray(10, count, 4);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t slot = uint32_t(start) + i;
            if (slot >= s.Palette.size())
                break;
            const uint64_t at = 10 + 4 * uint64_t(i);
            s.Palette[slot] = qRgb(r.U8(at), r.U8(at + 1), r.U8(at + 2));
        }
        return true;
    }
    case META_CREATEPALETTE: {
        auto object = std::make_unique<TGdiObject>();
        object->Type = TGdiObject::TType::Palette;
        const uint16_t count = UW(r, 1);
        if (r.HasArray(10, count, 4)) {
            for (uint16_t i = 0; i < count; ++i) {
                const uint64_t at = 10 + 4 * uint64_t(i);
                object->Palette.push_back(qRgb(r.U8(at), r.U8(at + 1), r.U8(at + 2)));
            }
        }
        Create(std::move(object));
        return true;
    }
    case META_CREATEPENINDIRECT: {
        auto object = std::make_unique<TGdiObject>();
        object->Type = TGdiObject::TType::Pen;
        object->Pen.Style = UW(r, 0);
        object->Pen.Width = std::fabs(double(W(r, 1)));
        object->Pen.Color = r.Has(12, 4) ? r.U32(12) : 0;
        Create(std::move(object));
        return true;
    }
    case META_CREATEBRUSHINDIRECT: {
        auto object = std::make_unique<TGdiObject>();
        object->Type = TGdiObject::TType::Brush;
        const uint16_t style = UW(r, 0);
        object->Brush.Style =
            style == BS_NULL || style == BS_HATCHED ? uint32_t(style) : uint32_t(BS_SOLID);
        object->Brush.Color = r.Has(8, 4) ? r.U32(8) : 0;
        object->Brush.Hatch = r.Has(12, 2) ? r.U16(12) : 0;
        Create(std::move(object));
        return true;
    }
    case META_CREATEFONTINDIRECT: {
        auto object = std::make_unique<TGdiObject>();
        object->Type = TGdiObject::TType::Font;
        TFontDef& f = object->Font;
        f.Height = W(r, 0);
        f.Width = W(r, 1);
        f.Escapement = W(r, 2);
        f.Orientation = W(r, 3);
        f.Weight = W(r, 4);
        f.Italic = r.U8(16) != 0;
        f.Underline = r.U8(17) != 0;
        f.StrikeOut = r.U8(18) != 0;
        f.CharSet = r.U8(19);
        f.PitchAndFamily = r.U8(23);
        int length = 0;
        while (length < 32 && r.Has(24 + uint64_t(length), 1) && r.U8(24 + uint64_t(length)) != 0)
            ++length;
        f.Face =
            DecodeAnsi(r.Bytes(24, uint64_t(length)), length, f.CharSet >= 128 ? f.CharSet : 0);
        Create(std::move(object));
        return true;
    }
    case META_DIBCREATEPATTERNBRUSH: {
        auto object = std::make_unique<TGdiObject>();
        TDibResult dib;
        if (PackedDib(r, 10, UW(r, 1), dib)) {
            object->Type = TGdiObject::TType::Brush;
            object->Brush.Style = BS_DIBPATTERNPT;
            object->Brush.Pattern = dib.Image;
        }
        Create(std::move(object));
        return true;
    }
    case META_CREATEPATTERNBRUSH: {
        auto object = std::make_unique<TGdiObject>();
        const QImage pattern = Bitmap16(r, 6, 6 + 14 + 18);
        if (!pattern.isNull()) {
            object->Type = TGdiObject::TType::Brush;
            object->Brush.Style = BS_PATTERN;
            object->Brush.Pattern = pattern;
            object->Brush.MonoPattern = r.U8(6 + 9) == 1;
        }
        Create(std::move(object));
        return true;
    }
    case META_CREATEREGION: {
        auto object = std::make_unique<TGdiObject>();
        object->Type = TGdiObject::TType::Region;
        // The header before the scans is 22 bytes by the format, but writers also use a
        // 20-byte one (a 16-bit object count); the region size field tells which.
        const uint64_t params = r.Size() - 6;
        const bool shortHeader = UW(r, 3) == params && UW(r, 4) != params;
        const uint64_t k = shortHeader ? 3 : 4; // word of the region size
        const uint16_t scans = UW(r, k + 1);
        QPainterPath& region = object->Region;
        region.setFillRule(Qt::WindingFill);
        if (scans == 0) {
            region.addRect(
                QRectF(QPointF(W(r, k + 3), W(r, k + 4)), QPointF(W(r, k + 5), W(r, k + 6)))
                    .normalized());
        } else {
            uint64_t at = 6 + 2 * (k + 7);
            for (uint16_t i = 0; i < scans; ++i) {
                const uint16_t count = r.U16(at);
                const double top = r.I16(at + 2), bottom = r.I16(at + 4);
                r.NeedArray(at + 6, count, 2);
                for (uint16_t j = 0; j + 1 < count; j += 2) {
                    const double left = r.I16(at + 6 + 2 * uint64_t(j));
                    const double right = r.I16(at + 8 + 2 * uint64_t(j));
                    region.addRect(QRectF(QPointF(left, top), QPointF(right, bottom)).normalized());
                }
                at += 8 + 2 * uint64_t(count);
            }
        }
        Create(std::move(object));
        return true;
    }

    case META_PATBLT:
        D.PatBlt(QRectF(W(r, 5), W(r, 4), W(r, 3), W(r, 2)), DW(r, 0));
        return true;
    case META_BITBLT:
    case META_DIBBITBLT:
    case META_STRETCHBLT:
    case META_DIBSTRETCHBLT:
    case META_STRETCHDIB:
    case META_SETDIBTODEV:
        Bitmap(r, function, words);
        return true;

    case META_REALIZEPALETTE:
    case META_RESIZEPALETTE:
    case META_ANIMATEPALETTE:
    case META_SETRELABS:
    case META_SETMAPPERFLAGS:
    case META_SETTEXTJUSTIFICATION:
    case META_SETLAYOUT:
    case META_ESCAPE:
        return true;
    default:
        return false;
    }
}

} // namespace

TMetafilePlayStats PlayWmf(const TParsed& parsed, QPainter& painter, const QRectF& target,
                           const TPlayOptions& options) {
    TMetafilePlayStats stats;
    const double left = std::min(parsed.BBox[0], parsed.BBox[2]);
    const double top = std::min(parsed.BBox[1], parsed.BBox[3]);
    const double width = std::fabs(double(parsed.BBox[2]) - parsed.BBox[0]);
    const double height = std::fabs(double(parsed.BBox[3]) - parsed.BBox[1]);
    TDeviceSetup setup;
    setup.DeviceRect = QRectF(0, 0, width, height);
    setup.DevPerMmX = setup.DevPerMmY = parsed.Inch / 25.4;
    setup.ObjectSlots = parsed.Objects;
    setup.Measure = options.Measured != nullptr;
    setup.ClipToTarget = options.ClipToTarget;
    TDevice device(painter, target, setup, stats);
    // The bounding box is the window that fills the target until the file sets its own.
    device.SetMapMode(MM_ANISOTROPIC);
    device.SetWindowOrg(left, top);
    device.SetWindowExt(width, height);
    device.SetViewportOrg(0, 0);
    device.SetViewportExt(width, height);
    TWmfPlayer player(device);

    const TReader file(reinterpret_cast<const uint8_t*>(parsed.Data.constData()),
                       size_t(parsed.Data.size()));
    uint64_t at = parsed.RecordsBegin;
    while (at + 6 <= parsed.RecordsEnd) {
        const uint64_t bytes = uint64_t(file.U32(at)) * 2;
        const uint16_t function = file.U16(at + 4);
        if (bytes < 6 || bytes > parsed.RecordsEnd - at)
            break; // cannot happen after the load-time checks
        const TReader record = file.Sub(at, bytes);
        at += bytes;
        if (stats.Records >= kMaxRecords) {
            stats.Truncated = true;
            break;
        }
        ++stats.Records;
        if (function == META_EOF)
            break;
        try {
            if (!player.Play(record, function))
                ++stats.Unsupported;
        } catch (const EMalformed&) {
            ++stats.Skipped;
            // A damaged create still takes its slot, so later indexes keep their meaning.
            if (IsCreate(function))
                device.CreateObjectFirstFree(std::make_unique<TGdiObject>());
        }
        if (device.Exhausted())
            break;
    }
    if (options.Measured)
        *options.Measured = device.Measured();
    return stats;
}

} // namespace metafile
