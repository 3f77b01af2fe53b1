// libFuzzer target for the BMP reader: decode the bytes and, when they load, draw the picture
// into a small 24-bit bitmap.
#include "toolkit/Graphics.h"
#include "toolkit/codecs/BmpCodec.h"

#include <cstddef>
#include <cstdint>

namespace {
// Keeps single inputs fast; the reader's own limit is tested by the unit tests.
constexpr int64_t kFuzzMaxPixels = int64_t(1) << 22;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        TPixelFormat format = TPixelFormat::pfDevice;
        const QImage image = DecodeBmp(bytes, QStringLiteral("fuzz.bmp"), &format, kFuzzMaxPixels);
        TBitmap picture;
        picture.SetImage(image, format);
        TBitmap target(16, 16, TPixelFormat::pf24bit);
        TCanvasLock lock(target.Canvas());
        target.Canvas()->Draw(-3, -2, &picture);
    } catch (const Exception&) {
        // Damaged input is expected to raise.
    }
    return 0;
}
