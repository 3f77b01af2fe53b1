// The texture resampler written plainly from its description, one bilinear sample at a time,
// for checking the production resampler bit for bit. Slow on purpose: no tables, no threads.
#pragma once

#include "imaging/Textures.h"

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <vector>

namespace reference {

struct Image {
    int Width = 0;
    int Height = 0;
    std::vector<uint32_t> Pixels; // row-major, 0x00BBGGRR

    uint32_t At(int x, int y) const { return Pixels[size_t(y) * size_t(Width) + size_t(x)]; }
};

inline Image FromTexture(const THvBitmap32& t) {
    Image image{t.Width(), t.Height(), {}};
    for (int y = 0; y < t.Height(); ++y)
        image.Pixels.insert(image.Pixels.end(), t.Pixels(y), t.Pixels(y) + t.Width());
    return image;
}

// Nearest integer, halves to even (the default rounding mode).
inline long double RoundEven(long double v) {
    return std::nearbyint(v);
}

// SampleBilinear(U, V) for 0 <= U, V; the first `channels` bytes of each pixel (a fourth is
// alpha, treated like the colours).
inline uint32_t SampleBilinear(const Image& s, long double U, long double V, int channels = 3) {
    const long double X = U * (s.Width - 1);
    const long double Y = V * (s.Height - 1);
    int x0 = int(std::floor(X)), x1;
    if (x0 < s.Width - 1) {
        x1 = x0 + 1;
    } else {
        x0 = s.Width - 1;
        x1 = s.Width - 1;
    }
    int y0 = int(std::floor(Y)), y1;
    if (y0 < s.Height - 1) {
        y1 = y0 + 1;
    } else {
        y0 = s.Height - 1;
        y1 = s.Height - 1;
    }
    const int32_t fx = int32_t(std::floor((X - x0) * 256));
    const int32_t fy = int32_t(std::floor((Y - y0) * 256));
    const uint32_t p00 = s.At(x0, y0), p10 = s.At(x1, y0), p01 = s.At(x0, y1), p11 = s.At(x1, y1);
    uint32_t result = 0;
    for (int byte = 0; byte < channels; ++byte) {
        const int32_t c00 = int32_t((p00 >> (8 * byte)) & 0xFF);
        const int32_t c10 = int32_t((p10 >> (8 * byte)) & 0xFF);
        const int32_t c01 = int32_t((p01 >> (8 * byte)) & 0xFF);
        const int32_t c11 = int32_t((p11 >> (8 * byte)) & 0xFF);
        const int32_t v =
            ((256 - fy) * ((256 - fx) * c00 + fx * c10) + fy * ((256 - fx) * c01 + fx * c11)) >> 16;
        result |= uint32_t(v) << (8 * byte);
    }
    return result;
}

// Create(Source, Width, Height, XFactor, YFactor, nil, nil).
inline Image ResampleFactors(const Image& s, int width, int height, int xFactor, int yFactor,
                             int channels = 3) {
    Image out{width, height, std::vector<uint32_t>(size_t(width) * size_t(height), 0)};
    const long double stepX = 1.0L / width;
    const long double stepY = 1.0L / height;
    const long double subX = stepX / xFactor;
    const long double subY = stepY / yFactor;
    const long double norm = 1.0L / (int64_t(xFactor) * yFactor);
    long double rowStart = 0;
    for (int i = 0; i < height; ++i) {
        long double columnStart = 0;
        for (int j = 0; j < width; ++j) {
            double sum[4] = {0, 0, 0, 0}; // whole numbers, exact
            long double v = rowStart;
            for (int b = 0; b < yFactor; ++b) {
                long double u = columnStart;
                for (int a = 0; a < xFactor; ++a) {
                    const uint32_t p = SampleBilinear(s, u, v, channels);
                    for (int c = 0; c < channels; ++c)
                        sum[c] += (p >> (8 * c)) & 0xFF;
                    u += subX;
                }
                v += subY;
            }
            uint32_t pixel = 0;
            for (int c = 0; c < channels; ++c)
                pixel |= uint32_t(RoundEven(sum[c] * norm)) << (8 * c);
            out.Pixels[size_t(i) * size_t(width) + size_t(j)] = pixel;
            columnStart += stepX;
        }
        rowStart += stepY;
    }
    return out;
}

// Create(Source, Width, Height, nil, nil): factors ceiling(source / target) for a reduction.
inline Image ResampleSize(const Image& s, int width, int height, int* xFactor = nullptr,
                          int* yFactor = nullptr) {
    if (width == 0 || height == 0)
        return Image{};
    const int xf = width < s.Width ? (s.Width + width - 1) / width : 1;
    const int yf = height < s.Height ? (s.Height + height - 1) / height : 1;
    if (xFactor)
        *xFactor = xf;
    if (yFactor)
        *yFactor = yf;
    return ResampleFactors(s, width, height, xf, yf);
}

// A premultiplied colour blended over a background channel: (255 x colour + (255 - alpha) x
// background + 127) / 255, done in plain arithmetic.
inline uint8_t Blend(uint32_t colour, uint32_t alpha, uint32_t background) {
    return uint8_t(std::floor((255.0 * colour + (255.0 - alpha) * background + 127.0) / 255.0));
}

} // namespace reference
