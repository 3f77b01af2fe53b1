// The texture resampler and the conversions around it, on deterministic pictures.
//
//   bench_imaging [--benchmark_filter=...] [--benchmark_repetitions=N]
//
// Sources are made here from a fixed formula, so every run resamples the same pixels.
#include "imaging/TextureResampler.h"
#include "imaging/Textures.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <memory>

namespace {

// A picture with smooth areas, edges and fine detail, like a photograph's mix.
std::unique_ptr<THvBitmap32> MakeTexture(int w, int h) {
    auto t = std::make_unique<THvBitmap32>(w, h, 0u);
    uint32_t noise = 12345;
    for (int y = 0; y < h; ++y) {
        uint32_t* row = t->Pixels(y);
        for (int x = 0; x < w; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const double fx = double(x) / w, fy = double(y) / h;
            const int r = int(128 + 100 * std::sin(fx * 23 + fy * 7)) + int(noise >> 28);
            const int g = int(255 * fy) ^ ((x / 64 + y / 64) & 1 ? 0x30 : 0);
            const int b = int(128 + 120 * std::cos((fx - 0.5) * (fy - 0.3) * 90));
            row[x] = uint32_t(r & 0xFF) | uint32_t(g & 0xFF) << 8 | uint32_t(b & 0xFF) << 16;
        }
    }
    return t;
}

const THvBitmap32& Source(int w, int h) {
    static std::map<std::pair<int, int>, std::unique_ptr<THvBitmap32>> cache;
    auto& slot = cache[{w, h}];
    if (!slot)
        slot = MakeTexture(w, h);
    return *slot;
}

// Args: source width, source height, target width, target height, threads (0: automatic),
// kernels (2: the best the processor has, 1: at most AVX2, 0: plain).
void BM_Resample(benchmark::State& state) {
    const THvBitmap32& source = Source(int(state.range(0)), int(state.range(1)));
    hvresample::SetThreadCount(int(state.range(4)));
    hvresample::SetKernelLimit(hvresample::TKernels(state.range(5)));
    TProgressVar progress{0};
    TCancelVar cancel{false};
    for (auto _ : state) {
        THvBitmap32 out(source, int(state.range(2)), int(state.range(3)), &progress, &cancel);
        benchmark::DoNotOptimize(out.Pixels(0));
    }
    hvresample::SetThreadCount(0);
    hvresample::SetKernelLimit(hvresample::TKernels::Avx512);
}

BENCHMARK(BM_Resample)
    ->ArgNames({"sw", "sh", "w", "h", "threads", "kernels"})
    ->ArgsProduct({{6000}, {4000}, {3840}, {2160}, {0, 1}, {2, 1, 0}})
    ->ArgsProduct({{6000}, {4000}, {200}, {150}, {0, 1}, {2, 1, 0}})
    ->ArgsProduct({{1920}, {1080}, {3840}, {2160}, {0, 1}, {2, 1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_BitmapToTexture(benchmark::State& state) {
    const THvBitmap32& source = Source(int(state.range(0)), int(state.range(1)));
    TBitmap bitmap;
    source.ToBitmap(&bitmap);
    for (auto _ : state) {
        THvBitmap32 t(&bitmap, nullptr, nullptr);
        benchmark::DoNotOptimize(t.Pixels(0));
    }
}
BENCHMARK(BM_BitmapToTexture)->Args({6000, 4000})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TextureToBitmap(benchmark::State& state) {
    const THvBitmap32& source = Source(int(state.range(0)), int(state.range(1)));
    TBitmap bitmap(source.Width(), source.Height());
    for (auto _ : state) {
        source.ToBitmap(&bitmap);
        benchmark::DoNotOptimize(bitmap.ScanLine(0));
    }
}
BENCHMARK(BM_TextureToBitmap)->Args({3840, 2160})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DrawTo(benchmark::State& state) {
    const THvBitmap32& source = Source(int(state.range(0)), int(state.range(1)));
    TBitmap bitmap(3840, 2160);
    for (auto _ : state) {
        source.DrawTo(bitmap.Canvas(), 480, 0);
        benchmark::DoNotOptimize(bitmap.ScanLine(0));
    }
}
BENCHMARK(BM_DrawTo)->Args({2880, 2160})->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
