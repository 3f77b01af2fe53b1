#include "toolkit/metafile/MetafileDib.h"

#include "toolkit/metafile/MetafileInternal.h"

#include <algorithm>
#include <vector>

namespace metafile {

namespace {

enum : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_ALPHABITFIELDS = 6 };

struct THeader {
    uint32_t Size = 0;
    int64_t Width = 0, Height = 0;
    bool TopDown = false;
    int Bits = 0;
    uint32_t Compression = BI_RGB;
    uint32_t ColorsUsed = 0;
    bool Core = false;
    uint32_t Masks[4] = {0, 0, 0, 0};
    uint64_t TableOffset = 0;
};

bool ParseHeader(const TReader& info, THeader& h) {
    if (!info.Has(0, 4))
        return false;
    h.Size = info.U32(0);
    if (h.Size == 12) {
        if (!info.Has(0, 12))
            return false;
        h.Core = true;
        h.Width = info.U16(4);
        h.Height = info.U16(6);
        h.Bits = info.U16(10);
        h.TableOffset = 12;
    } else if (h.Size >= 40 && info.Has(0, h.Size)) {
        h.Width = info.I32(4);
        h.Height = info.I32(8);
        h.Bits = info.U16(14);
        h.Compression = info.U32(16);
        h.ColorsUsed = info.U32(32);
        h.TableOffset = h.Size;
        if (h.Compression == BI_BITFIELDS || h.Compression == BI_ALPHABITFIELDS) {
            const int count = h.Compression == BI_ALPHABITFIELDS ? 4 : 3;
            if (h.Size >= 52) {
                for (int i = 0; i < 3; ++i)
                    h.Masks[i] = info.U32(40 + 4 * i);
                if (h.Size >= 56)
                    h.Masks[3] = info.U32(52);
            } else {
                if (!info.Has(40, uint64_t(4) * count))
                    return false;
                for (int i = 0; i < count; ++i)
                    h.Masks[i] = info.U32(40 + 4 * uint64_t(i));
                h.TableOffset = 40 + 4 * uint64_t(count);
            }
        }
    } else {
        return false;
    }
    if (h.Height < 0) {
        h.TopDown = true;
        h.Height = -h.Height;
    }
    if (h.Width <= 0 || h.Height <= 0 || h.Width > 65536 || h.Height > 65536 ||
        h.Width * h.Height > kMaxBitmapPixels)
        return false;
    switch (h.Bits) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        return false;
    }
    switch (h.Compression) {
    case BI_RGB:
        break;
    case BI_RLE8:
        return h.Bits == 8 && !h.TopDown;
    case BI_RLE4:
        return h.Bits == 4 && !h.TopDown;
    case BI_BITFIELDS:
    case BI_ALPHABITFIELDS:
        return h.Bits == 16 || h.Bits == 32;
    default:
        return false; // JPEG and PNG payloads are not drawn
    }
    return true;
}

struct TChannel {
    uint32_t Mask = 0;
    int Shift = 0;
    uint32_t Max = 0;
    int Value(uint32_t pixel, int fallback) const {
        if (Mask == 0)
            return fallback;
        const uint64_t v = (pixel & Mask) >> Shift;
        return int((v * 255 + Max / 2) / Max);
    }
};

TChannel Channel(uint32_t mask) {
    TChannel c;
    c.Mask = mask;
    if (mask == 0)
        return c;
    while (!((mask >> c.Shift) & 1))
        ++c.Shift;
    c.Max = mask >> c.Shift;
    return c;
}

} // namespace

bool DibSize(const TReader& info, int64_t& width, int64_t& height) {
    THeader h;
    if (!ParseHeader(info, h))
        return false;
    width = h.Width;
    height = h.Height;
    return true;
}

