#include "imaging/ResamplerKernels.h"

#ifdef TAPESTRIX_X86
#include <immintrin.h>
#endif

namespace hvresample::kernels {

#ifdef TAPESTRIX_X86
TKernels Available() {
    static const TKernels available = __builtin_cpu_supports("avx512bw") ? TKernels::Avx512
                                      : __builtin_cpu_supports("avx2")   ? TKernels::Avx2
                                                                         : TKernels::Plain;
    return available;
}

// h = (256 - fx) * p[x0] + fx * p[x0 + 1] per channel, four samples per step. Each sample's two
// neighbours are one 8-byte load; products and sums stay below 65536, so 16-bit lanes hold them
// exactly.
__attribute__((target("avx2"))) void HorizontalAvx2(const uint32_t* line, const int32_t* x0,
                                                    const uint16_t* weights, int count, uint16_t* h,
                                                    const int32_t* base, const int32_t* index) {
    int s = 0;
    for (; s + 4 <= count; s += 4) {
        const int32_t first = base[s / 4];
        _mm_prefetch(reinterpret_cast<const char*>(line + x0[s] + 256), _MM_HINT_T0);
        __m128i a, b;
        if (first >= 0) {
            const __m256i window =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + first));
            const __m256i pairs = _mm256_permutevar8x32_epi32(
                window, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + 2 * s)));
            a = _mm256_castsi256_si128(pairs);
            b = _mm256_extracti128_si256(pairs, 1);
        } else {
            a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + x0[s]));
            a = _mm_castpd_si128(_mm_loadh_pd(_mm_castsi128_pd(a),
                                              reinterpret_cast<const double*>(line + x0[s + 1])));
            b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + x0[s + 2]));
            b = _mm_castpd_si128(_mm_loadh_pd(_mm_castsi128_pd(b),
                                              reinterpret_cast<const double*>(line + x0[s + 3])));
        }
        __m256i pa = _mm256_cvtepu8_epi16(a);
        __m256i pb = _mm256_cvtepu8_epi16(b);
        pa = _mm256_mullo_epi16(
            pa, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + 8 * size_t(s))));
        pb = _mm256_mullo_epi16(
            pb, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + 8 * size_t(s + 2))));
        pa = _mm256_add_epi16(pa, _mm256_srli_si256(pa, 8));
        pb = _mm256_add_epi16(pb, _mm256_srli_si256(pb, 8));
        __m256i r = _mm256_unpacklo_epi64(pa, pb); // samples s, s + 2 | s + 1, s + 3
        r = _mm256_permute4x64_epi64(r, _MM_SHUFFLE(3, 1, 2, 0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(h + 4 * size_t(s)), r);
    }
    for (; s < count; ++s) {
        const uint32_t* p = line + x0[s];
        const uint32_t w0 = weights[8 * size_t(s)], w1 = weights[8 * size_t(s) + 4];
        for (int c = 0; c < 4; ++c)
            h[4 * size_t(s) + size_t(c)] =
                uint16_t(w0 * ((p[0] >> (8 * c)) & 0xFF) + w1 * ((p[1] >> (8 * c)) & 0xFF));
    }
}

// acc += (w0 * h0 + w1 * h1) >> 16 on 16-bit lanes. The 32-bit sum of the two products is put
// together from their high and low halves: high0 + high1, plus one where the low halves
// overflow (their wrapped sum differs from their saturated sum).
__attribute__((target("avx2"))) void VerticalAvx2(const uint16_t* h0, const uint16_t* h1,
                                                  uint32_t w0, uint32_t w1, uint16_t* acc,
                                                  size_t lanes) {
    const __m256i vw0 = _mm256_set1_epi16(int16_t(w0));
    const __m256i vw1 = _mm256_set1_epi16(int16_t(w1));
    const __m256i one = _mm256_set1_epi16(1);
    size_t k = 0;
    for (; k + 16 <= lanes; k += 16) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h0 + k));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h1 + k));
        const __m256i lo0 = _mm256_mullo_epi16(a, vw0), hi0 = _mm256_mulhi_epu16(a, vw0);
        const __m256i lo1 = _mm256_mullo_epi16(b, vw1), hi1 = _mm256_mulhi_epu16(b, vw1);
        const __m256i noCarry =
            _mm256_cmpeq_epi16(_mm256_add_epi16(lo0, lo1), _mm256_adds_epu16(lo0, lo1));
        const __m256i r =
            _mm256_add_epi16(_mm256_add_epi16(hi0, hi1), _mm256_add_epi16(one, noCarry));
        __m256i* out = reinterpret_cast<__m256i*>(acc + k);
        _mm256_storeu_si256(out, _mm256_add_epi16(_mm256_loadu_si256(out), r));
    }
    for (; k < lanes; ++k)
        acc[k] = uint16_t(acc[k] + ((w0 * h0[k] + w1 * h1[k]) >> 16));
}

