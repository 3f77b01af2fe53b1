// libFuzzer target for JPEG pictures: load the bytes (header) and, when they load, draw the
// picture into a small 24-bit bitmap, which decodes it with progress events.
#include "toolkit/Graphics.h"
#include "toolkit/codecs/Jpeg.h"

#include <cstddef>
#include <cstdint>

namespace {
// Keeps single inputs fast; the loader's own limits are tested by the unit tests.
constexpr int64_t kFuzzMaxPixels = int64_t(1) << 22;
constexpr int64_t kFuzzMaxMemory = int64_t(256) << 20;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    TJPEGImage jpeg;
    jpeg.SetMaxPixels(kFuzzMaxPixels);
    jpeg.SetMaxMemory(kFuzzMaxMemory);
    int events = 0;
    jpeg.OnProgress = [&events](TObject*, TProgressStage, uint8_t, bool, const TRect&,
                                const QString&) { ++events; };
    try {
        jpeg.LoadFromBytes(bytes, QStringLiteral("fuzz.jpg"));
        TBitmap target(16, 16, TPixelFormat::pf24bit);
        TCanvasLock lock(target.Canvas());
        target.Canvas()->Draw(-1, -1, &jpeg);
    } catch (const Exception&) {
        // Damaged input is expected to raise.
    }
    return 0;
}
