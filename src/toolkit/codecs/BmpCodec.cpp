#include "toolkit/codecs/BmpCodec.h"

#include "toolkit/SysUtils.h"

#include <QDir>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// biCompression values; OS/2 2.x headers give 3 and 4 other meanings.
enum : uint32_t {
    kBiRgb = 0,
    kBiRle8 = 1,
    kBiRle4 = 2,
    kBiBitFields = 3,
    kBiJpeg = 4,
    kBiPng = 5,
    kBiAlphaBitFields = 6,
    kOs2Huffman1D = 3,
    kOs2Rle24 = 4,
};

// Pixels per metre beyond which a resolution field is taken as damage (about 25,400 dpi).
constexpr int64_t kMaxPixelsPerMetre = 1000000;

uint16_t U16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
int32_t I32(const uint8_t* p) {
    return int32_t(U32(p));
}

void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

QString Hex(uint32_t v) {
    return QStringLiteral("0x%1").arg(v, 0, 16);
}

// One colour channel of a bit-field pixel: where its bits are and how to widen them to 8 bits.
struct Channel {
    uint32_t Mask = 0;
    int Shift = 0;
    uint32_t Max = 0; // largest value of the field (Mask >> Shift)

    explicit Channel(uint32_t mask = 0) : Mask(mask) {
        if (mask == 0)
            return;
        while (!((mask >> Shift) & 1))
            ++Shift;
        Max = mask >> Shift;
    }
    bool Contiguous() const { return (uint64_t(Max) & (uint64_t(Max) + 1)) == 0; }
    // The field's value scaled to 0..255, rounded to nearest.
    uint32_t Get(uint32_t pixel) const {
        if (Max == 0)
            return 0;
        const uint64_t v = (pixel & Mask) >> Shift;
        return uint32_t((v * 255 + Max / 2) / Max);
    }
};

} // namespace

// The parsed headers, masks and palette of one file, and the rows decoded from them.
class TBmpReader::TDecoder {
public:
    TDecoder(const uint8_t* data, size_t size, const QString& name, int64_t maxPixels)
        : FData(data), FSize(size), FName(name), FMaxPixels(maxPixels) {}

    void Open();
    void ReadRow(int y, uint8_t* out) const;
    TPixelFormat PixelFormat() const;

    int64_t FWidth = 0, FHeight = 0;
    bool FBgr = false; // rows are blue, green, red; else 0xFFRRGGBB words

private:
    [[noreturn]] void Invalid(const QString& why) const {
        throw EInvalidGraphic(QStringLiteral("Bitmap \"%1\" is not valid: %2")
                                  .arg(QDir::toNativeSeparators(FName), why));
    }
    void ReadHeaders();
    void ReadMasks();
    void ReadPalette();
    void CheckUncompressed();
    void ReadUncompressedRow(int y, uint8_t* out) const;
    struct TRowStart {
        size_t P = 0;
        int64_t X = -1; // -1: the stream never enters the row
    };
    // The RLE stream from (p, x, y): with starts it walks the whole stream, checking it and
    // noting in starts where it enters each row; else it writes the pixels of `row` into out.
    void WalkRle(size_t p, int64_t x, int64_t y, int64_t row, uint8_t* out,
                 std::vector<TRowStart>* starts) const;
    uint32_t PaletteColor(uint32_t index) const {
        if (index >= FPaletteCount)
            Invalid(QStringLiteral("a pixel uses colour %1 of a palette of %2 colours")
                        .arg(index)
                        .arg(FPaletteCount));
        return FPalette[index];
    }

    const uint8_t* FData;
    size_t FSize;
    QString FName;
    int64_t FMaxPixels;

    size_t FBase = 0; // start of the bitmap file header (14 inside an OS/2 bitmap array)
    size_t FInfo = 0; // start of the information header
    uint32_t FHeaderSize = 0;
    bool FOs2 = false; // OS/2 2.x meaning of the compression field
    bool FTopDown = false;
    int FBitCount = 0;
    uint32_t FCompression = kBiRgb;
    uint32_t FOffBits = 0;
    uint32_t FColorsUsed = 0;
    std::array<Channel, 3> FChannels;
    size_t FMaskBytes = 0; // masks stored after a 40-byte header
    std::array<uint32_t, 256> FPalette{};
    uint32_t FPaletteCount = 0;
    size_t FPixels = 0;   // offset of the pixel data
    uint64_t FStride = 0; // bytes per stored row, uncompressed
    std::vector<uint32_t> FLut16;
    bool FPlain32 = false;
    // RLE: where the stream enters each stored row (bottom row first), or none.
    bool FRle = false, FRle24 = false, FRle4 = false;
    std::vector<TRowStart> FRowStarts;
};

