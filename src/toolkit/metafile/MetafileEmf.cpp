// Playing EMF records through the metafile device. Each record is read through a view of its
// own bytes: a field, count or offset that does not fit raises EMalformed and the record is
// skipped.
#include "toolkit/metafile/MetafileDevice.h"
#include "toolkit/metafile/MetafileDib.h"
#include "toolkit/metafile/MetafileRecords.h"
#include "toolkit/metafile/MetafileSymbols.h"

#include <cmath>

namespace metafile {

namespace {

constexpr uint32_t kEmfPlusSignature = 0x2B464D45; // "EMF+"

QPointF Pt32(const TReader& r, uint64_t at) {
    return QPointF(r.I32(at), r.I32(at + 4));
}
QPointF Pt16(const TReader& r, uint64_t at) {
    return QPointF(r.I16(at), r.I16(at + 2));
}

QRectF Box(const TReader& r, uint64_t at) {
    return QRectF(QPointF(r.I32(at), r.I32(at + 4)), QPointF(r.I32(at + 8), r.I32(at + 12)));
}

QPolygonF Points(const TReader& r, uint64_t at, uint64_t count, bool small) {
    r.NeedArray(at, count, small ? 4 : 8);
    QPolygonF points;
    points.reserve(qsizetype(count));
    for (uint64_t i = 0; i < count; ++i)
        points.append(small ? Pt16(r, at + 4 * i) : Pt32(r, at + 8 * i));
    return points;
}

QTransform XForm(const TReader& r, uint64_t at) {
    return QTransform(r.F32(at), r.F32(at + 4), r.F32(at + 8), r.F32(at + 12), r.F32(at + 16),
                      r.F32(at + 20));
}

// Polygons of a poly-poly record: the number of polygons, the total point count, the counts,
// then the points.
std::vector<QPolygonF> PolyPoly(const TReader& r, bool small) {
    const uint32_t polys = r.U32(24);
    const uint32_t total = r.U32(28);
    r.NeedArray(32, polys, 4);
    const uint64_t pointsAt = 32 + uint64_t(polys) * 4;
    const QPolygonF all = Points(r, pointsAt, total, small);
    std::vector<QPolygonF> out;
    uint64_t used = 0;
    for (uint32_t i = 0; i < polys; ++i) {
        const uint32_t n = r.U32(32 + 4 * uint64_t(i));
        if (n > total - used)
            Malformed("polygon counts exceed the point count");
        out.push_back(all.mid(qsizetype(used), qsizetype(n)));
        used += n;
    }
    return out;
}

std::vector<QRectF> RegionRects(const TReader& r, uint64_t at, uint32_t size) {
    const TReader data = r.Sub(at, size);
    const uint32_t headerSize = data.U32(0);
    const uint32_t count = data.U32(8);
    if (headerSize < 32)
        Malformed("region header too small");
    data.NeedArray(headerSize, count, 16);
    std::vector<QRectF> rects;
    rects.reserve(count);
    for (uint32_t i = 0; i < count; ++i)
        rects.push_back(Box(data, headerSize + 16 * uint64_t(i)));
    return rects;
}

TFontDef LogFontW(const TReader& r, uint64_t at) {
    TFontDef f;
    f.Height = r.I32(at);
    f.Width = r.I32(at + 4);
    f.Escapement = r.I32(at + 8);
    f.Orientation = r.I32(at + 12);
    f.Weight = r.I32(at + 16);
    f.Italic = r.U8(at + 20) != 0;
    f.Underline = r.U8(at + 21) != 0;
    f.StrikeOut = r.U8(at + 22) != 0;
    f.CharSet = r.U8(at + 23);
    f.PitchAndFamily = r.U8(at + 27);
    for (uint64_t i = 0; i < 32 && r.Has(at + 28 + 2 * i, 2); ++i) {
        const char16_t c = r.U16(at + 28 + 2 * i);
        if (c == 0)
            break;
        f.Face.append(QChar(c));
    }
    return f;
}

class TEmfPlayer {
public:
    TEmfPlayer(TDevice& device) : D(device) {}
    bool Play(const TReader& r, uint32_t type); // false: not drawn by this player

private:
    bool Dib(const TReader& r, uint32_t usage, uint32_t offBmi, uint32_t cbBmi, uint32_t offBits,
             uint32_t cbBits, bool keepAlpha, bool monoAsIndex, TDibResult& out);
    void Text(const TReader& r, uint64_t emrText, bool wide);
    void Bitmap(const TReader& r, uint32_t type);
    void Regions(const TReader& r, uint32_t type);
    void Gradient(const TReader& r);

