#include "toolkit/codecs/Icon.h"

#include "toolkit/codecs/PictureFile.h"
#include "toolkit/codecs/PngCodec.h"

#include <QDir>
#include <QPainter>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

uint16_t U16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint32_t U32BigEndian(const uint8_t* p) {
    return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
}

// One image of the icon file as its own header describes it.
struct Entry {
    int Index = 0;
    size_t Offset = 0, Size = 0;
    int64_t Width = 0, Height = 0; // up to 2^32 - 1 each (PNG)
    int BitCount = 0;
    bool Png = false;

    uint64_t Area() const { return uint64_t(Width) * uint64_t(Height); }
};

class IconReader {
public:
    IconReader(const QByteArray& data, const QString& name, int64_t maxPixels)
        : FData(reinterpret_cast<const uint8_t*>(data.constData())), FSize(size_t(data.size())),
          FName(name), FMaxPixels(maxPixels) {}

    QImage Read(int* bitCount) {
        if (FSize < 6)
            Invalid(QStringLiteral("the file is too short for an icon directory"));
        if (U16(FData) != 0 || U16(FData + 2) != 1)
            Invalid(QStringLiteral("the file does not start with an icon directory"));
        const int count = U16(FData + 4);
        if (count == 0)
            Invalid(QStringLiteral("the icon holds no images"));
        if (FSize < 6 + size_t(count) * 16)
            Invalid(QStringLiteral("the icon directory is truncated"));
        Entry best;
        for (int i = 0; i < count; ++i) {
            const Entry e = Describe(i, FData + 6 + 16 * i);
            if (i == 0 || e.Area() > best.Area() ||
                (e.Area() == best.Area() && e.BitCount > best.BitCount))
                best = e;
        }
        if (best.Width > kMaxPictureSide || best.Height > kMaxPictureSide ||
            best.Width * best.Height > FMaxPixels)
            throw EOutOfResources(QStringLiteral("Icon \"%1\" is too large (%2 x %3 pixels)")
                                      .arg(QDir::toNativeSeparators(FName))
                                      .arg(best.Width)
                                      .arg(best.Height));
        *bitCount = best.BitCount;
        return best.Png ? DecodePng(best) : DecodeDib(best);
    }

private:
    [[noreturn]] void Invalid(const QString& why) const {
        throw EInvalidGraphic(QStringLiteral("Icon \"%1\" is not valid: %2")
                                  .arg(QDir::toNativeSeparators(FName), why));
    }

    Entry Describe(int index, const uint8_t* dir) const {
        Entry e;
        e.Index = index;
        e.Size = U32(dir + 8);
        e.Offset = U32(dir + 12);
        if (e.Offset > FSize || e.Size > FSize - e.Offset)
            Invalid(QStringLiteral("image %1 lies beyond the end of the file").arg(index + 1));
        const uint8_t* p = FData + e.Offset;
        if (e.Size >= 8 && std::equal(kPngSignature, kPngSignature + 8, p)) {
            // The first chunk of a PNG file is its 13-byte header.
            if (e.Size < 8 + 8 + 13 || std::memcmp(p + 12, "IHDR", 4) != 0)
                Invalid(QStringLiteral("the PNG header of image %1 is damaged").arg(index + 1));
            e.Png = true;
            e.Width = U32BigEndian(p + 16);
            e.Height = U32BigEndian(p + 20);
            const int depth = p[24], type = p[25];
            const int channels = type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1;
            e.BitCount = depth * channels;
        } else {
            if (e.Size < 40 || U32(p) < 40 || U32(p) > e.Size)
                Invalid(QStringLiteral("the bitmap header of image %1 is damaged").arg(index + 1));
            const int32_t w = int32_t(U32(p + 4)), h2 = int32_t(U32(p + 8));
            if (w <= 0 || h2 < 2 || h2 % 2 != 0)
                Invalid(QStringLiteral("image %1 has the size %2 x %3, which is not valid")
                            .arg(index + 1)
                            .arg(w)
                            .arg(h2));
            e.Width = w;
            e.Height = h2 / 2; // colour rows, then as many rows of the AND mask
            e.BitCount = U16(p + 14);
        }
        if (e.Width <= 0 || e.Height <= 0)
            Invalid(QStringLiteral("image %1 has no pixels").arg(index + 1));
        return e;
    }

    QImage DecodePng(const Entry& e) const {
        QImage img;
        try {
            img = DecodePngImage(FData + e.Offset, e.Size, FName);
        } catch (const EInvalidGraphic&) {
        }
        if (img.width() != e.Width || img.height() != e.Height)
            Invalid(QStringLiteral("the PNG data of image %1 is damaged").arg(e.Index + 1));
        return img;
    }

