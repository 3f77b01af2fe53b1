// Hand-made EMF and WMF files for the metafile tests: a header, records appended one by one,
// the end-of-file record and the sizes filled in on Bytes().
#pragma once

#include "support/TestSupport.h"
#include "toolkit/metafile/Metafile.h"
#include "toolkit/metafile/MetafileRecords.h"

#include <QByteArray>
#include <QImage>
#include <QPainter>
#include <QtEndian>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace mftest {

using namespace metafile;

inline uint32_t F(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}
inline uint32_t I(int32_t v) {
    return uint32_t(v);
}
inline uint16_t S(int16_t v) {
    return uint16_t(v);
}

using testsupport::Put16;
using testsupport::Put32;

// EMF with a frame in 0.01 mm and a reference device of `devicePx` pixels over `mm`
// millimetres. Records are 32-bit words after type and size.
class TEmfBuilder {
public:
    TEmfBuilder(int frameLeft, int frameTop, int frameRight, int frameBottom, int deviceCx = 1000,
                int deviceCy = 1000, int mmCx = 100, int mmCy = 100, uint16_t handles = 16)
        : FHandles(handles) {
        FFrame[0] = frameLeft;
        FFrame[1] = frameTop;
        FFrame[2] = frameRight;
        FFrame[3] = frameBottom;
        FDevice[0] = deviceCx;
        FDevice[1] = deviceCy;
        FMm[0] = mmCx;
        FMm[1] = mmCy;
    }
    // A picture whose frame is width x height reference pixels at 10 pixels per millimetre.
    static TEmfBuilder Pixels(int width, int height) {
        return TEmfBuilder(0, 0, width * 10, height * 10, 1000, 1000, 100, 100);
    }

    TEmfBuilder& Rec(uint32_t type, std::initializer_list<uint32_t> words) {
        QByteArray payload;
        for (uint32_t w : words)
            Put32(payload, w);
        return Raw(type, payload);
    }
    // A record with the given payload (padded to a multiple of 4).
    TEmfBuilder& Raw(uint32_t type, QByteArray payload) {
        while (payload.size() % 4)
            payload.append('\0');
        QByteArray rec;
        Put32(rec, type);
        Put32(rec, uint32_t(8 + payload.size()));
        rec.append(payload);
        FRecords.append(rec);
        ++FCount;
        return *this;
    }
    QByteArray Bytes(bool withEof = true) const {
        QByteArray records = FRecords;
        uint32_t count = FCount + 1;
        if (withEof) {
            QByteArray eof;
            Put32(eof, EMR_EOF);
            Put32(eof, 20);
            Put32(eof, 0);
            Put32(eof, 16);
            Put32(eof, 20);
            records.append(eof);
            ++count;
        }
        QByteArray h;
        Put32(h, EMR_HEADER);
        Put32(h, 108);
        for (int i = 0; i < 4; ++i) // bounds: not used when playing
            Put32(h, 0);
        for (int v : FFrame)
            Put32(h, I(v));
        Put32(h, 0x464D4520);
        Put32(h, 0x10000);
        Put32(h, uint32_t(108 + records.size()));
        Put32(h, count);
        Put16(h, FHandles);
        Put16(h, 0);
        Put32(h, 0);
        Put32(h, 0);
        Put32(h, 0);
        Put32(h, I(FDevice[0]));
        Put32(h, I(FDevice[1]));
        Put32(h, I(FMm[0]));
        Put32(h, I(FMm[1]));
        Put32(h, 0);
        Put32(h, 0);
        Put32(h, 0);
        Put32(h, I(FMm[0] * 1000));
        Put32(h, I(FMm[1] * 1000));
        return h + records;
    }

private:
    int FFrame[4];
    int FDevice[2];
    int FMm[2];
    uint16_t FHandles;
    QByteArray FRecords;
    uint32_t FCount = 0;
};

