// libFuzzer target for icons: load the bytes and, when they load, draw the icon with its
// transparency into a small 24-bit bitmap.
#include "toolkit/Graphics.h"
#include "toolkit/codecs/Icon.h"

#include <cstddef>
#include <cstdint>

namespace {
// Keeps single inputs fast; the loader's own limit is tested by the unit tests.
constexpr int64_t kFuzzMaxPixels = int64_t(1) << 22;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    TIcon icon;
    icon.SetMaxPixels(kFuzzMaxPixels);
    try {
        icon.LoadFromBytes(bytes, QStringLiteral("fuzz.ico"));
        TBitmap target(16, 16, TPixelFormat::pf24bit);
        TCanvasLock lock(target.Canvas());
        target.Canvas()->Draw(2, 1, &icon);
    } catch (const Exception&) {
        // Damaged input is expected to raise.
    }
    return 0;
}
