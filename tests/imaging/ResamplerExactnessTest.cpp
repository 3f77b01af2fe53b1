// The production resampler against the plain reference, bit for bit, over randomised sources,
// sizes and factors.
#include "ReferenceResampler.h"
#include "imaging/TextureResampler.h"
#include "imaging/Textures.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

enum class Content { Random, Uniform, Gradient, Checker };

THvBitmap32 MakeSource(std::mt19937_64& rng, int w, int h, Content content) {
    THvBitmap32 t(w, h, 0u);
    const uint32_t base = uint32_t(rng()) & 0xFFFFFF;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint32_t p = 0;
            switch (content) {
            case Content::Random:
                p = uint32_t(rng()) & 0xFFFFFF;
                break;
            case Content::Uniform:
                p = base;
                break;
            case Content::Gradient:
                p = uint32_t(x * 255 / std::max(1, w - 1)) |
                    uint32_t(y * 255 / std::max(1, h - 1)) << 8 | ((x + y) & 0xFF) << 16;
                break;
            case Content::Checker:
                p = ((x + y) & 1) ? 0xFFFFFF : 0;
                break;
            }
            t.SetPixel(x, y, p);
        }
    return t;
}

struct ThreadCountGuard {
    explicit ThreadCountGuard(int n) : FOld(hvresample::ThreadCount()) {
        hvresample::SetThreadCount(n);
    }
    ~ThreadCountGuard() { hvresample::SetThreadCount(FOld); }
    int FOld;
};

// Compares one case; returns false (with a description) at the first differing pixel.
::testing::AssertionResult Same(const THvBitmap32& source, const THvBitmap32& produced,
                                const reference::Image& expected, const std::string& what) {
    if (produced.Width() != expected.Width || produced.Height() != expected.Height)
        return ::testing::AssertionFailure()
               << what << ": size " << produced.Width() << "x" << produced.Height() << ", expected "
               << expected.Width << "x" << expected.Height;
    for (int y = 0; y < expected.Height; ++y)
        for (int x = 0; x < expected.Width; ++x)
            if (produced.Pixel(x, y) != expected.At(x, y))
                return ::testing::AssertionFailure()
                       << what << " from " << source.Width() << "x" << source.Height()
                       << ": pixel (" << x << "," << y << ") is " << std::hex
                       << produced.Pixel(x, y) << ", expected " << expected.At(x, y);
    return ::testing::AssertionSuccess();
}

struct Counts {
    int Cases = 0;
    int64_t Pixels = 0;
    int64_t Samples = 0;
};

void CheckSize(std::mt19937_64& rng, Counts& counts, int sw, int sh, int w, int h,
               Content content) {
    const THvBitmap32 source = MakeSource(rng, sw, sh, content);
    int xf = 1, yf = 1;
    const reference::Image expected =
        reference::ResampleSize(reference::FromTexture(source), w, h, &xf, &yf);
    const THvBitmap32 produced(source, w, h, nullptr, nullptr);
    ASSERT_TRUE(
        Same(source, produced, expected, "size " + std::to_string(w) + "x" + std::to_string(h)));
    ++counts.Cases;
    counts.Pixels += int64_t(w) * h;
    counts.Samples += int64_t(w) * h * xf * yf;
}

void CheckFactors(std::mt19937_64& rng, Counts& counts, int sw, int sh, int w, int h, int xf,
                  int yf, Content content) {
    const THvBitmap32 source = MakeSource(rng, sw, sh, content);
    const reference::Image expected =
        reference::ResampleFactors(reference::FromTexture(source), w, h, xf, yf);
    const THvBitmap32 produced(source, w, h, xf, yf, nullptr, nullptr);
    ASSERT_TRUE(Same(source, produced, expected,
                     "size " + std::to_string(w) + "x" + std::to_string(h) + " factors " +
                         std::to_string(xf) + "x" + std::to_string(yf)));
    ++counts.Cases;
    counts.Pixels += int64_t(w) * h;
    counts.Samples += int64_t(w) * h * xf * yf;
}