// WMF, placeable (bounding box in units of `inch` per inch) or not. Records are 16-bit words
// after size and function.
class TWmfBuilder {
public:
    TWmfBuilder(bool placeable, int16_t left = 0, int16_t top = 0, int16_t right = 40,
                int16_t bottom = 40, uint16_t inch = 96, uint16_t objects = 8)
        : FPlaceable(placeable), FObjects(objects) {
        FBox[0] = left;
        FBox[1] = top;
        FBox[2] = right;
        FBox[3] = bottom;
        FInch = inch;
    }

    TWmfBuilder& Rec(uint16_t function, std::initializer_list<uint16_t> words) {
        QByteArray payload;
        for (uint16_t w : words)
            Put16(payload, w);
        return Raw(function, payload);
    }
    TWmfBuilder& Raw(uint16_t function, QByteArray payload) {
        if (payload.size() % 2)
            payload.append('\0');
        QByteArray rec;
        Put32(rec, uint32_t(3 + payload.size() / 2));
        Put16(rec, function);
        rec.append(payload);
        FRecords.append(rec);
        FMaxRecord = std::max<uint32_t>(FMaxRecord, uint32_t(3 + payload.size() / 2));
        return *this;
    }
    void BreakChecksum() { FBadChecksum = true; }

    QByteArray Bytes(bool withEof = true) const {
        QByteArray records = FRecords;
        if (withEof) {
            Put32(records, 3);
            Put16(records, META_EOF);
        }
        QByteArray out;
        if (FPlaceable) {
            QByteArray p;
            Put32(p, 0x9AC6CDD7u);
            Put16(p, 0);
            for (int16_t v : FBox)
                Put16(p, S(v));
            Put16(p, FInch);
            Put32(p, 0);
            uint16_t sum = 0;
            for (int i = 0; i < 10; ++i)
                sum ^= uint16_t(uint8_t(p[2 * i]) | (uint8_t(p[2 * i + 1]) << 8));
            Put16(p, FBadChecksum ? uint16_t(sum ^ 0x5A5A) : sum);
            out.append(p);
        }
        QByteArray h;
        Put16(h, 1);
        Put16(h, 9);
        Put16(h, 0x300);
        Put32(h, uint32_t((18 + records.size()) / 2));
        Put16(h, FObjects);
        Put32(h, FMaxRecord);
        Put16(h, 0);
        out.append(h);
        out.append(records);
        return out;
    }

private:
    bool FPlaceable;
    int16_t FBox[4];
    uint16_t FInch = 96;
    uint16_t FObjects;
    bool FBadChecksum = false;
    QByteArray FRecords;
    uint32_t FMaxRecord = 3;
};

// --- text records

// EMR_EXTCREATEFONTINDIRECTW: object index, then a LOGFONTW of the given height, escapement,
// character set and face (weight 400).
inline QByteArray FontRecord(uint32_t index, int height, const QString& face, int escapement = 0,
                             uint8_t charSet = 0) {
    QByteArray b;
    Put32(b, index);
    for (int32_t v : {height, 0, escapement, escapement, 400})
        Put32(b, I(v));
    QByteArray flags(8, '\0'); // italic, underline, strike-out, character set .. pitch and family
    flags[3] = char(charSet);
    b.append(flags);
    for (int i = 0; i < 32; ++i)
        Put16(b, i < face.size() ? face[i].unicode() : 0);
    return b;
}

// EMR_EXTTEXTOUTA/W: count characters of `string` (8 or 16 bits each) at (x, y), with an
// optional rectangle and spacing array.
inline QByteArray TextRecordOf(int x, int y, uint32_t count, QByteArray string, uint32_t options,
                               QRect rect, const std::vector<int32_t>& dx) {
    while (string.size() % 4)
        string.append('\0');
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        Put32(b, 0); // bounds
    Put32(b, 1);     // compatible graphics mode
    Put32(b, F(1));
    Put32(b, F(1));
    Put32(b, I(x));
    Put32(b, I(y));
    Put32(b, count);
    Put32(b, 76); // string offset from the record start
    Put32(b, options);
    Put32(b, I(rect.left()));
    Put32(b, I(rect.top()));
    Put32(b, I(rect.right() + 1));
    Put32(b, I(rect.bottom() + 1));
    Put32(b, dx.empty() ? 0 : uint32_t(76 + string.size()));
    b.append(string);
    for (int32_t d : dx)
        Put32(b, I(d));
    return b;
}