// round(sum / 2^shift), halves to even, on 16-bit lanes (sum + 2^(shift-1) - 1 + the lowest
// kept bit, shifted).
namespace {

__attribute__((target("avx2"))) inline __m256i RoundShiftAvx2(__m256i sum, int shift) {
    if (shift == 0)
        return sum;
    const __m128i count = _mm_cvtsi32_si128(shift);
    const __m256i half = _mm256_set1_epi16(int16_t((1 << (shift - 1)) - 1));
    const __m256i odd = _mm256_and_si256(_mm256_srl_epi16(sum, count), _mm256_set1_epi16(1));
    return _mm256_srl_epi16(_mm256_add_epi16(_mm256_add_epi16(sum, half), odd), count);
}

} // namespace

// Output pixels from the per-sample sums when XF x YF = 2^shift and XF is 1 or 2: the sum of
// each pixel's samples, rounded half to even by the shift, eight (XF 1) or four (XF 2) pixels
// per step.
__attribute__((target("avx2"))) void MeanShiftAvx2(const uint16_t* acc, int width, int xFactor,
                                                   int shift, bool alpha, uint32_t* out) {
    // R, G, B lanes, and the 4th (alpha) only when there is one.
    const __m256i mask = _mm256_set1_epi64x(alpha ? -1 : 0x0000FFFFFFFFFFFF);
    int j = 0;
    if (xFactor == 1) {
        for (; j + 8 <= width; j += 8) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + 4 * j));
            const __m256i b =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + 4 * j + 16));
            const __m256i ma = _mm256_and_si256(RoundShiftAvx2(a, shift), mask),
                          mb = _mm256_and_si256(RoundShiftAvx2(b, shift), mask);
            const __m256i packed =
                _mm256_permute4x64_epi64(_mm256_packus_epi16(ma, mb), _MM_SHUFFLE(3, 1, 2, 0));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), packed);
        }
    } else {
        for (; j + 4 <= width; j += 4) {
            // Samples 2j, 2j + 1 of four pixels: add each pair's halves.
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + 8 * j));
            const __m256i b =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + 8 * j + 16));
            const __m256i sa = _mm256_add_epi16(a, _mm256_srli_si256(a, 8));
            const __m256i sb = _mm256_add_epi16(b, _mm256_srli_si256(b, 8));
            const __m256i sums =
                _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(sa, sb), _MM_SHUFFLE(3, 1, 2, 0));
            const __m256i m = _mm256_and_si256(RoundShiftAvx2(sums, shift), mask);
            const __m256i packed =
                _mm256_packus_epi16(m, m); // pixels in the low 8 bytes of each lane
            const __m256i ordered = _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm256_castsi256_si128(ordered));
        }
    }
    for (; j < width; ++j) {
        uint32_t pixel = 0;
        for (int c = 0; c < (alpha ? 4 : 3); ++c) {
            uint32_t sum = 0;
            for (int a = 0; a < xFactor; ++a)
                sum += acc[4 * (size_t(j) * xFactor + size_t(a)) + size_t(c)];
            const uint32_t value =
                shift == 0 ? sum : (sum + (1u << (shift - 1)) - 1 + ((sum >> shift) & 1)) >> shift;
            pixel |= value << (8 * c);
        }
        out[j] = pixel;
    }
}
// The same two kernels eight samples (horizontal) and 32 lanes (vertical) at a time, for
// processors with AVX-512 (byte and word instructions).