    QImage DecodeDib(const Entry& e) const {
        const uint8_t* p = FData + e.Offset;
        const uint32_t headerSize = U32(p);
        const int bits = U16(p + 14);
        const uint32_t compression = U32(p + 16);
        const uint32_t colorsUsed = U32(p + 32);
        if (U16(p + 12) != 1)
            Invalid(
                QStringLiteral("image %1 has a plane count that is not valid").arg(e.Index + 1));
        if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
            Invalid(QStringLiteral("image %1 has %2 bits per pixel, which icons do not use")
                        .arg(e.Index + 1)
                        .arg(bits));
        if (compression != 0)
            Invalid(QStringLiteral("image %1 is compressed, which icons do not allow")
                        .arg(e.Index + 1));
        const int w = int(e.Width), h = int(e.Height);
        uint32_t palette[256] = {};
        uint64_t paletteCount = 0;
        if (bits <= 8) {
            const uint64_t max = uint64_t(1) << bits;
            paletteCount = colorsUsed && colorsUsed < max ? colorsUsed : max;
        }
        const uint64_t xorStride = (uint64_t(w) * bits + 31) / 32 * 4;
        const uint64_t andStride = (uint64_t(w) + 31) / 32 * 4;
        const uint64_t pixels = uint64_t(headerSize) + paletteCount * 4;
        const uint64_t xorBytes = xorStride * uint64_t(h), andBytes = andStride * uint64_t(h);
        if (pixels + xorBytes > e.Size)
            Invalid(QStringLiteral("the pixel data of image %1 is truncated").arg(e.Index + 1));
        // 32-bit images may leave the mask out and rely on their alpha channel alone.
        const bool hasMask = pixels + xorBytes + andBytes <= e.Size;
        if (!hasMask && bits != 32)
            Invalid(QStringLiteral("the mask of image %1 is truncated").arg(e.Index + 1));
        for (uint64_t i = 0; i < paletteCount; ++i) {
            const uint8_t* c = p + headerSize + 4 * i;
            palette[i] = qRgb(c[2], c[1], c[0]);
        }

        QImage img(w, h, QImage::Format_ARGB32);
        if (img.isNull())
            throw EOutOfResources(QStringLiteral("Icon \"%1\": out of memory for %2 x %3 pixels")
                                      .arg(QDir::toNativeSeparators(FName))
                                      .arg(w)
                                      .arg(h));
        bool anyAlpha = false;
        for (int r = 0; r < h; ++r) {
            const uint8_t* src = p + pixels + xorStride * uint64_t(r);
            auto* dst = reinterpret_cast<QRgb*>(img.scanLine(h - 1 - r));
            for (int x = 0; x < w; ++x) {
                switch (bits) {
                case 24:
                    dst[x] = qRgb(src[3 * x + 2], src[3 * x + 1], src[3 * x]);
                    break;
                case 32:
                    dst[x] = qRgba(src[4 * x + 2], src[4 * x + 1], src[4 * x], src[4 * x + 3]);
                    anyAlpha = anyAlpha || src[4 * x + 3] != 0;
                    break;
                default: {
                    const int perByte = 8 / bits;
                    const int shift = 8 - bits * (x % perByte + 1);
                    const uint32_t index = (src[x / perByte] >> shift) & ((1u << bits) - 1);
                    if (index >= paletteCount)
                        Invalid(QStringLiteral("image %1 uses colour %2 of a palette of %3")
                                    .arg(e.Index + 1)
                                    .arg(index)
                                    .arg(paletteCount));
                    dst[x] = palette[index];
                    break;
                }
                }
            }
        }
        if (anyAlpha)
            return img; // the alpha channel rules; Windows ignores the mask then
        for (int r = 0; r < h; ++r) {
            const uint8_t* mask = p + pixels + xorBytes + andStride * uint64_t(r);
            auto* dst = reinterpret_cast<QRgb*>(img.scanLine(h - 1 - r));
            for (int x = 0; x < w; ++x) {
                const bool transparent = hasMask && (mask[x / 8] >> (7 - x % 8)) & 1;
                dst[x] = transparent ? qRgba(0, 0, 0, 0) : (dst[x] | 0xFF000000u);
            }
        }
        return img;
    }

    const uint8_t* FData;
    size_t FSize;
    QString FName;
    int64_t FMaxPixels;
};

} // namespace

TIcon::TIcon() = default;
TIcon::~TIcon() = default;

void TIcon::SetMaxPixels(int64_t pixels) {
    FMaxPixels = std::clamp<int64_t>(pixels, 1, kMaxPicturePixels);
}

void TIcon::LoadFromFile(const QString& fileName) {
    LoadFromBytes(ReadPictureFile(fileName), fileName);
}

void TIcon::LoadFromBytes(const QByteArray& data, const QString& name) {
    IconReader reader(data, name, FMaxPixels);
    int bits = 0;
    QImage img = reader.Read(&bits);
    FImage = std::move(img);
    FBitCount = bits;
}

void TIcon::Paint(QPainter& painter, const QRect& target) {
    if (FImage.isNull() || target.isEmpty())
        return;
    painter.drawImage(target, FImage);
}

std::unique_ptr<TGraphic> TIcon::Clone() const {
    auto copy = std::make_unique<TIcon>();
    copy->FImage = FImage;
    copy->FBitCount = FBitCount;
    copy->FMaxPixels = FMaxPixels;
    return copy;
}