Content PickContent(std::mt19937_64& rng) {
    const int r = int(rng() % 10);
    return r < 7   ? Content::Random
           : r < 8 ? Content::Uniform
           : r < 9 ? Content::Gradient
                   : Content::Checker;
}

int Between(std::mt19937_64& rng, int lo, int hi) {
    return lo + int(rng() % uint64_t(hi - lo + 1));
}

void RunRandomised(uint64_t seed, Counts& counts) {
    std::mt19937_64 rng(seed);
    // Every other case spreads its rows over three threads, so chunk boundaries fall inside the
    // reuse of blended source rows.
    int n = 0;
    const auto threads = [&n] { return ThreadCountGuard(++n % 2 ? 1 : 3); };
    // Reductions and enlargements of small pictures, factors chosen from the sizes.
    for (int k = 0; k < 5000; ++k) {
        const auto guard = threads();
        const int sw = Between(rng, 1, 32), sh = Between(rng, 1, 32);
        const int w = Between(rng, 1, 32), h = Between(rng, 1, 32);
        ASSERT_NO_FATAL_FAILURE(CheckSize(rng, counts, sw, sh, w, h, PickContent(rng)));
    }
    // Same size: every pixel is a mix of two neighbours, not a copy.
    for (int k = 0; k < 1000; ++k) {
        const auto guard = threads();
        const int w = Between(rng, 1, 48), h = Between(rng, 1, 48);
        ASSERT_NO_FATAL_FAILURE(CheckSize(rng, counts, w, h, w, h, PickContent(rng)));
    }
    // One pixel out, one pixel in.
    for (int k = 0; k < 600; ++k) {
        const auto guard = threads();
        ASSERT_NO_FATAL_FAILURE(CheckSize(rng, counts, Between(rng, 1, 40), Between(rng, 1, 40), 1,
                                          1, PickContent(rng)));
        ASSERT_NO_FATAL_FAILURE(CheckSize(rng, counts, 1, 1, Between(rng, 1, 40),
                                          Between(rng, 1, 40), PickContent(rng)));
    }
    // Extreme aspect ratios, both ways, in and out.
    for (int k = 0; k < 800; ++k) {
        const auto guard = threads();
        const int longSide = Between(rng, 40, 400);
        const int w = Between(rng, 1, 12), h = Between(rng, 1, 12);
        if (k % 2)
            ASSERT_NO_FATAL_FAILURE(
                CheckSize(rng, counts, longSide, Between(rng, 1, 2), w, h, PickContent(rng)));
        else
            ASSERT_NO_FATAL_FAILURE(
                CheckSize(rng, counts, Between(rng, 1, 2), longSide, w, h, PickContent(rng)));
        ASSERT_NO_FATAL_FAILURE(CheckSize(rng, counts, Between(rng, 2, 12), Between(rng, 2, 12),
                                          k % 2 ? longSide : 1, k % 2 ? 1 : longSide,
                                          PickContent(rng)));
    }
    // Explicit factors, including more than a reduction needs and some with an enlargement.
    for (int k = 0; k < 1500; ++k) {
        const auto guard = threads();
        const int sw = Between(rng, 1, 24), sh = Between(rng, 1, 24);
        const int w = Between(rng, 1, 24), h = Between(rng, 1, 24);
        ASSERT_NO_FATAL_FAILURE(CheckFactors(rng, counts, sw, sh, w, h, Between(rng, 1, 5),
                                             Between(rng, 1, 5), PickContent(rng)));
    }
}

struct KernelLimitGuard {
    explicit KernelLimitGuard(hvresample::TKernels limit) { hvresample::SetKernelLimit(limit); }
    ~KernelLimitGuard() { hvresample::SetKernelLimit(hvresample::TKernels::Avx512); }
};