// The neighbour pairs of samples s .. s + 3, 8 bytes each.
namespace {

__attribute__((target("avx512f,avx512bw"))) inline __m256i Pairs(const uint32_t* line,
                                                                 const int32_t* x0, int s) {
    __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + x0[s]));
    a = _mm_castpd_si128(
        _mm_loadh_pd(_mm_castsi128_pd(a), reinterpret_cast<const double*>(line + x0[s + 1])));
    __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + x0[s + 2]));
    b = _mm_castpd_si128(
        _mm_loadh_pd(_mm_castsi128_pd(b), reinterpret_cast<const double*>(line + x0[s + 3])));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
}

} // namespace

__attribute__((target("avx512f,avx512bw"))) void
HorizontalAvx512(const uint32_t* line, const int32_t* x0, const uint16_t* weights, int count,
                 uint16_t* h, const int32_t* base4, const int32_t* index4, const int32_t* base8,
                 const int32_t* index8) {
    const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    int s = 0;
    // (The zero-masked forms avoid GCC 12's false "may be used uninitialized" warning from the
    // plain forms' undefined merge source; with a full mask they are the same instructions.)
    for (; s + 8 <= count; s += 8) {
        __m256i lo, hi;
        const int32_t first = base8[s / 8];
        _mm_prefetch(reinterpret_cast<const char*>(line + x0[s] + 256), _MM_HINT_T0);
        if (first >= 0) {
            const __m512i pairs = _mm512_maskz_permutexvar_epi32(
                0xFFFF, _mm512_loadu_si512(index8 + 2 * s), _mm512_loadu_si512(line + first));
            lo = _mm512_maskz_extracti64x4_epi64(0xF, pairs, 0);
            hi = _mm512_maskz_extracti64x4_epi64(0xF, pairs, 1);
        } else {
            lo = Pairs(line, x0, s);
            hi = Pairs(line, x0, s + 4);
        }
        __m512i pa = _mm512_cvtepu8_epi16(lo);
        __m512i pb = _mm512_cvtepu8_epi16(hi);
        pa = _mm512_mullo_epi16(pa, _mm512_loadu_si512(weights + 8 * size_t(s)));
        pb = _mm512_mullo_epi16(pb, _mm512_loadu_si512(weights + 8 * size_t(s + 4)));
        pa = _mm512_add_epi16(pa, _mm512_bsrli_epi128(pa, 8));
        pb = _mm512_add_epi16(pb, _mm512_bsrli_epi128(pb, 8));
        const __m512i r =
            _mm512_maskz_permutexvar_epi64(0xFF, order, _mm512_maskz_unpacklo_epi64(0xFF, pa, pb));
        _mm512_storeu_si512(h + 4 * size_t(s), r);
    }
    if (s < count)
        HorizontalAvx2(line, x0 + s, weights + 8 * size_t(s), count - s, h + 4 * size_t(s),
                       base4 + s / 4, index4 + 2 * s);
}

__attribute__((target("avx512f,avx512bw"))) void VerticalAvx512(const uint16_t* h0,
                                                                const uint16_t* h1, uint32_t w0,
                                                                uint32_t w1, uint16_t* acc,
                                                                size_t lanes) {
    const __m512i vw0 = _mm512_set1_epi16(int16_t(w0));
    const __m512i vw1 = _mm512_set1_epi16(int16_t(w1));
    const __m512i one = _mm512_set1_epi16(1);
    size_t k = 0;
    for (; k + 32 <= lanes; k += 32) {
        const __m512i a = _mm512_loadu_si512(h0 + k);
        const __m512i b = _mm512_loadu_si512(h1 + k);
        const __m512i lo0 = _mm512_mullo_epi16(a, vw0), hi0 = _mm512_mulhi_epu16(a, vw0);
        const __m512i lo1 = _mm512_mullo_epi16(b, vw1), hi1 = _mm512_mulhi_epu16(b, vw1);
        const __mmask32 carry =
            _mm512_cmpneq_epi16_mask(_mm512_add_epi16(lo0, lo1), _mm512_adds_epu16(lo0, lo1));
        __m512i r = _mm512_add_epi16(hi0, hi1);
        r = _mm512_mask_add_epi16(r, carry, r, one);
        _mm512_storeu_si512(acc + k, _mm512_add_epi16(_mm512_loadu_si512(acc + k), r));
    }
    if (k < lanes)
        VerticalAvx2(h0 + k, h1 + k, w0, w1, acc + k, lanes - k);
}
#else
TKernels Available() {
    return TKernels::Plain;
}
#endif

} // namespace hvresample::kernels