void TBmpReader::TDecoder::ReadHeaders() {
    if (FSize >= 2 && FData[0] == 'B' && FData[1] == 'A')
        FBase = 14; // an OS/2 bitmap array: the first bitmap follows the array header
    if (FSize < FBase + 18)
        Invalid(QStringLiteral("the file is too short for a bitmap header"));
    if (FData[FBase] != 'B' || FData[FBase + 1] != 'M')
        Invalid(QStringLiteral("the file does not start with a bitmap signature"));
    const uint32_t fileSize = U32(FData + FBase + 2);
    if (fileSize > FSize)
        Invalid(QStringLiteral("the file is truncated (%1 of %2 bytes)").arg(FSize).arg(fileSize));
    FOffBits = U32(FData + FBase + 10); // from the start of the file, also in an array
    FInfo = FBase + 14;
    FHeaderSize = U32(FData + FInfo);
    const uint32_t hs = FHeaderSize;
    if (!(hs == 12 || (hs >= 16 && hs <= 64) || hs == 108 || hs == 124))
        Invalid(QStringLiteral("the header size %1 is not valid").arg(hs));
    if (FSize < FInfo + hs)
        Invalid(QStringLiteral("the file is too short for its %1-byte header").arg(hs));
    const uint8_t* h = FData + FInfo;
    uint32_t planes = 0;
    if (hs == 12) {
        FWidth = U16(h + 4);
        FHeight = U16(h + 6);
        planes = U16(h + 8);
        FBitCount = U16(h + 10);
    } else {
        // Fields beyond a short OS/2 2.x header count as zero.
        auto field = [&](uint32_t offset) { return offset + 4 <= hs ? U32(h + offset) : 0u; };
        FWidth = I32(h + 4);
        FHeight = I32(h + 8);
        planes = U16(h + 12);
        FBitCount = U16(h + 14);
        FCompression = field(16);
        const int64_t xDensity = int32_t(field(24)), yDensity = int32_t(field(28));
        if (std::abs(xDensity) > kMaxPixelsPerMetre || std::abs(yDensity) > kMaxPixelsPerMetre)
            Invalid(QStringLiteral("the resolution of %1 x %2 pixels per metre is not valid")
                        .arg(xDensity)
                        .arg(yDensity));
        FColorsUsed = field(32);
        FOs2 = hs <= 64 && hs != 40 && hs != 52 && hs != 56;
        if (field(20) > FSize)
            Invalid(QStringLiteral("the image data size of %1 bytes is larger than the file")
                        .arg(field(20)));
    }
    if (planes != 1)
        Invalid(QStringLiteral("the plane count %1 is not valid").arg(planes));
    if (FWidth <= 0)
        Invalid(QStringLiteral("the width %1 is not valid").arg(FWidth));
    if (FHeight == 0)
        Invalid(QStringLiteral("the height is 0"));
    FTopDown = FHeight < 0;
    FHeight = std::abs(FHeight);

    // The compression method must fit the bit count.
    const uint32_t c = FCompression;
    if (FOs2 && c == kOs2Huffman1D)
        Invalid(QStringLiteral("Huffman 1D compression is not supported"));
    if (!FOs2 && (c == kBiJpeg || c == kBiPng))
        Invalid(QStringLiteral("%1 compression is not supported for screen bitmaps")
                    .arg(c == kBiJpeg ? QStringLiteral("JPEG") : QStringLiteral("PNG")));
    const int b = FBitCount;
    if (b != 1 && b != 2 && b != 4 && b != 8 && b != 16 && b != 24 && b != 32)
        Invalid(QStringLiteral("%1 bits per pixel are not supported").arg(b));
    bool fits = false;
    switch (c) {
    case kBiRgb:
        fits = true;
        break;
    case kBiRle8:
        fits = b == 8;
        break;
    case kBiRle4:
        fits = b == 4;
        break;
    case kBiBitFields: // OS/2's Huffman was refused above
    case kBiAlphaBitFields:
        fits = b == 16 || b == 32;
        break;
    case kOs2Rle24: // only OS/2 reaches here with 4
        fits = b == 24;
        break;
    default:
        Invalid(QStringLiteral("compression method %1 is not supported").arg(c));
    }
    if (!fits)
        Invalid(QStringLiteral("compression method %1 does not apply to %2 bits per pixel")
                    .arg(c)
                    .arg(b));
    if (FTopDown && c != kBiRgb && c != kBiBitFields && c != kBiAlphaBitFields)
        Invalid(QStringLiteral("a compressed bitmap cannot be stored top-down"));

    if (FWidth > kMaxPictureSide || FHeight > kMaxPictureSide || FWidth * FHeight > FMaxPixels)
        throw EOutOfResources(QStringLiteral("Bitmap \"%1\" is too large (%2 x %3 pixels)")
                                  .arg(QDir::toNativeSeparators(FName))
                                  .arg(FWidth)
                                  .arg(FHeight));
}

