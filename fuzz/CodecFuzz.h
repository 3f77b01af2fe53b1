// Shared body of the fuzz targets of today's picture formats: the bytes loaded as the codec's
// picture and, when its header loads and it is small enough, read row by row as the streaming
// composition reads it, then drawn (decoded whole) into a small bitmap. Every input must end in
// a clean error or a picture: no crash, hang or leak.
#pragma once

#include "toolkit/Graphics.h"
#include "toolkit/codecs/CodecImage.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// Keeps single inputs fast and small; the codecs' own limits are tested by the unit tests.
constexpr int64_t kFuzzMaxPixels = int64_t(1) << 22;

inline int FuzzCodec(const TCodec& codec, const uint8_t* data, size_t size) {
    TCodecImage picture(codec);
    try {
        picture.LoadFromBytes(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)),
                              QStringLiteral("fuzz"));
        if (int64_t(picture.Width()) * picture.Height() > kFuzzMaxPixels)
            return 0;
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
