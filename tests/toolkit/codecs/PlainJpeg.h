// A plain libjpeg decoder and encoder for the JPEG tests: libjpeg's defaults, one scan line at a
// time, nothing of the program's own reader.
#pragma once

#include <QByteArray>
#include <QRgb>

#include <cstdint>
#include <vector>

namespace plainjpeg {

struct TDecoded {
    int Width = 0, Height = 0, Channels = 0;
    bool Adobe = false;          // an Adobe marker: CMYK stored as 255 - ink
    std::vector<uint8_t> Pixels; // red, green, blue; or C, M, Y, K as stored
};

// Decodes to RGB, or to the stored CMYK samples; throws std::runtime_error when libjpeg fails.
TDecoded Decode(const QByteArray& data, bool cmyk);
// The expected picture as 0xFFRRGGBB words: RGB decoded by libjpeg, CMYK converted plainly (each
// colour times the black's complement).
std::vector<QRgb> Expected(const QByteArray& data, bool cmyk, int* w, int* h);
// A w x h test pattern (progressive on request), quality 80.
QByteArray Encode(int w, int h, bool progressive);

} // namespace plainjpeg