void TBmpReader::TDecoder::ReadMasks() {
    const uint32_t hs = FHeaderSize;
    uint32_t masks[4] = {};
    if (FCompression == kBiBitFields || FCompression == kBiAlphaBitFields) {
        const int count = FCompression == kBiAlphaBitFields ? 4 : 3;
        if (hs >= 52) { // in the header (52, 56, version 4 and 5); alpha from 56 bytes on
            for (int i = 0; i < (hs >= 56 ? 4 : 3); ++i)
                masks[i] = U32(FData + FInfo + 40 + 4 * i);
        } else { // after a 40-byte header
            FMaskBytes = size_t(count) * 4;
            if (FSize < FInfo + hs + FMaskBytes)
                Invalid(QStringLiteral("the file is too short for its colour masks"));
            for (int i = 0; i < count; ++i)
                masks[i] = U32(FData + FInfo + hs + 4 * i);
        }
        const uint64_t limit = FBitCount == 16 ? 0xFFFFu : 0xFFFFFFFFu;
        uint32_t used = 0;
        for (int i = 0; i < 4; ++i) {
            const Channel ch(masks[i]);
            if (i < 3 && masks[i] == 0)
                Invalid(QStringLiteral("the %1 colour mask is empty")
                            .arg(i == 0   ? QStringLiteral("red")
                                 : i == 1 ? QStringLiteral("green")
                                          : QStringLiteral("blue")));
            if (masks[i] > limit || !ch.Contiguous() || (used & masks[i]))
                Invalid(QStringLiteral("the colour masks %1, %2, %3 are not valid")
                            .arg(Hex(masks[0]), Hex(masks[1]), Hex(masks[2])));
            used |= masks[i];
        }
    } else if (FBitCount == 16) {
        masks[0] = 0x7C00;
        masks[1] = 0x03E0;
        masks[2] = 0x001F;
    } else {
        masks[0] = 0xFF0000;
        masks[1] = 0x00FF00;
        masks[2] = 0x0000FF;
    }
    for (int i = 0; i < 3; ++i)
        FChannels[size_t(i)] = Channel(masks[i]);
}

void TBmpReader::TDecoder::ReadPalette() {
    const size_t entry = FHeaderSize == 12 ? 3 : 4;
    const size_t start = FInfo + FHeaderSize + FMaskBytes;
    const uint64_t maxEntries = FBitCount <= 8 ? (uint64_t(1) << FBitCount) : 0;
    // A declared colour count must fit in the file, even where only 2^bits entries are used.
    if (start + uint64_t(FColorsUsed) * entry > FSize)
        Invalid(
            QStringLiteral("the palette of %1 colours does not fit in the file").arg(FColorsUsed));
    uint64_t count = FColorsUsed ? std::min<uint64_t>(FColorsUsed, maxEntries) : maxEntries;
    // A pixel data offset inside the palette cuts it short (OS/2 files store no colour count).
    if (FOffBits > start && FOffBits < start + count * entry)
        count = (FOffBits - start) / entry;
    if (start + count * entry > FSize)
        Invalid(QStringLiteral("the palette is truncated"));
    FPaletteCount = uint32_t(count);
    for (uint32_t i = 0; i < FPaletteCount; ++i) {
        const uint8_t* p = FData + start + i * entry;
        FPalette[i] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }
    const size_t paletteEnd = start + size_t(count) * entry;
    if (FOffBits == 0)
        FPixels = FBitCount <= 8 ? paletteEnd : start + FColorsUsed * entry;
    else if (FOffBits < start)
        Invalid(QStringLiteral("the pixel data offset %1 points into the header").arg(FOffBits));
    else
        FPixels = FOffBits;
    if (FPixels > FSize)
        Invalid(QStringLiteral("the pixel data offset %1 lies beyond the end of the file")
                    .arg(FPixels));
}

