// The body of the fuzz targets of the formats read through a codec (PNG, GIF, TIFF, WebP, AVIF,
// HEIF, JPEG XL): the picture over the codec loads the bytes (header), then, for a picture small
// enough to keep single inputs fast, is decoded the three ways the program decodes it: reduced
// (thumbnails), row by row (the streaming composition) and whole, drawn into a small bitmap.
// Every input must end in a clean error or a picture: no crash, hang or leak.
#pragma once

#include "toolkit/Graphics.h"
#include "toolkit/codecs/CodecImage.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// maxPixels keeps single inputs fast; the loader's own limits are tested by the unit tests.
inline int FuzzCodec(const TCodec& codec, const uint8_t* data, size_t size,
                     int64_t maxPixels = int64_t(1) << 22) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        TCodecImage picture(codec);
        picture.LoadFromBytes(bytes, QStringLiteral("fuzz"));
        if (int64_t(picture.Width()) * picture.Height() > maxPixels)
            return 0;
        picture.DecodeReduced(QSize(7, 5));
        if (std::unique_ptr<TRowReader> rows = picture.OpenRows())
            for (int y = 0; y < picture.Height(); ++y)
                rows->Row(y);
        TBitmap target(16, 16, TPixelFormat::pf24bit);
        TCanvasLock lock(target.Canvas());
        target.Canvas()->Draw(-1, -1, &picture);
    } catch (const Exception&) {
        // Damaged input is expected to raise.
    }
    return 0;
}
