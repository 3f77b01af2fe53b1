#include "imaging/TextureResampler.h"

#include "imaging/PixelRows.h"

#include "toolkit/SysUtils.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAPESTRIX_X86 1
#endif

namespace hvresample {

namespace {

std::atomic<int> gThreadCount{0};
std::atomic<TKernels> gKernelLimit{TKernels::Avx512};

TKernels Available();

// One sample position along an axis: the two source indices and the 8-bit weight of the second.
struct TTap {
    int32_t I0;
    int32_t I1;
    int32_t F;
};

// The bilinear lookup's index and weight for a normalised coordinate t, computed exactly as
// THvBitmap32::SampleBilinear computes them: T := t * (size - 1) in extended precision, i0 its
// floor, i1 the next index unless i0 is the last, f := floor((T - i0) * 256). Where both
// indices are the same the weight does not matter ((256 - f) * p + f * p = 256 * p); it is
// set to 0.
TTap Tap(long double t, int size) {
    const long double T = t * static_cast<long double>(size - 1);
    const long double whole = std::floor(T);
    TTap tap;
    if (!(whole < static_cast<long double>(size - 1))) {
        tap.I0 = tap.I1 = size - 1;
        tap.F = 0;
        return tap;
    }
    tap.I0 = whole < 0 ? 0 : int32_t(whole);
    tap.I1 = tap.I0 + 1;
    tap.F = int32_t(std::floor((T - static_cast<long double>(tap.I0)) * 256.0L));
    return tap;
}

// How a sum of N samples becomes the channel value: round(sum x (1 / N)) with 1 / N and the
// product in extended precision, halves to even (TColorSum's ScaleRound). The result rises with
// the sum, so it is fixed by the 255 sums where it steps up, found once per resampling.
class TMean {
public:
    explicit TMean(int64_t count) {
        FNorm = 1.0L / static_cast<long double>(count);
        const uint64_t maxSum = uint64_t(count) * 255;
        FBounds[0] = 0;
        for (int k = 1; k <= 255; ++k) {
            uint64_t s = uint64_t(std::max<long double>(0, (k - 0.5L) * count));
            s = std::min(s, maxSum);
            while (s > 0 && Exact(s - 1) >= k)
                --s;
            while (s <= maxSum && Exact(s) < k)
                ++s;
            FBounds[k] = s;
        }
        if (maxSum < (uint64_t(1) << 22)) {
            FTable.resize(size_t(maxSum) + 1);
            for (int k = 0; k <= 255; ++k) {
                const uint64_t from = FBounds[k];
                const uint64_t to = k == 255 ? maxSum + 1 : std::min(FBounds[k + 1], maxSum + 1);
                if (from < to)
                    std::memset(FTable.data() + from, k, size_t(to - from));
            }
        }
    }

    uint32_t operator()(uint64_t sum) const {
        if (sum < FTable.size())
            return FTable[size_t(sum)];
        return uint32_t(std::upper_bound(FBounds.begin() + 1, FBounds.end(), sum) -
                        FBounds.begin() - 1);
    }

private:
    int Exact(uint64_t sum) const {
        return int(
            std::clamp<int64_t>(RoundHalfEven(static_cast<long double>(sum) * FNorm), 0, 255));
    }

    long double FNorm;
    std::array<uint64_t, 256> FBounds{};
    std::vector<uint8_t> FTable;
};

// Everything about one resampling that does not depend on the pixels.
struct TPlan {
    int SW = 0, SH = 0, W = 0, H = 0, XF = 1, YF = 1;
    int S = 0;                // samples per sub-row: W * XF
    std::vector<int32_t> X0;  // per sample: left source column; X0 + 1 is readable if SW > 1
    std::vector<uint32_t> WX; // per sample: (256 - fx) | fx << 16
    std::vector<TTap> Rows;   // per sub-row (i * YF + b)
    TMean Mean;
    // The vector kernels: per sample the weights (256 - fx) x 4 then fx x 4 as 16-bit lanes;
    // per-sample sums in 16 bits (255 x YF must fit); the mean as a shift when XF x YF = 2^k.
    bool Vector = false; // a vector kernel runs (AVX2 or AVX-512)
    bool Wide = false;   // ... and it is AVX-512
    std::vector<uint16_t> WX8;
    int MeanShift = -1; // k when XF x YF = 2^k <= 256 and XF <= 2, else -1
    // Windows: for each group of 4 (AVX2) or 8 (AVX-512) samples whose neighbour pairs all lie
    // within 8 or 16 consecutive source pixels, the window's first pixel, else -1; and where in
    // the window each sample's two pixels are. One vector load and one permute then replace
    // eight or sixteen loads.
    std::vector<int32_t> Base4, Index4, Base8, Index8;