void TBmpReader::TDecoder::CheckUncompressed() {
    const uint64_t rowBits = uint64_t(FWidth) * FBitCount;
    FStride = (rowBits + 31) / 32 * 4;
    const uint64_t rowBytes = (rowBits + 7) / 8;
    const uint64_t need = FStride * uint64_t(FHeight - 1) + rowBytes; // the last row unpadded
    const uint64_t avail = FSize - FPixels;
    if (avail < need)
        Invalid(
            QStringLiteral("the pixel data is truncated (%1 of %2 bytes)").arg(avail).arg(need));
    if (FBitCount == 16) {
        FLut16.resize(65536);
        for (uint32_t v = 0; v < 65536; ++v)
            FLut16[v] = 0xFF000000u | FChannels[0].Get(v) << 16 | FChannels[1].Get(v) << 8 |
                        FChannels[2].Get(v);
    }
    FPlain32 = FBitCount == 32 && FChannels[0].Mask == 0xFF0000 && FChannels[1].Mask == 0xFF00 &&
               FChannels[2].Mask == 0xFF;
}

void TBmpReader::TDecoder::ReadUncompressedRow(int y, uint8_t* out) const {
    const int w = int(FWidth);
    const int r = FTopDown ? y : int(FHeight) - 1 - y;
    const uint8_t* src = FData + FPixels + size_t(FStride) * size_t(r);
    auto* dst = reinterpret_cast<uint32_t*>(out);
    switch (FBitCount) {
    case 1:
    case 2:
    case 4: {
        const int bits = FBitCount, perByte = 8 / bits;
        const uint32_t mask = (1u << bits) - 1;
        for (int x = 0; x < w; ++x) {
            const int shift = 8 - bits * (x % perByte + 1);
            dst[x] = PaletteColor((src[x / perByte] >> shift) & mask);
        }
        break;
    }
    case 8:
        for (int x = 0; x < w; ++x)
            dst[x] = PaletteColor(src[x]);
        break;
    case 16:
        for (int x = 0; x < w; ++x)
            dst[x] = FLut16[U16(src + 2 * x)];
        break;
    case 24:
        std::memcpy(out, src, size_t(w) * 3);
        break;
    case 32:
        if (FPlain32) {
            for (int x = 0; x < w; ++x)
                dst[x] = 0xFF000000u | U32(src + 4 * x);
        } else {
            for (int x = 0; x < w; ++x) {
                const uint32_t v = U32(src + 4 * x);
                dst[x] = 0xFF000000u | FChannels[0].Get(v) << 16 | FChannels[1].Get(v) << 8 |
                         FChannels[2].Get(v);
            }
        }
        break;
    }
}

