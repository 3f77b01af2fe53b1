// libFuzzer target for SVG pictures: load the bytes (plain or gzip-compressed) as the program
// does, then draw the picture at a small size and a part of it at a larger one. librsvg runs in
// the renderer process (not instrumented); what is fuzzed here is this side: decompression,
// limits, the hand-over and every way the renderer can fail.
#include "toolkit/codecs/SvgImage.h"

#include <QPainter>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        TSvgImage svg;
        svg.SetTimeLimit(1); // keeps slow documents from holding the fuzzer up
        svg.LoadFromBytes(bytes, QStringLiteral("fuzz.svg"));
        const QImage small = svg.Render(QSize(24, 16));
        QImage target(32, 32, QImage::Format_ARGB32_Premultiplied);
        target.fill(Qt::white);
        QPainter painter(&target);
        svg.Paint(painter, QRect(-40, -20, 200, 100));
        (void)small;
    } catch (const Exception&) {
        // Damaged input is expected to raise.
    }
    return 0;
}