    TPlan(int sw, int sh, int w, int h, int xf, int yf)
        : SW(sw), SH(sh), W(w), H(h), XF(xf), YF(yf), Mean(int64_t(xf) * yf) {
        S = W * XF;
        X0.resize(size_t(S));
        WX.resize(size_t(S));
        // Coordinates by repeated addition: a column start grows by StepX after each output
        // column, and within it u grows by SubX after each sample (rows likewise).
        const long double stepX = 1.0L / static_cast<long double>(W);
        const long double subX = stepX / static_cast<long double>(XF);
        long double columnStart = 0;
        for (int j = 0; j < W; ++j) {
            long double u = columnStart;
            for (int a = 0; a < XF; ++a) {
                TTap t = Tap(u, SW);
                if (t.I0 == t.I1 && SW > 1) {
                    // The last column alone: read it as the right-hand pixel of the last pair.
                    t.I0 = SW - 2;
                    t.F = 256;
                }
                const size_t s = size_t(j) * XF + a;
                X0[s] = t.I0;
                WX[s] = uint32_t(256 - t.F) | uint32_t(t.F) << 16;
                u += subX;
            }
            columnStart += stepX;
        }
        Rows.resize(size_t(H) * YF);
        const long double stepY = 1.0L / static_cast<long double>(H);
        const long double subY = stepY / static_cast<long double>(YF);
        long double rowStart = 0;
        for (int i = 0; i < H; ++i) {
            long double v = rowStart;
            for (int b = 0; b < YF; ++b) {
                const TTap t = Tap(v, SH);
                Rows[size_t(i) * YF + b] = t;
                v += subY;
            }
            rowStart += stepY;
        }
        const TKernels kernels = Kernels();
        Vector = kernels != TKernels::Plain && SW > 1 && int64_t(YF) * 255 <= 0xFFFF;
        Wide = Vector && kernels == TKernels::Avx512;
        if (Vector) {
            WX8.resize(size_t(S) * 8);
            for (size_t s = 0; s < size_t(S); ++s)
                for (int k = 0; k < 4; ++k) {
                    WX8[8 * s + size_t(k)] = uint16_t(WX[s] & 0xFFFF);
                    WX8[8 * s + 4 + size_t(k)] = uint16_t(WX[s] >> 16);
                }
            const int64_t n = int64_t(XF) * YF;
            if (XF <= 2 && n <= 256 && std::has_single_bit(uint64_t(n)))
                MeanShift = std::countr_zero(uint64_t(n));
            MakeWindows(4, Base4, Index4);
            if (Wide)
                MakeWindows(8, Base8, Index8);
        }
    }