void TBmpReader::TDecoder::WalkRle(size_t p, int64_t x, int64_t y, int64_t row, uint8_t* out,
                                   std::vector<TRowStart>* starts) const {
    const int64_t w = FWidth, h = FHeight;
    const bool walk = starts != nullptr;
    auto outside = [&] {
        Invalid(QStringLiteral("the compressed pixel data runs outside the picture"));
    };
    auto enter = [&] { // the stream's cursor is now in row y (stored order) at x
        if (walk && y < h && (*starts)[size_t(y)].X < 0)
            (*starts)[size_t(y)] = {p, x};
    };
    auto mine = [&] { return walk || y == row; };
    auto put = [&](int64_t at, uint32_t index) {
        const uint32_t color = PaletteColor(index);
        if (!walk)
            reinterpret_cast<uint32_t*>(out)[at] = color;
    };
    auto put24 = [&](int64_t at, const uint8_t* bgr) {
        if (!walk)
            std::memcpy(out + 3 * at, bgr, 3);
    };

    const uint8_t* d = FData;
    const size_t end = FSize;
    enter();
    for (;;) {
        if (!mine())
            return; // the cursor left the row
        if (p + 2 > end) {
            if (y >= h || (y == h - 1 && x == w))
                return; // every row written; only the end-of-bitmap mark is missing
            Invalid(QStringLiteral("the compressed pixel data is truncated"));
        }
        const uint8_t count = d[p], code = d[p + 1];
        p += 2;
        if (count > 0) { // a run of one colour (two alternating ones for RLE4)
            if (y >= h || x + count > w)
                outside();
            if (FRle24) {
                if (p + 2 > end)
                    Invalid(QStringLiteral("the compressed pixel data is truncated"));
                const uint8_t bgr[3] = {code, d[p], d[p + 1]};
                p += 2;
                for (int i = 0; i < count; ++i)
                    put24(x + i, bgr);
            } else if (FRle4) {
                for (int i = 0; i < count; ++i)
                    put(x + i, i & 1 ? code & 0x0F : code >> 4);
            } else {
                const uint32_t color = PaletteColor(code);
                if (!walk)
                    std::fill(reinterpret_cast<uint32_t*>(out) + x,
                              reinterpret_cast<uint32_t*>(out) + x + count, color);
            }
            x += count;
            continue;
        }
        switch (code) {
        case 0: // end of line
            x = 0;
            ++y;
            enter();
            break;
        case 1: // end of bitmap
            return;
        case 2: { // move right and down
            if (p + 2 > end)
                Invalid(QStringLiteral("the compressed pixel data is truncated"));
            x += d[p];
            const int64_t down = d[p + 1];
            p += 2;
            y += down;
            if (x > w || y > h)
                outside();
            if (down > 0)
                enter();
            break;
        }
        default: { // `code` pixels stored literally, padded to a 16-bit boundary
            const size_t n = code;
            const size_t bytes = FRle24 ? 3 * n : FRle4 ? (n + 1) / 2 : n;
            if (p + bytes > end)
                Invalid(QStringLiteral("the compressed pixel data is truncated"));
            if (y >= h || x + int64_t(n) > w)
                outside();
            for (size_t i = 0; i < n; ++i) {
                if (FRle24)
                    put24(x + int64_t(i), d + p + 3 * i);
                else if (FRle4)
                    put(x + int64_t(i), i & 1 ? d[p + i / 2] & 0x0F : d[p + i / 2] >> 4);
                else
                    put(x + int64_t(i), d[p + i]);
            }
            x += int64_t(n);
            p += bytes + (bytes & 1);
            break;
        }
        }
    }
}

void TBmpReader::TDecoder::Open() {
    ReadHeaders();
    ReadMasks();
    ReadPalette();
    FRle =
        FCompression == kBiRle8 || FCompression == kBiRle4 || (FOs2 && FCompression == kOs2Rle24);
    FRle24 = FRle && FCompression == kOs2Rle24 && FBitCount == 24;
    FRle4 = FRle && FCompression == kBiRle4;
    FBgr = FBitCount == 24;
    if (!FRle) {
        CheckUncompressed();
        return;
    }
    FRowStarts.assign(size_t(FHeight), TRowStart{});
    WalkRle(FPixels, 0, 0, -1, nullptr, &FRowStarts);
}

void TBmpReader::TDecoder::ReadRow(int y, uint8_t* out) const {
    if (!FRle) {
        ReadUncompressedRow(y, out);
        return;
    }
    // Pixels the stream skips keep palette entry 0 (black for RLE24), as in a new DIB.
    const int w = int(FWidth);
    if (FRle24) {
        std::memset(out, 0, size_t(w) * 3);
    } else {
        const uint32_t fill = FPaletteCount ? FPalette[0] : 0xFF000000u;
        std::fill(reinterpret_cast<uint32_t*>(out), reinterpret_cast<uint32_t*>(out) + w, fill);
    }
    const int64_t stored = FHeight - 1 - y; // compressed rows are stored bottom-up
    const TRowStart& start = FRowStarts[size_t(stored)];
    if (start.X >= 0) // the walk checked the stream: decoding a row cannot fail
        WalkRle(start.P, start.X, stored, stored, out, nullptr);
}

TPixelFormat TBmpReader::TDecoder::PixelFormat() const {
    switch (FBitCount) {
    case 1:
        return TPixelFormat::pf1bit;
    case 2:
    case 4:
        return TPixelFormat::pf4bit;
    case 8:
        return TPixelFormat::pf8bit;
    case 16:
        return FChannels[0].Mask == 0x7C00 && FChannels[1].Mask == 0x3E0 &&
                       FChannels[2].Mask == 0x1F
                   ? TPixelFormat::pf15bit
                   : TPixelFormat::pf16bit;
    case 24:
        return TPixelFormat::pf24bit;
    default:
        return TPixelFormat::pf32bit;
    }
}

