#include "toolkit/BmpCodec.h"

#include <QDir>

#include <cstring>

namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

} // namespace

QImage DecodeBmp(const QByteArray& data, const QString& name, TPixelFormat* format) {
    // Interim decoder through Qt; replaced by the project's own reader.
    QImage img;
    if (!img.loadFromData(data, "BMP"))
        throw EInvalidGraphic(QStringLiteral("Bitmap image is not valid: \"%1\"")
                                  .arg(QDir::toNativeSeparators(name)));
    if (format)
        *format = TPixelFormat::pf24bit;
    return img.convertToFormat(QImage::Format_BGR888);
}

QByteArray EncodeBmp24(const QImage& image) {
    const int w = image.isNull() ? 0 : image.width();
    const int h = image.isNull() ? 0 : image.height();
    const uint32_t stride = (uint32_t(w) * 3 + 3) & ~3u;
    const uint32_t pixelBytes = stride * uint32_t(h);
    const uint32_t headerBytes = 14 + 40;
    QByteArray out(qsizetype(headerBytes + pixelBytes), '\0');
    auto* p = reinterpret_cast<uint8_t*>(out.data());
    p[0] = 'B';
    p[1] = 'M';
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
    if (w == 0 || h == 0)
        return out;
    const QImage src = image.format() == QImage::Format_BGR888
                           ? image
                           : image.convertToFormat(QImage::Format_BGR888);
    for (int y = 0; y < h; ++y)
        std::memcpy(p + headerBytes + size_t(h - 1 - y) * stride, src.constScanLine(y),
                    size_t(w) * 3);
    return out;
}
