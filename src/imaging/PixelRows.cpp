#include "imaging/PixelRows.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAPESTRIX_X86 1
#endif

#include <algorithm>
#include <cstring>

namespace pixelrows {

namespace {

void BgrToRgbxPlain(const uint8_t* bgr, uint32_t* pixels, int count) {
    for (int x = 0; x < count; ++x, bgr += 3)
        pixels[x] = uint32_t(bgr[2]) | uint32_t(bgr[1]) << 8 | uint32_t(bgr[0]) << 16;
}

void RgbxToBgrPlain(const uint32_t* pixels, uint8_t* bgr, int count) {
    for (int x = 0; x < count; ++x, bgr += 3) {
        const uint32_t p = pixels[x];
        bgr[0] = uint8_t(p >> 16);
        bgr[1] = uint8_t(p >> 8);
        bgr[2] = uint8_t(p);
    }
}

#ifdef TAPESTRIX_X86
// Compiled for AVX2 through the per-function target attribute of GCC and Clang, and called only
// when the processor has AVX2. Eight pixels per step; loads and stores stay inside the row.
__attribute__((target("avx2"))) void BgrToRgbxAvx2(const uint8_t* bgr, uint32_t* pixels,
                                                   int count) {
    const __m256i order =
        _mm256_setr_epi8(2, 1, 0, -128, 5, 4, 3, -128, 8, 7, 6, -128, 11, 10, 9, -128, 2, 1, 0,
                         -128, 5, 4, 3, -128, 8, 7, 6, -128, 11, 10, 9, -128);
    int x = 0;
    for (; x + 10 <= count; x += 8) { // reads bytes 3x .. 3x + 27
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 3 * x));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 3 * x + 12));
        const __m256i both = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(pixels + x),
                            _mm256_shuffle_epi8(both, order));
    }
    BgrToRgbxPlain(bgr + 3 * x, pixels + x, count - x);
}

__attribute__((target("avx2"))) void RgbxToBgrAvx2(const uint32_t* pixels, uint8_t* bgr,
                                                   int count) {
    const __m256i order =
        _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -128, -128, -128, -128, 2, 1, 0, 6,
                         5, 4, 10, 9, 8, 14, 13, 12, -128, -128, -128, -128);
    int x = 0;
    // Each 16-byte store carries 12 bytes of pixels and 4 that the next store overwrites, so the
    // loop stops while a pixel is still left after it.
    for (; x + 10 <= count; x += 8) { // writes bytes 3x .. 3x + 27
        const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels + x));
        const __m256i s = _mm256_shuffle_epi8(p, order);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bgr + 3 * x), _mm256_castsi256_si128(s));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bgr + 3 * x + 12),
                         _mm256_extracti128_si256(s, 1));
    }
    RgbxToBgrPlain(pixels + x, bgr + 3 * x, count - x);
}

bool HasAvx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
#endif

} // namespace

void BgrToRgbx(const uint8_t* bgr, uint32_t* pixels, int count) {
#ifdef TAPESTRIX_X86
    if (HasAvx2()) {
        BgrToRgbxAvx2(bgr, pixels, count);
        return;
    }
#endif
    BgrToRgbxPlain(bgr, pixels, count);
}

void RgbxToBgr(const uint32_t* pixels, uint8_t* bgr, int count) {
#ifdef TAPESTRIX_X86
    if (HasAvx2()) {
        RgbxToBgrAvx2(pixels, bgr, count);
        return;
    }
#endif
    RgbxToBgrPlain(pixels, bgr, count);
}

void BgraToRgba(const uint8_t* bgra, uint32_t* pixels, int count) {
    for (int x = 0; x < count; ++x, bgra += 4)
        pixels[x] = uint32_t(bgra[2]) | uint32_t(bgra[1]) << 8 | uint32_t(bgra[0]) << 16 |
                    uint32_t(bgra[3]) << 24;
}

void RgbaToBgra(const uint32_t* pixels, uint8_t* bgra, int count) {
    for (int x = 0; x < count; ++x, bgra += 4) {
        const uint32_t p = pixels[x];
        bgra[0] = uint8_t(p >> 16);
        bgra[1] = uint8_t(p >> 8);
        bgra[2] = uint8_t(p);
        bgra[3] = uint8_t(p >> 24);
    }
}

void BlendRgbaOverBgr(const uint32_t* pixels, uint8_t* bgr, int count) {
    for (int x = 0; x < count; ++x, bgr += 3) {
        const uint32_t p = pixels[x];
        const uint32_t keep = 255 - (p >> 24);
        if (keep == 0) {
            bgr[0] = uint8_t(p >> 16);
            bgr[1] = uint8_t(p >> 8);
            bgr[2] = uint8_t(p);
        } else if (keep < 255 || (p & 0xFFFFFF) != 0) {
            bgr[0] = uint8_t((255 * ((p >> 16) & 0xFF) + keep * bgr[0] + 127) / 255);
            bgr[1] = uint8_t((255 * ((p >> 8) & 0xFF) + keep * bgr[1] + 127) / 255);
            bgr[2] = uint8_t((255 * (p & 0xFF) + keep * bgr[2] + 127) / 255);
        }
    }
}

void PremultipliedOverWhite(const uint8_t* bgra, uint8_t* bgr, int count) {
    for (int x = 0; x < count; ++x, bgra += 4, bgr += 3) {
        const unsigned keep = 255u - bgra[3];
        bgr[0] = uint8_t(bgra[0] + keep);
        bgr[1] = uint8_t(bgra[1] + keep);
        bgr[2] = uint8_t(bgra[2] + keep);
    }
}

void BlendBgraOverBgr(const uint8_t* bgra, uint8_t* bgr, int count) {
    uint32_t pixels[256];
    for (int x = 0; x < count; x += 256) {
        const int n = std::min(256, count - x);
        BgraToRgba(bgra + 4 * size_t(x), pixels, n);
        BlendRgbaOverBgr(pixels, bgr + 3 * size_t(x), n);
    }
}

} // namespace pixelrows