bool DecodeDib(const TReader& info, const TReader& bits, const TDibOptions& options,
               TDibResult& out) {
    out = TDibResult();
    THeader h;
    if (!ParseHeader(info, h))
        return false;
    const int w = int(h.Width), hgt = int(h.Height);

    // Colour table.
    std::vector<QRgb> table;
    if (h.Bits <= 8) {
        uint32_t entries = 1u << h.Bits;
        if (h.ColorsUsed != 0 && h.ColorsUsed < entries)
            entries = h.ColorsUsed;
        const uint32_t entrySize =
            h.Core ? 3 : (options.Usage == DIB_PAL_COLORS && options.Palette ? 2 : 4);
        table.assign(entries, qRgb(0, 0, 0));
        for (uint32_t i = 0; i < entries; ++i) {
            const uint64_t at = h.TableOffset + uint64_t(i) * entrySize;
            if (!info.Has(at, entrySize))
                break;
            if (entrySize == 2)
                table[i] = options.Palette(info.U16(at)) | 0xFF000000u;
            else
                table[i] = qRgb(info.U8(at + 2), info.U8(at + 1), info.U8(at));
        }
        if (options.MonoAsIndex && h.Bits == 1) {
            table.assign(2, qRgb(0, 0, 0));
            table[1] = qRgb(255, 255, 255);
        }
    }
    const auto color = [&](uint32_t index) -> QRgb {
        return index < table.size() ? table[index] : qRgb(0, 0, 0);
    };

    QImage image(w, hgt,
                 options.KeepAlpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_ARGB32);
    if (image.isNull())
        return false;
    image.fill(0u);

    if (h.Compression == BI_RLE8 || h.Compression == BI_RLE4) {
        const bool four = h.Compression == BI_RLE4;
        int64_t x = 0, y = 0;
        uint64_t pos = 0;
        const uint64_t size = bits.Size();
        auto put = [&](int64_t px, uint32_t index) {
            if (px >= 0 && px < w && y >= 0 && y < hgt)
                reinterpret_cast<QRgb*>(image.scanLine(int(hgt - 1 - y)))[px] = color(index);
        };
        while (pos + 2 <= size && y < hgt) {
            const uint8_t count = bits.U8(pos), value = bits.U8(pos + 1);
            pos += 2;
            if (count > 0) {
                for (int i = 0; i < count; ++i)
                    put(x + i, four ? ((i & 1) ? (value & 0x0F) : (value >> 4)) : value);
                x += count;
                continue;
            }
            if (value == 0) { // end of line
                x = 0;
                ++y;
            } else if (value == 1) { // end of bitmap
                break;
            } else if (value == 2) { // delta
                if (pos + 2 > size)
                    break;
                x += bits.U8(pos);
                y += bits.U8(pos + 1);
                pos += 2;
            } else { // absolute run
                const uint64_t bytes = four ? (uint64_t(value) + 1) / 2 : value;
                if (pos + bytes > size)
                    break;
                for (int i = 0; i < value; ++i) {
                    const uint8_t b = bits.U8(pos + (four ? uint64_t(i) / 2 : uint64_t(i)));
                    put(x + i, four ? ((i & 1) ? (b & 0x0F) : (b >> 4)) : b);
                }
                x += value;
                pos += bytes + (bytes & 1);
            }
        }
    } else {
        const uint64_t stride = ((uint64_t(w) * uint64_t(h.Bits) + 31) / 32) * 4;
        const uint64_t rows = std::min<uint64_t>(uint64_t(hgt), bits.Size() / stride);
        uint32_t masks[4] = {h.Masks[0], h.Masks[1], h.Masks[2], h.Masks[3]};
        if (h.Compression == BI_RGB && h.Bits == 16) {
            masks[0] = 0x7C00;
            masks[1] = 0x03E0;
            masks[2] = 0x001F;
        } else if (h.Compression == BI_RGB && h.Bits == 32) {
            masks[0] = 0x00FF0000;
            masks[1] = 0x0000FF00;
            masks[2] = 0x000000FF;
            masks[3] = options.KeepAlpha ? 0xFF000000u : 0;
        }
        const TChannel r = Channel(masks[0]), g = Channel(masks[1]), b = Channel(masks[2]),
                       a = Channel(masks[3]);
        for (uint64_t row = 0; row < rows; ++row) {
            const uint8_t* src = bits.Bytes(row * stride, stride);
            const int y = h.TopDown ? int(row) : hgt - 1 - int(row);
            QRgb* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < w; ++x) {
                switch (h.Bits) {
                case 1:
                    dst[x] = color((src[x >> 3] >> (7 - (x & 7))) & 1);
                    break;
                case 4:
                    dst[x] = color((x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4));
                    break;
                case 8:
                    dst[x] = color(src[x]);
                    break;
                case 24:
                    dst[x] = qRgb(src[3 * x + 2], src[3 * x + 1], src[3 * x]);
                    break;
                case 16:
                case 32: {
                    const uint32_t p = h.Bits == 16 ? uint32_t(src[2 * x] | (src[2 * x + 1] << 8))
                                                    : uint32_t(src[4 * x]) |
                                                          (uint32_t(src[4 * x + 1]) << 8) |
                                                          (uint32_t(src[4 * x + 2]) << 16) |
                                                          (uint32_t(src[4 * x + 3]) << 24);
                    const int alpha = a.Value(p, 255);
                    int red = r.Value(p, 0), green = g.Value(p, 0), blue = b.Value(p, 0);
                    if (options.KeepAlpha) { // premultiplied: no channel above alpha
                        red = std::min(red, alpha);
                        green = std::min(green, alpha);
                        blue = std::min(blue, alpha);
                    }
                    dst[x] = qRgba(red, green, blue, alpha);
                    break;
                }
                default:
                    break;
                }
            }
        }
    }
    out.Image = std::move(image);
    out.BitCount = h.Bits;
    out.TopDown = h.TopDown;
    return true;
}

bool DecodePackedDib(const TReader& packed, const TDibOptions& options, TDibResult& out) {
    THeader h;
    if (!ParseHeader(packed, h))
        return false;
    uint64_t tableBytes = 0;
    if (h.Bits <= 8) {
        uint32_t entries = 1u << h.Bits;
        if (h.ColorsUsed != 0 && h.ColorsUsed < entries)
            entries = h.ColorsUsed;
        const uint32_t entrySize =
            h.Core ? 3 : (options.Usage == DIB_PAL_COLORS && options.Palette ? 2 : 4);
        tableBytes = uint64_t(entries) * entrySize;
    } else if (!h.Core && h.ColorsUsed != 0 && h.ColorsUsed <= 256) {
        tableBytes = uint64_t(h.ColorsUsed) * 4; // an unused table may precede the pixels
    }
    const uint64_t bitsAt = h.TableOffset + tableBytes;
    if (bitsAt > packed.Size())
        return false;
    return DecodeDib(packed.Sub(0, bitsAt), packed.From(bitsAt), options, out);
}

} // namespace metafile