TBmpReader::TBmpReader(const uint8_t* data, size_t size, const QString& name, int64_t maxPixels)
    : FDecoder(
          std::make_unique<TDecoder>(data, size, name, std::min(maxPixels, kMaxPicturePixels))) {
    FDecoder->Open();
}

TBmpReader::~TBmpReader() = default;

int TBmpReader::Width() const {
    return int(FDecoder->FWidth);
}

int TBmpReader::Height() const {
    return int(FDecoder->FHeight);
}

bool TBmpReader::Bgr() const {
    return FDecoder->FBgr;
}

TPixelFormat TBmpReader::PixelFormat() const {
    return FDecoder->PixelFormat();
}

void TBmpReader::ReadRow(int y, uint8_t* out) const {
    FDecoder->ReadRow(y, out);
}

void TBmpReader::ReadRowBgr(int y, uint8_t* bgr, std::vector<uint32_t>& scratch) const {
    if (Bgr()) {
        ReadRow(y, bgr);
        return;
    }
    scratch.resize(size_t(Width()));
    ReadRow(y, reinterpret_cast<uint8_t*>(scratch.data()));
    for (const uint32_t pixel : scratch) {
        *bgr++ = uint8_t(pixel);
        *bgr++ = uint8_t(pixel >> 8);
        *bgr++ = uint8_t(pixel >> 16);
    }
}

QImage DecodeBmp(const QByteArray& data, const QString& name, TPixelFormat* format,
                 int64_t maxPixels) {
    const TBmpReader reader(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()),
                            name, maxPixels);
    QImage image;
    try {
        image = AllocateImage(reader.Width(), reader.Height(),
                              reader.Bgr() ? QImage::Format_BGR888 : QImage::Format_RGB32);
    } catch (const EOutOfResources& e) {
        throw EOutOfResources(
            QStringLiteral("Bitmap \"%1\": %2").arg(QDir::toNativeSeparators(name), e.Message()));
    }
    for (int y = 0; y < reader.Height(); ++y)
        reader.ReadRow(y, image.scanLine(y));
    if (format)
        *format = reader.PixelFormat();
    return image;
}

void WriteBmp24(const QImage& image, const std::function<void(const char*, qint64)>& put) {
    const int w = image.isNull() ? 0 : image.width();
    const int h = image.isNull() ? 0 : image.height();
    const uint32_t stride = (uint32_t(w) * 3 + 3) & ~3u;
    const uint32_t pixelBytes = stride * uint32_t(h);
    const uint32_t headerBytes = 14 + 40;
    uint8_t p[headerBytes] = {'B', 'M'};
    Put32(p + 2, headerBytes + pixelBytes);
    Put32(p + 10, headerBytes);
    Put32(p + 14, 40);
    Put32(p + 18, uint32_t(w));
    Put32(p + 22, uint32_t(h)); // positive height: bottom-up rows
    Put16(p + 26, 1);
    Put16(p + 28, 24);
    Put32(p + 30, 0); // BI_RGB
    Put32(p + 34, pixelBytes);
    Put32(p + 38, 3780); // 96 dpi in pixels per metre
    Put32(p + 42, 3780);
    put(reinterpret_cast<const char*>(p), headerBytes);
    if (w == 0 || h == 0)
        return;
    const QImage src = image.format() == QImage::Format_BGR888
                           ? image
                           : image.convertToFormat(QImage::Format_BGR888);
    // The rows, bottom first, in chunks of about a megabyte (the padding stays zero).
    const int rowsPerChunk = int(std::max<uint32_t>(1, (1u << 20) / stride));
    std::vector<char> chunk(size_t(stride) * size_t(std::min(rowsPerChunk, h)), '\0');
    for (int y = h - 1; y >= 0;) {
        int rows = 0;
        for (; rows < rowsPerChunk && y >= 0; ++rows, --y)
            std::memcpy(chunk.data() + size_t(rows) * stride, src.constScanLine(y), size_t(w) * 3);
        put(chunk.data(), qint64(rows) * stride);
    }
}

QByteArray EncodeBmp24(const QImage& image) {
    QByteArray out;
    const int w = image.isNull() ? 0 : image.width();
    const int h = image.isNull() ? 0 : image.height();
    out.reserve(qsizetype(54 + ((uint32_t(w) * 3 + 3) & ~3u) * uint32_t(h)));
    WriteBmp24(image, [&out](const char* data, qint64 size) { out.append(data, size); });
    return out;
}