const char* KernelName(hvresample::TKernels k) {
    return k == hvresample::TKernels::Avx512 ? "AVX-512"
           : k == hvresample::TKernels::Avx2 ? "AVX2"
                                             : "plain";
}

TEST(ResamplerExactness, RandomisedCasesMatchTheReference) {
    Counts counts;
    ASSERT_NO_FATAL_FAILURE(RunRandomised(0x7A9E5721u, counts));
    EXPECT_GE(counts.Cases, 10000);
    std::printf("(%s kernels)\n", KernelName(hvresample::Kernels()));
    RecordProperty("cases", counts.Cases);
    std::printf("resampler exactness: %d cases, %lld pixels, %lld samples compared\n", counts.Cases,
                static_cast<long long>(counts.Pixels), static_cast<long long>(counts.Samples));
}

TEST(ResamplerExactness, EveryKernelMatchesTheReference) {
    // The best kernels ran above; the ones below them run here.
    const hvresample::TKernels best = hvresample::Kernels();
    for (const hvresample::TKernels limit :
         {hvresample::TKernels::Plain, hvresample::TKernels::Avx2}) {
        if (limit >= best)
            continue;
        KernelLimitGuard guard(limit);
        Counts counts;
        std::mt19937_64 rng(0xB0A710u + uint64_t(limit));
        for (int k = 0; k < 1500; ++k) {
            hvresample::SetThreadCount(k % 2 ? 1 : 3);
            ASSERT_NO_FATAL_FAILURE(CheckSize(rng, counts, Between(rng, 1, 32), Between(rng, 1, 32),
                                              Between(rng, 1, 32), Between(rng, 1, 32),
                                              PickContent(rng)));
            ASSERT_NO_FATAL_FAILURE(CheckFactors(
                rng, counts, Between(rng, 1, 20), Between(rng, 1, 20), Between(rng, 1, 20),
                Between(rng, 1, 20), Between(rng, 1, 4), Between(rng, 1, 4), PickContent(rng)));
        }
        ASSERT_NO_FATAL_FAILURE(CheckSize(rng, counts, 640, 480, 200, 150, Content::Random));
        hvresample::SetThreadCount(0);
        std::printf("%s kernels: %d cases\n", KernelName(limit), counts.Cases);
    }
}

TEST(ResamplerExactness, PicturesOfRealisticSizes) {
    // A few sizes like the program's: previews of photos, screens, odd sizes.
    struct Case {
        int sw, sh, w, h;
    };
    const Case cases[] = {
        {640, 480, 200, 150}, {1023, 767, 512, 384}, {120, 90, 400, 300},
        {257, 129, 1000, 3},  {97, 1201, 61, 89},
    };
    std::mt19937_64 rng(42);
    Counts counts;
    ThreadCountGuard guard(2);
    for (const Case& c : cases)
        ASSERT_NO_FATAL_FAILURE(CheckSize(rng, counts, c.sw, c.sh, c.w, c.h, Content::Random));
    // Vertical factors beyond what 16-bit sums hold, and the plain kernels on large rows.
    ASSERT_NO_FATAL_FAILURE(CheckSize(rng, counts, 30, 2000, 7, 5, Content::Random));
}

TEST(ResamplerExactness, HugeFactorsKeepSumsExact) {
    // 255 x 70,000 samples passes 2^24: a single-precision accumulator would lose low bits here.
    std::mt19937_64 rng(7);
    Counts counts;
    ASSERT_NO_FATAL_FAILURE(CheckSize(rng, counts, 700, 400, 2, 2, Content::Random));
    const THvBitmap32 white(700, 400, 0x00FFFFFFu);
    const THvBitmap32 small(white, 1, 1, nullptr, nullptr); // 700 x 400 samples
    EXPECT_EQ(small.Pixel(0, 0), 0x00FFFFFFu);
}

} // namespace