    TDevice& D;
};

bool TEmfPlayer::Dib(const TReader& r, uint32_t usage, uint32_t offBmi, uint32_t cbBmi,
                     uint32_t offBits, uint32_t cbBits, bool keepAlpha, bool monoAsIndex,
                     TDibResult& out) {
    TDibOptions options;
    options.Usage = usage;
    options.Palette = [this](uint32_t i) { return D.PaletteEntry(i); };
    options.KeepAlpha = keepAlpha;
    options.MonoAsIndex = monoAsIndex;
    const TReader info = r.Sub(offBmi, cbBmi);
    const TReader bits = r.Sub(offBits, cbBits);
    int64_t w = 0, h = 0;
    if (!DibSize(info, w, h))
        return false;
    if (!D.Spend(w * h))
        return false;
    return DecodeDib(info, bits, options, out);
}

void TEmfPlayer::Text(const TReader& r, uint64_t at, bool wide) {
    const QPointF reference = Pt32(r, at);
    const uint32_t chars = r.U32(at + 8);
    const uint32_t offString = r.U32(at + 12);
    const uint32_t options = r.U32(at + 16);
    const QRectF rect = Box(r, at + 20);
    const uint32_t offDx = r.U32(at + 36);
    const uint32_t n = chars > uint32_t(kMaxTextChars) ? uint32_t(kMaxTextChars) : chars;
    QString text;
    if (wide) {
        r.NeedArray(offString, n, 2);
        text.reserve(qsizetype(n));
        for (uint32_t i = 0; i < n; ++i)
            text.append(QChar(char16_t(r.U16(offString + 2 * uint64_t(i)))));
    } else {
        text = DecodeAnsi(r.Bytes(offString, n), int(n), TextCharSet(D.State().Font));
    }
    std::vector<QPointF> advances;
    const bool pdy = options & ETO_PDY;
    if (offDx != 0 && r.HasArray(offDx, uint64_t(n) * (pdy ? 2 : 1), 4)) {
        advances.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            if (pdy)
                advances.emplace_back(r.I32(offDx + 8 * uint64_t(i)),
                                      r.I32(offDx + 8 * uint64_t(i) + 4));
            else
                advances.emplace_back(r.I32(offDx + 4 * uint64_t(i)), 0);
        }
    }
    const bool useRect = options & (ETO_OPAQUE | ETO_CLIPPED);
    D.Text(reference, text, options, useRect ? &rect : nullptr,
           advances.empty() ? nullptr : &advances);
}

void TEmfPlayer::Bitmap(const TReader& r, uint32_t type) {
    TDibResult dib;
    switch (type) {
    case EMR_BITBLT:
    case EMR_STRETCHBLT: {
        const QRectF dest(r.I32(24), r.I32(28), r.I32(32), r.I32(36));
        const uint32_t rop = r.U32(40);
        const double xSrc = r.I32(44), ySrc = r.I32(48);
        const QTransform xform = XForm(r, 52);
        const uint32_t usage = r.U32(80), offBmi = r.U32(84), cbBmi = r.U32(88),
                       offBits = r.U32(92), cbBits = r.U32(96);
        double cx = dest.width(), cy = dest.height();
        if (type == EMR_STRETCHBLT) {
            cx = r.I32(100);
            cy = r.I32(104);
        }
        if (cbBmi == 0) {
            D.PatBlt(dest, rop);
            return;
        }
        if (!Dib(r, usage, offBmi, cbBmi, offBits, cbBits, false, false, dib))
            return;
        QRectF src(xSrc, ySrc, cx, cy);
        if (type == EMR_BITBLT && xform.isAffine() && !xform.isIdentity() &&
            std::isfinite(xform.determinant()) && xform.determinant() != 0)
            src = xform.mapRect(src);
        D.StretchBlt(dest, dib.Image, src, rop);
        return;
    }
    case EMR_STRETCHDIBITS: {
        const double xDest = r.I32(24), yDest = r.I32(28);
        const double xSrc = r.I32(32), ySrc = r.I32(36), cxSrc = r.I32(40), cySrc = r.I32(44);
        const uint32_t offBmi = r.U32(48), cbBmi = r.U32(52), offBits = r.U32(56),
                       cbBits = r.U32(60), usage = r.U32(64), rop = r.U32(68);
        const QRectF dest(xDest, yDest, r.I32(72), r.I32(76));
        if (cbBmi == 0) {
            D.PatBlt(dest, rop);
            return;
        }
        if (!Dib(r, usage, offBmi, cbBmi, offBits, cbBits, false, false, dib))
            return;
        // The source's y counts from the bottom row in a bottom-up bitmap.
        const double top = dib.TopDown ? ySrc : dib.Image.height() - ySrc - cySrc;
        D.StretchBlt(dest, dib.Image, QRectF(xSrc, top, cxSrc, cySrc), rop);
        return;
    }
    case EMR_SETDIBITSTODEVICE: {
        const double xDest = r.I32(24), yDest = r.I32(28);
        const double xSrc = r.I32(32), ySrc = r.I32(36), cxSrc = r.I32(40), cySrc = r.I32(44);
        const uint32_t offBmi = r.U32(48), cbBmi = r.U32(52), offBits = r.U32(56),
                       cbBits = r.U32(60), usage = r.U32(64);
        if (!Dib(r, usage, offBmi, cbBmi, offBits, cbBits, false, false, dib))
            return;
        const double top = dib.TopDown ? ySrc : dib.Image.height() - ySrc - cySrc;
        D.StretchBlt(QRectF(xDest, yDest, cxSrc, cySrc), dib.Image, QRectF(xSrc, top, cxSrc, cySrc),
                     0x00CC0020);
        return;
    }
    case EMR_ALPHABLEND:
    case EMR_TRANSPARENTBLT: {
        const QRectF dest(r.I32(24), r.I32(28), r.I32(32), r.I32(36));
        const uint32_t blend = r.U32(40);
        const double xSrc = r.I32(44), ySrc = r.I32(48);
        const uint32_t usage = r.U32(80), offBmi = r.U32(84), cbBmi = r.U32(88),
                       offBits = r.U32(92), cbBits = r.U32(96);
        const QRectF src(xSrc, ySrc, r.I32(100), r.I32(104));
        if (type == EMR_ALPHABLEND) {
            const int constant = int((blend >> 16) & 0xFF);
            const bool sourceAlpha = ((blend >> 24) & AC_SRC_ALPHA) != 0;
            if (!Dib(r, usage, offBmi, cbBmi, offBits, cbBits, sourceAlpha, false, dib))
                return;
            D.AlphaBlend(dest, dib.Image, src, constant, sourceAlpha && dib.BitCount == 32);
        } else {
            if (!Dib(r, usage, offBmi, cbBmi, offBits, cbBits, false, false, dib))
                return;
            const QRgb key = D.ResolveColor(blend).rgb();
            QImage image = dib.Image;
            for (int y = 0; y < image.height(); ++y) {
                QRgb* row = reinterpret_cast<QRgb*>(image.scanLine(y));
                for (int x = 0; x < image.width(); ++x)
                    if ((row[x] | 0xFF000000u) == key)
                        row[x] = 0;
            }
            D.AlphaBlend(dest, image, src, 255, true);
        }
        return;
    }
    default:
        return;
    }
}

void TEmfPlayer::Regions(const TReader& r, uint32_t type) {
    switch (type) {
    case EMR_EXTSELECTCLIPRGN: {
        const uint32_t size = r.U32(8);
        const int mode = int(r.I32(12));
        if (size < 32) {
            D.SelectClip(nullptr, mode);
            return;
        }
        const QPainterPath region = D.DeviceRectsToTarget(RegionRects(r, 16, size));
        D.SelectClip(&region, mode);
        return;
    }
    case EMR_FILLRGN:
    case EMR_FRAMERGN: {
        const uint32_t size = r.U32(24);
        const uint32_t brushIndex = r.U32(28);
        const uint64_t at = type == EMR_FILLRGN ? 32 : 40;
        QPainterPath logical;
        for (const QRectF& rect : RegionRects(r, at, size))
            logical.addRect(rect);
        TBrushDef brush;
        if (!D.BrushAt(brushIndex, brush))
            return;
        const QPainterPath target = D.LogicalRegionToTarget(logical);
        if (type == EMR_FILLRGN)
            D.FillTargetRegion(target, brush);
        else
            D.FrameTargetRegion(target, brush, r.I32(32), r.I32(36));
        return;
    }
    case EMR_INVERTRGN:
    case EMR_PAINTRGN: {
        QPainterPath logical;
        for (const QRectF& rect : RegionRects(r, 28, r.U32(24)))
            logical.addRect(rect);
        const QPainterPath target = D.LogicalRegionToTarget(logical);
        if (type == EMR_INVERTRGN)
            D.InvertTargetRegion(target);
        else
            D.FillTargetRegion(target, D.State().Brush);
        return;
    }
    default:
        return;
    }
}

void TEmfPlayer::Gradient(const TReader& r) {
    const uint32_t vertices = r.U32(24), shapes = r.U32(28), mode = r.U32(32);
    r.NeedArray(36, vertices, 16);
    const uint64_t shapesAt = 36 + uint64_t(vertices) * 16;
    auto vertex = [&](uint32_t i, QPointF& p, QColor& c) {
        if (i >= vertices)
            Malformed("gradient vertex index out of range");
        const uint64_t at = 36 + uint64_t(i) * 16;
        p = Pt32(r, at);
        c = QColor(r.U16(at + 8) >> 8, r.U16(at + 10) >> 8, r.U16(at + 12) >> 8);
    };
    if (mode == 0 || mode == 1) {
        r.NeedArray(shapesAt, shapes, 8);
        for (uint32_t i = 0; i < shapes && !D.Exhausted(); ++i) {
            QPointF a, b;
            QColor ca, cb;
            vertex(r.U32(shapesAt + 8 * uint64_t(i)), a, ca);
            vertex(r.U32(shapesAt + 8 * uint64_t(i) + 4), b, cb);
            D.GradientRect(QRectF(a, b), ca, cb, mode == 1);
        }
    } else if (mode == 2) {
        r.NeedArray(shapesAt, shapes, 12);
        for (uint32_t i = 0; i < shapes && !D.Exhausted(); ++i) {
            QPointF p[3];
            QColor c[3];
            for (int k = 0; k < 3; ++k)
                vertex(r.U32(shapesAt + 12 * uint64_t(i) + 4 * uint64_t(k)), p[k], c[k]);
            D.GradientTriangle(p, c);
        }
    }
}

bool TEmfPlayer::Play(const TReader& r, uint32_t type) {
    TDcState& s = D.State();
    switch (type) {
    case EMR_HEADER:
    case EMR_EOF:
        return true;

    // --- lines and shapes
    case EMR_POLYBEZIER:
    case EMR_POLYGON:
    case EMR_POLYLINE:
    case EMR_POLYBEZIERTO:
    case EMR_POLYLINETO:
    case EMR_POLYBEZIER16:
    case EMR_POLYGON16:
    case EMR_POLYLINE16:
    case EMR_POLYBEZIERTO16:
    case EMR_POLYLINETO16: {
        const bool small = type >= EMR_POLYBEZIER16;
        const uint32_t kind = small ? type - EMR_POLYBEZIER16 + EMR_POLYBEZIER : type;
        const QPolygonF points = Points(r, 28, r.U32(24), small);
        switch (kind) {
        case EMR_POLYBEZIER:
            D.PolyBezier(points);
            break;
        case EMR_POLYGON:
            D.Polygon(points);
            break;
        case EMR_POLYLINE:
            D.Polyline(points);
            break;
        case EMR_POLYBEZIERTO:
            D.PolyBezierTo(points);
            break;
        case EMR_POLYLINETO:
            D.PolylineTo(points);
            break;
        default:
            break;
        }
        return true;
    }
    case EMR_POLYPOLYLINE:
    case EMR_POLYPOLYLINE16:
        D.PolyPolyline(PolyPoly(r, type == EMR_POLYPOLYLINE16));
        return true;
    case EMR_POLYPOLYGON:
    case EMR_POLYPOLYGON16:
        D.PolyPolygon(PolyPoly(r, type == EMR_POLYPOLYGON16));
        return true;
    case EMR_POLYDRAW:
    case EMR_POLYDRAW16: {
        const bool small = type == EMR_POLYDRAW16;
        const uint32_t count = r.U32(24);
        const QPolygonF points = Points(r, 28, count, small);
        const uint64_t typesAt = 28 + uint64_t(count) * (small ? 4 : 8);
        const uint8_t* types = r.Bytes(typesAt, count);
        D.PolyDraw(points, std::vector<uint8_t>(types, types + count));
        return true;
    }
    case EMR_MOVETOEX:
        D.MoveTo(Pt32(r, 8));
        return true;
    case EMR_LINETO:
        D.LineTo(Pt32(r, 8));
        return true;
    case EMR_RECTANGLE:
        D.Rectangle(Box(r, 8));
        return true;
    case EMR_ELLIPSE:
        D.Ellipse(Box(r, 8));
        return true;
    case EMR_ROUNDRECT:
        D.RoundRect(Box(r, 8), r.I32(24), r.I32(28));
        return true;
    case EMR_ARC:
    case EMR_ARCTO:
    case EMR_CHORD:
    case EMR_PIE: {
        const TDevice::TArcKind kind = type == EMR_ARC     ? TDevice::TArcKind::Arc
                                       : type == EMR_ARCTO ? TDevice::TArcKind::ArcTo
                                       : type == EMR_CHORD ? TDevice::TArcKind::Chord
                                                           : TDevice::TArcKind::Pie;
        D.Arc(kind, Box(r, 8), Pt32(r, 24), Pt32(r, 32));
        return true;
    }
    case EMR_ANGLEARC:
        D.AngleArc(Pt32(r, 8), r.U32(16), r.F32(20), r.F32(24));
        return true;
    case EMR_SETPIXELV:
        D.SetPixel(Pt32(r, 8), r.U32(16));
        return true;

    // --- text
    case EMR_EXTTEXTOUTA:
    case EMR_EXTTEXTOUTW:
        Text(r, 36, type == EMR_EXTTEXTOUTW);
        return true;
    case EMR_POLYTEXTOUTA:
    case EMR_POLYTEXTOUTW: {
        const uint32_t strings = r.U32(36);
        r.NeedArray(40, strings, 40);
        for (uint32_t i = 0; i < strings && !D.Exhausted(); ++i)
            Text(r, 40 + 40 * uint64_t(i), type == EMR_POLYTEXTOUTW);
        return true;
    }
    case EMR_SMALLTEXTOUT: {
        const QPointF reference(r.I32(8), r.I32(12));
        const uint32_t chars = r.U32(16);
        const uint32_t options = r.U32(20);
        uint64_t at = 36;
        QRectF rect;
        const bool haveRect = !(options & 0x100); // ETO_NO_RECT
        if (haveRect) {
            rect = Box(r, 36);
            at = 52;
        }
        const uint32_t n = chars > uint32_t(kMaxTextChars) ? uint32_t(kMaxTextChars) : chars;
        QString text;
        if (options & 0x200) { // ETO_SMALL_CHARS: 8-bit characters
            text = DecodeAnsi(r.Bytes(at, n), int(n), TextCharSet(s.Font));
        } else {
            r.NeedArray(at, n, 2);
            for (uint32_t i = 0; i < n; ++i)
                text.append(QChar(char16_t(r.U16(at + 2 * uint64_t(i)))));
        }
        const bool useRect = haveRect && (options & (ETO_OPAQUE | ETO_CLIPPED));
        D.Text(reference, text, options & ~0x300u, useRect ? &rect : nullptr, nullptr);
        return true;
    }

    // --- state
    case EMR_SETWINDOWEXTEX:
        D.SetWindowExt(r.I32(8), r.I32(12));
        return true;
    case EMR_SETWINDOWORGEX:
        D.SetWindowOrg(r.I32(8), r.I32(12));
        return true;
    case EMR_SETVIEWPORTEXTEX:
        D.SetViewportExt(r.I32(8), r.I32(12));
        return true;
    case EMR_SETVIEWPORTORGEX:
        D.SetViewportOrg(r.I32(8), r.I32(12));
        return true;
    case EMR_SCALEVIEWPORTEXTEX:
        D.ScaleViewportExt(r.I32(8), r.I32(12), r.I32(16), r.I32(20));
        return true;
    case EMR_SCALEWINDOWEXTEX:
        D.ScaleWindowExt(r.I32(8), r.I32(12), r.I32(16), r.I32(20));
        return true;
    case EMR_SETMAPMODE:
        D.SetMapMode(int(r.I32(8)));
        return true;
    case EMR_SETWORLDTRANSFORM:
        D.SetWorldTransform(XForm(r, 8));
        return true;
    case EMR_MODIFYWORLDTRANSFORM:
        D.ModifyWorldTransform(XForm(r, 8), r.U32(32));
        return true;
    case EMR_SAVEDC:
        D.SaveDC();
        return true;
    case EMR_RESTOREDC:
        D.RestoreDC(r.I32(8));
        return true;
    case EMR_SETBKMODE: {
        const uint32_t mode = r.U32(8);
        if (mode == TRANSPARENT || mode == OPAQUE)
            s.BkMode = int(mode);
        return true;
    }
    case EMR_SETPOLYFILLMODE: {
        const uint32_t mode = r.U32(8);
        if (mode == ALTERNATE || mode == WINDING)
            s.PolyFillMode = int(mode);
        return true;
    }
    case EMR_SETROP2: {
        const uint32_t rop = r.U32(8);
        if (rop >= 1 && rop <= 16)
            s.Rop2 = int(rop);
        return true;
    }
    case EMR_SETSTRETCHBLTMODE:
        s.StretchMode = int(r.U32(8));
        return true;
    case EMR_SETTEXTALIGN:
        s.TextAlign = r.U32(8);
        return true;
    case EMR_SETTEXTCOLOR:
        s.TextColor = r.U32(8);
        return true;
    case EMR_SETBKCOLOR:
        s.BkColor = r.U32(8);
        return true;
    case EMR_SETARCDIRECTION: {
        const uint32_t dir = r.U32(8);
        if (dir == AD_COUNTERCLOCKWISE || dir == AD_CLOCKWISE)
            s.ArcDirection = int(dir);
        return true;
    }
    case EMR_SETMITERLIMIT: {
        // An integer by the format; some writers store a float.
        const uint32_t raw = r.U32(8);
        const double limit = raw < 0x00800000u ? double(raw) : double(r.F32(8));
        if (std::isfinite(limit) && limit >= 1)
            s.MiterLimit = limit;
        return true;
    }

    // --- objects
    case EMR_SELECTOBJECT:
        D.SelectObject(r.U32(8));
        return true;
    case EMR_DELETEOBJECT:
        D.DeleteObject(r.U32(8));
        return true;
    case EMR_CREATEPEN: {
        auto object = std::make_unique<TGdiObject>();
        object->Type = TGdiObject::TType::Pen;
        object->Pen.Style = r.U32(12);
        object->Pen.Width = std::fabs(double(r.I32(16)));
        object->Pen.Color = r.U32(24);
        D.CreateObjectAt(r.U32(8), std::move(object));
        return true;
    }
    case EMR_EXTCREATEPEN: {
        auto object = std::make_unique<TGdiObject>();
        object->Type = TGdiObject::TType::Pen;
        TPenDef& pen = object->Pen;
        pen.Extended = true;
        pen.Style = r.U32(28);
        pen.Width = r.U32(32);
        const uint32_t brushStyle = r.U32(36);
        pen.Color = r.U32(40);
        const uint32_t entries = r.U32(48);
        if ((pen.Style & PS_STYLE_MASK) == PS_USERSTYLE && entries > 0) {
            r.NeedArray(52, entries, 4);
            for (uint32_t i = 0; i < entries && i < 16; ++i)
                pen.Dashes.push_back(r.U32(52 + 4 * uint64_t(i)));
        }
        if (brushStyle == BS_NULL)
            pen.Style = (pen.Style & ~PS_STYLE_MASK) | PS_NULL;
        D.CreateObjectAt(r.U32(8), std::move(object));
        return true;
    }
    case EMR_CREATEBRUSHINDIRECT: {
        auto object = std::make_unique<TGdiObject>();
        object->Type = TGdiObject::TType::Brush;
        const uint32_t style = r.U32(12);
        object->Brush.Style =
            style == BS_NULL || style == BS_HATCHED ? uint32_t(style) : uint32_t(BS_SOLID);
        object->Brush.Color = r.U32(16);
        object->Brush.Hatch = r.U32(20);
        D.CreateObjectAt(r.U32(8), std::move(object));
        return true;
    }
    case EMR_CREATEMONOBRUSH:
    case EMR_CREATEDIBPATTERNBRUSHPT: {
        auto object = std::make_unique<TGdiObject>();
        const uint32_t index = r.U32(8);
        TDibResult dib;
        const bool mono = type == EMR_CREATEMONOBRUSH;
        if (Dib(r, r.U32(12), r.U32(16), r.U32(20), r.U32(24), r.U32(28), false, mono, dib)) {
            object->Type = TGdiObject::TType::Brush;
            object->Brush.Style = BS_DIBPATTERNPT;
            object->Brush.Pattern = dib.Image;
            object->Brush.MonoPattern = mono && dib.BitCount == 1;
        }
        D.CreateObjectAt(index, std::move(object));
        return true;
    }
    case EMR_EXTCREATEFONTINDIRECTW: {
        auto object = std::make_unique<TGdiObject>();
        object->Type = TGdiObject::TType::Font;
        object->Font = LogFontW(r, 12);
        D.CreateObjectAt(r.U32(8), std::move(object));
        return true;
    }
    case EMR_CREATEPALETTE: {
        auto object = std::make_unique<TGdiObject>();
        object->Type = TGdiObject::TType::Palette;
        const uint16_t entries = r.U16(14);
        r.NeedArray(16, entries, 4);
        for (uint16_t i = 0; i < entries; ++i) {
            const uint64_t at = 16 + 4 * uint64_t(i);
            object->Palette.push_back(qRgb(r.U8(at), r.U8(at + 1), r.U8(at + 2)));
        }
        D.CreateObjectAt(r.U32(8), std::move(object));
        return true;
    }
    case EMR_SETPALETTEENTRIES: {
        TGdiObject* object = D.MutableObjectAt(r.U32(8));
        const uint32_t start = r.U32(12), count = r.U32(16);
        r.NeedArray(20, count, 4);
        if (!object || object->Type != TGdiObject::TType::Palette)
            return true;
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t slot = uint64_t(start) + i;
            if (slot >= object->Palette.size())
                break;
            const uint64_t at = 20 + 4 * uint64_t(i);
            object->Palette[slot] = qRgb(r.U8(at), r.U8(at + 1), r.U8(at + 2));
        }
        return true;
    }
    case EMR_RESIZEPALETTE: {
        TGdiObject* object = D.MutableObjectAt(r.U32(8));
        const uint32_t count = r.U32(12);
        if (object && object->Type == TGdiObject::TType::Palette && count <= 1024)
            object->Palette.resize(count, qRgb(0, 0, 0));
        return true;
    }
    case EMR_SELECTPALETTE: {
        const uint32_t index = r.U32(8);
        if (index == (0x80000000u | DEFAULT_PALETTE)) {
            s.Palette.clear();
        } else if (const TGdiObject* object = D.ObjectAt(index)) {
            if (object->Type == TGdiObject::TType::Palette)
                s.Palette = object->Palette;
        }
        return true;
    }

    // --- paths
    case EMR_BEGINPATH:
        D.BeginPath();
        return true;
    case EMR_ENDPATH:
        D.EndPath();
        return true;
    case EMR_ABORTPATH:
        D.AbortPath();
        return true;
    case EMR_CLOSEFIGURE:
        D.CloseFigure();
        return true;
    case EMR_FILLPATH:
        D.FillPath();
        return true;
    case EMR_STROKEPATH:
        D.StrokePath();
        return true;
    case EMR_STROKEANDFILLPATH:
        D.StrokeAndFillPath();
        return true;
    case EMR_FLATTENPATH:
        return true; // curves are drawn exactly either way
    case EMR_WIDENPATH:
        D.WidenPath();
        return true;
    case EMR_SELECTCLIPPATH:
        D.SelectClipPath(int(r.I32(8)));
        return true;

    // --- clipping and regions
    case EMR_INTERSECTCLIPRECT:
        D.IntersectClipRect(Box(r, 8));
        return true;
    case EMR_EXCLUDECLIPRECT:
        D.ExcludeClipRect(Box(r, 8));
        return true;
    case EMR_OFFSETCLIPRGN:
        D.OffsetClip(r.I32(8), r.I32(12));
        return true;
    case EMR_SETMETARGN:
        D.SetMetaRegion();
        return true;
    case EMR_EXTSELECTCLIPRGN:
    case EMR_FILLRGN:
    case EMR_FRAMERGN:
    case EMR_INVERTRGN:
    case EMR_PAINTRGN:
        Regions(r, type);
        return true;

    // --- bitmaps
    case EMR_BITBLT:
    case EMR_STRETCHBLT:
    case EMR_STRETCHDIBITS:
    case EMR_SETDIBITSTODEVICE:
    case EMR_ALPHABLEND:
    case EMR_TRANSPARENTBLT:
        Bitmap(r, type);
        return true;
    case EMR_GRADIENTFILL:
        Gradient(r);
        return true;

    // --- comments: EMF+ records are passed over; the EMF records after them draw
    case EMR_GDICOMMENT:
        if (r.Has(12, 4) && r.U32(12) == kEmfPlusSignature)
            return false;
        return true;

    // --- records without a visible effect here
    case EMR_SETBRUSHORGEX:
    case EMR_SETMAPPERFLAGS:
    case EMR_SETCOLORADJUSTMENT:
    case EMR_REALIZEPALETTE:
    case EMR_SETICMMODE:
    case EMR_SETLAYOUT:
        return true;
    default:
        return false;
    }
}

} // namespace