    void MakeWindows(int group, std::vector<int32_t>& base, std::vector<int32_t>& index) const {
        const int window = 2 * group;
        base.assign(size_t(S / group), -1);
        index.assign(size_t(S / group) * size_t(window), 0);
        for (int g = 0; g < S / group; ++g) {
            const int32_t first = X0[size_t(g * group)];
            const int32_t last = X0[size_t(g * group + group - 1)];
            if (last + 1 - first >= window || first + window > SW)
                continue; // not in one window, or the window would pass the row's end
            base[size_t(g)] = first;
            for (int k = 0; k < group; ++k) {
                index[size_t(g * window + 2 * k)] = X0[size_t(g * group + k)] - first;
                index[size_t(g * window + 2 * k + 1)] = X0[size_t(g * group + k)] - first + 1;
            }
        }
    }
};

#ifdef TAPESTRIX_X86
// The kernels below are compiled for AVX2 through GCC's and Clang's per-function target
// attribute and only called after the processor was asked whether it has AVX2; the rest of the
// program stays on the baseline instruction set.
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
__attribute__((target("avx2"))) inline __m256i RoundShiftAvx2(__m256i sum, int shift) {
    if (shift == 0)
        return sum;
    const __m128i count = _mm_cvtsi32_si128(shift);
    const __m256i half = _mm256_set1_epi16(int16_t((1 << (shift - 1)) - 1));
    const __m256i odd = _mm256_and_si256(_mm256_srl_epi16(sum, count), _mm256_set1_epi16(1));
    return _mm256_srl_epi16(_mm256_add_epi16(_mm256_add_epi16(sum, half), odd), count);
}

// Output pixels from the per-sample sums when XF x YF = 2^shift and XF is 1 or 2: the sum of
// each pixel's samples, rounded half to even by the shift, eight (XF 1) or four (XF 2) pixels
// per step.
__attribute__((target("avx2"))) void MeanShiftAvx2(const uint16_t* acc, int width, int xFactor,
                                                   int shift, uint32_t* out) {
    const __m256i mask = _mm256_set1_epi64x(0x0000FFFFFFFFFFFF); // R, G, B lanes; 4th is 0
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
        for (int c = 0; c < 3; ++c) {
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

inline uint32_t Channel(uint32_t pixel, int c) {
    return (pixel >> (8 * c)) & 0xFF;
}

// One thread's share: output rows, with the horizontally blended source rows it last used.
class TWorker {
public:
    TWorker(const TPlan& plan, const TPlane& source, const TPlane& target)
        : P(plan), FSource(source), FTarget(target) {
        if (source.Layout == TLayout::Bgr24)
            FLine.resize(size_t(plan.SW));
        if (target.Layout == TLayout::Bgr24 || target.BeforeStore)
            FOut.resize(size_t(plan.W));
        if (plan.Vector)
            FAcc16.resize(size_t(plan.S) * 4);
        else
            FAcc.resize(size_t(plan.S) * 4);
        for (auto& row : FRows)
            row.resize(size_t(plan.S) * 4);
    }

    // Computes output row i and stores it in the target.
    void OutputRow(int i) {
        uint8_t* row = FTarget.Data + FTarget.Stride * i;
        const bool direct = FTarget.Layout == TLayout::Rgbx32 && !FTarget.BeforeStore;
        uint32_t* out = direct ? reinterpret_cast<uint32_t*>(row) : FOut.data();
#ifdef TAPESTRIX_X86
        if (P.Vector)
            OutputRowAvx2(i, out);
        else
#endif
            OutputRowPlain(i, out);
        if (FTarget.BeforeStore)
            FTarget.BeforeStore(i);
        if (FTarget.Layout == TLayout::Bgr24)
            pixelrows::RgbxToBgr(out, row, P.W);
        else if (!direct)
            std::memcpy(row, out, size_t(P.W) * 4);
        if (FTarget.AfterStore)
            FTarget.AfterStore(i);
    }

private:
    void OutputRowPlain(int i, uint32_t* out) {
        std::fill(FAcc.begin(), FAcc.end(), 0u);
        const size_t lanes = size_t(P.S) * 4;
        for (int b = 0; b < P.YF; ++b) {
            const TTap& t = P.Rows[size_t(i) * P.YF + b];
            const int slot0 = Slot(t.I0, -1);
            const int slot1 = t.I1 == t.I0 ? slot0 : Slot(t.I1, slot0);
            const uint16_t* h0 = FRows[slot0].data();
            const uint16_t* h1 = FRows[slot1].data();
            const uint32_t w0 = uint32_t(256 - t.F), w1 = uint32_t(t.F);
            uint32_t* acc = FAcc.data();
            for (size_t k = 0; k < lanes; ++k)
                acc[k] += (w0 * h0[k] + w1 * h1[k]) >> 16;
        }
        const uint32_t* acc = FAcc.data();
        for (int j = 0; j < P.W; ++j) {
            uint64_t sum[3] = {0, 0, 0};
            for (int a = 0; a < P.XF; ++a, acc += 4) {
                sum[0] += acc[0];
                sum[1] += acc[1];
                sum[2] += acc[2];
            }
            out[j] = P.Mean(sum[0]) | P.Mean(sum[1]) << 8 | P.Mean(sum[2]) << 16;
        }
    }

#ifdef TAPESTRIX_X86
    void OutputRowAvx2(int i, uint32_t* out) {
        std::fill(FAcc16.begin(), FAcc16.end(), uint16_t(0));
        const size_t lanes = size_t(P.S) * 4;
        for (int b = 0; b < P.YF; ++b) {
            const TTap& t = P.Rows[size_t(i) * P.YF + b];
            const int slot0 = Slot(t.I0, -1);
            const int slot1 = t.I1 == t.I0 ? slot0 : Slot(t.I1, slot0);
            (P.Wide ? VerticalAvx512 : VerticalAvx2)(FRows[slot0].data(), FRows[slot1].data(),
                                                     uint32_t(256 - t.F), uint32_t(t.F),
                                                     FAcc16.data(), lanes);
        }
        if (P.MeanShift >= 0) {
            MeanShiftAvx2(FAcc16.data(), P.W, P.XF, P.MeanShift, out);
            return;
        }
        const uint16_t* acc = FAcc16.data();
        for (int j = 0; j < P.W; ++j) {
            uint32_t sum[3] = {0, 0, 0};
            for (int a = 0; a < P.XF; ++a, acc += 4) {
                sum[0] += acc[0];
                sum[1] += acc[1];
                sum[2] += acc[2];
            }
            out[j] = P.Mean(sum[0]) | P.Mean(sum[1]) << 8 | P.Mean(sum[2]) << 16;
        }
    }
#endif

    // The slot holding source row y blended horizontally, computing it into the slot used
    // longest ago (never into `keep`) when it is not there.
    int Slot(int y, int keep) {
        for (int s = 0; s < 2; ++s)
            if (FRowOf[s] == y) {
                FUsed[s] = ++FTick;
                return s;
            }
        int s = FUsed[0] <= FUsed[1] ? 0 : 1;
        if (s == keep)
            s = 1 - s;
        const uint8_t* line = FSource.RowAt ? FSource.RowAt(y) : FSource.Data + FSource.Stride * y;
        if (FSource.Layout == TLayout::Bgr24) {
            pixelrows::BgrToRgbx(line, FLine.data(), P.SW);
            Horizontal(FLine.data(), FRows[s].data());
        } else {
            Horizontal(reinterpret_cast<const uint32_t*>(line), FRows[s].data());
        }
        FRowOf[s] = y;
        FUsed[s] = ++FTick;
        return s;
    }

    // h = (256 - fx) * p[x0] + fx * p[x0 + 1] per channel: at most 65280, kept in 16 bits.
    void Horizontal(const uint32_t* line, uint16_t* h) const {
#ifdef TAPESTRIX_X86
        if (P.Vector) {
            if (P.Wide)
                HorizontalAvx512(line, P.X0.data(), P.WX8.data(), P.S, h, P.Base4.data(),
                                 P.Index4.data(), P.Base8.data(), P.Index8.data());
            else
                HorizontalAvx2(line, P.X0.data(), P.WX8.data(), P.S, h, P.Base4.data(),
                               P.Index4.data());
            return;
        }
#endif
        if (P.SW == 1) {
            const uint32_t p = line[0];
            for (int s = 0; s < P.S; ++s, h += 4) {
                h[0] = uint16_t(256 * Channel(p, 0));
                h[1] = uint16_t(256 * Channel(p, 1));
                h[2] = uint16_t(256 * Channel(p, 2));
                h[3] = 0;
            }
            return;
        }
        for (int s = 0; s < P.S; ++s, h += 4) {
            const uint32_t* p = line + P.X0[size_t(s)];
            const uint32_t a = p[0], b = p[1];
            const uint32_t w0 = P.WX[size_t(s)] & 0xFFFF, w1 = P.WX[size_t(s)] >> 16;
            h[0] = uint16_t(w0 * Channel(a, 0) + w1 * Channel(b, 0));
            h[1] = uint16_t(w0 * Channel(a, 1) + w1 * Channel(b, 1));
            h[2] = uint16_t(w0 * Channel(a, 2) + w1 * Channel(b, 2));
            h[3] = 0;
        }
    }

    const TPlan& P;
    TPlane FSource;
    TPlane FTarget;
    std::vector<uint32_t> FLine;  // a 24-bit source row as pixels
    std::vector<uint32_t> FOut;   // an output row before it goes into a 24-bit target
    std::vector<uint32_t> FAcc;   // per-sample sums, scalar path
    std::vector<uint16_t> FAcc16; // per-sample sums, vector path
    std::array<std::vector<uint16_t>, 2> FRows;
    std::array<int, 2> FRowOf{-1, -1};
    std::array<uint64_t, 2> FUsed{0, 0};
    uint64_t FTick = 0;
};

// Hands out chunks of output rows, publishes progress, and stops everyone on cancel.
class TRowQueue {
public:
    TRowQueue(int rows, int chunk, TProgressVar* progress, TCancelVar* cancel)
        : FRows(rows), FChunk(chunk), FProgress(progress), FCancel(cancel),
          FFinished(size_t(rows), 0) {}

    // The next chunk [first, last); false when none is left.
    bool Next(int& first, int& last) {
        first = FNext.fetch_add(FChunk);
        if (first >= FRows)
            return false;
        last = std::min(FRows, first + FChunk);
        return true;
    }

    bool Cancelled() const { return FCancel && FCancel->load(); }

    // Row i is finished (each row by one thread; read after the workers joined).
    void RowDone(int i) {
        FFinished[size_t(i)] = 1;
        const int64_t done = FDone.fetch_add(1) + 1;
        if (!FProgress)
            return;
        const int32_t percent = int32_t(done * 100 / FRows);
        std::lock_guard<std::mutex> lock(FMutex);
        if (percent > FPublished) {
            FPublished = percent;
            FProgress->store(percent);
        }
    }

private:
    const int FRows;
    const int FChunk;
    TProgressVar* FProgress;
    TCancelVar* FCancel;
    std::atomic<int> FNext{0};
    std::atomic<int64_t> FDone{0};
    std::mutex FMutex;
    int32_t FPublished = 0;

public:
    std::vector<uint8_t> FFinished;
};

void Work(TWorker& worker, TRowQueue& queue) {
    int first = 0, last = 0;
    while (queue.Next(first, last)) {
        for (int i = first; i < last; ++i) {
            if (queue.Cancelled())
                return;
            worker.OutputRow(i);
            queue.RowDone(i);
        }
    }
}

} // namespace

void SetThreadCount(int count) {
    gThreadCount.store(std::max(0, count));
}

int ThreadCount() {
    return gThreadCount.load();
}

void SetKernelLimit(TKernels limit) {
    gKernelLimit.store(limit);
}

TKernels Kernels() {
    return std::min(Available(), gKernelLimit.load());
}

void Resample(const TPlane& source, const TPlane& target, int xFactor, int yFactor,
              TProgressVar* progress, TCancelVar* cancel) {
    if (progress)
        progress->store(0);
    const int width = target.Width, height = target.Height;
    if (width > 0 && height > 0) {
        const TPlan plan(source.Width, source.Height, width, height, xFactor, yFactor);

        // Small jobs are not worth a thread; large ones use every processor.
        int threads = gThreadCount.load();
        if (threads == 0) {
            const double work = double(plan.S) * height * yFactor + double(plan.S) * source.Height;
            threads = work < 2.0e6 ? 1 : int(std::max(1u, std::thread::hardware_concurrency()));
        }
        threads = std::clamp(threads, 1, std::min(height, 64));
        if (source.RowAt)
            threads = 1; // its rows come one after another
        const int chunk = std::max(1, height / (threads * 8));

        TRowQueue queue(height, chunk, progress, cancel);
        std::vector<TWorker> workers;
        workers.reserve(size_t(threads));
        for (int t = 0; t < threads; ++t)
            workers.emplace_back(plan, source, target);
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; ++t) {
            try {
                pool.emplace_back(Work, std::ref(workers[size_t(t)]), std::ref(queue));
            } catch (const std::system_error&) {
                break; // fewer helpers; the calling thread does the rest
            }
        }
        Work(workers[0], queue);
        for (std::thread& t : pool)
            t.join();
        // After a cancel the rows not computed are black, as in a new texture.
        const size_t rowBytes = size_t(width) * (target.Layout == TLayout::Bgr24 ? 3 : 4);
        for (int i = 0; i < height; ++i)
            if (!queue.FFinished[size_t(i)])
                std::memset(target.Data + target.Stride * i, 0, rowBytes);
    }
    if (progress)
        progress->store(100);
}

} // namespace hvresample