// EMR_EXTTEXTOUTW's payload.
inline QByteArray TextRecord(int x, int y, const QString& text, uint32_t options = 0,
                             QRect rect = QRect(), const std::vector<int32_t>& dx = {}) {
    QByteArray string;
    for (QChar c : text)
        Put16(string, c.unicode());
    return TextRecordOf(x, y, uint32_t(text.size()), string, options, rect, dx);
}

// EMR_EXTTEXTOUTA's payload: 8-bit characters.
inline QByteArray TextRecordA(int x, int y, const QByteArray& text, uint32_t options = 0,
                              const std::vector<int32_t>& dx = {}) {
    return TextRecordOf(x, y, uint32_t(text.size()), text, options, QRect(), dx);
}

// META_CREATEFONTINDIRECT's words: a font of the given height, character set and face.
inline QByteArray WmfFontRecord(int16_t height, const QByteArray& face, uint8_t charSet) {
    QByteArray b;
    for (int16_t v : {height, int16_t(0), int16_t(0), int16_t(0), int16_t(400)})
        Put16(b, S(v));
    QByteArray flags(8, '\0');
    flags[3] = char(charSet);
    b.append(flags);
    b.append(face.left(31));
    b.append('\0');
    return b;
}

// META_TEXTOUT's words: the string (padded to a word), then y and x.
inline QByteArray WmfTextOut(int16_t x, int16_t y, QByteArray text) {
    QByteArray b;
    Put16(b, uint16_t(text.size()));
    if (text.size() % 2)
        text.append('\0');
    b.append(text);
    Put16(b, S(y));
    Put16(b, S(x));
    return b;
}

// META_EXTTEXTOUT's words without a rectangle: y, x, count, options, the string (padded to a
// word), then the optional spacing array.
inline QByteArray WmfExtTextOut(int16_t x, int16_t y, QByteArray text,
                                const std::vector<int16_t>& dx = {}) {
    QByteArray b;
    Put16(b, S(y));
    Put16(b, S(x));
    Put16(b, uint16_t(text.size()));
    Put16(b, 0);
    if (text.size() % 2)
        text.append('\0');
    b.append(text);
    for (int16_t d : dx)
        Put16(b, S(d));
    return b;
}

// Plays a metafile into a white image of the given size.
inline QImage Render(TMetafile& picture, int width, int height, QColor background = Qt::white) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(background);
    QPainter painter(&image);
    picture.Paint(painter, QRect(0, 0, width, height));
    painter.end();
    return image;
}

inline QImage Render(const QByteArray& bytes, int width, int height,
                     QColor background = Qt::white) {
    TMetafile picture;
    picture.LoadFromBytes(bytes, QStringLiteral("test.emf"));
    return Render(picture, width, height, background);
}

inline QRgb At(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFFu;
}

// The bounding box of pixels that differ from the background.
inline QRect Drawn(const QImage& image, QRgb background = 0xFFFFFF) {
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) != background)
                box |= QRect(x, y, 1, 1);
    return box;
}

// A packed DIB: BITMAPINFOHEADER, colour table and rows as given (bottom-up unless the
// height is negative).
inline QByteArray Dib(int width, int height, int bits, const std::vector<uint32_t>& table,
                      const QByteArray& rows, uint32_t compression = 0) {
    QByteArray b;
    Put32(b, 40);
    Put32(b, I(width));
    Put32(b, I(height));
    Put16(b, 1);
    Put16(b, uint16_t(bits));
    Put32(b, compression);
    Put32(b, uint32_t(rows.size()));
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, uint32_t(table.size()));
    Put32(b, 0);
    for (uint32_t c : table)
        Put32(b, c);
    return b + rows;
}

} // namespace mftest