TMetafilePlayStats PlayEmf(const TParsed& parsed, QPainter& painter, const QRectF& target,
                           const TPlayOptions& options) {
    TMetafilePlayStats stats;
    TDeviceSetup setup;
    const bool haveDevice = parsed.DeviceCx > 0 && parsed.DeviceCy > 0 &&
                            parsed.MillimetersCx > 0 && parsed.MillimetersCy > 0;
    setup.DevPerMmX = haveDevice ? double(parsed.DeviceCx) / parsed.MillimetersCx : 96 / 25.4;
    setup.DevPerMmY = haveDevice ? double(parsed.DeviceCy) / parsed.MillimetersCy : 96 / 25.4;
    // The frame (0.01 mm) in reference-device pixels fills the target.
    setup.DeviceRect = QRectF(
        QPointF(parsed.Frame[0] * setup.DevPerMmX / 100, parsed.Frame[1] * setup.DevPerMmY / 100),
        QPointF(parsed.Frame[2] * setup.DevPerMmX / 100, parsed.Frame[3] * setup.DevPerMmY / 100));
    setup.ObjectSlots = int(parsed.Handles);
    setup.Measure = options.Measured != nullptr;
    setup.ClipToTarget = options.ClipToTarget;
    TDevice device(painter, target, setup, stats);
    TEmfPlayer player(device);

    const TReader file(reinterpret_cast<const uint8_t*>(parsed.Data.constData()),
                       size_t(parsed.Data.size()));
    uint64_t at = parsed.RecordsBegin;
    while (at + 8 <= parsed.RecordsEnd) {
        if (parsed.GapTo != 0 && at == parsed.GapFrom)
            at = parsed.GapTo;
        const uint32_t type = file.U32(at);
        const uint32_t size = file.U32(at + 4);
        if (size < 8 || size > parsed.RecordsEnd - at)
            break; // cannot happen after the load-time checks
        const TReader record = file.Sub(at, size);
        at += size;
        if (stats.Records >= kMaxRecords) {
            stats.Truncated = true;
            break;
        }
        ++stats.Records;
        if (type == EMR_EOF)
            break;
        try {
            if (!player.Play(record, type))
                ++stats.Unsupported;
        } catch (const EMalformed&) {
            ++stats.Skipped;
        }
        if (device.Exhausted())
            break;
    }
    if (options.Measured)
        *options.Measured = device.Measured();
    return stats;
}

} // namespace metafile
