// The production form of the texture resampler (THvBitmap32's factor constructor).
//
// The sample coordinates are accumulated once per output column and once per output row in
// extended precision, exactly as the per-sample description accumulates them, and turned into
// integer pixel indices and 8-bit weights; the inner loops are then integer only. Source rows are
// first blended horizontally (kept per row, reused by every sub-row that reads them), then
// vertically into per-sample sums, so each sample is the same integer expression as
// THvBitmap32::SampleBilinear gives. Output rows are spread over worker threads.
#pragma once

#include "imaging/StatusText.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace hvresample {

// Rows of pixels in memory: texture rows (32-bit 0x00BBGGRR), a toolkit bitmap's 24-bit scan
// lines (blue, green, red), or a transparent picture's rows (blue, green, red premultiplied by
// alpha, then alpha; QImage's premultiplied ARGB32 in memory).
enum class TLayout { Rgbx32, Bgr24, Bgra32 };

struct TPlane {
    uint8_t* Data = nullptr; // the first pixel of row 0
    ptrdiff_t Stride = 0;    // bytes from one row to the next
    int Width = 0;
    int Height = 0;
    TLayout Layout = TLayout::Rgbx32;

    // A source whose rows are made as they are needed (a picture decoded while it is
    // resampled): when set, row y is RowAt(y) instead of Data + y x Stride. The rows are asked
    // for in increasing order, each at most once, from one thread.
    std::function<const uint8_t*(int y)> RowAt;
    // A target of layout Bgr24 for a source of layout Bgra32: each resampled pixel is blended
    // over the target's pixel, target = (255 x colour + (255 - alpha) x target + 127) / 255 per
    // channel, with the resampled (premultiplied) colour. Without it a Bgra32 source needs a
    // Bgra32 target.
    bool BlendOver = false;
    // A target shared with other work: called before and after output row i is stored.
    std::function<void(int i)> BeforeStore;
    std::function<void(int i)> AfterStore;
};

// Resamples source into target (its whole width x height) with the given supersampling factors:
// the same pixels as THvBitmap32's factor resampler gives for a texture of the source's pixels
// (alpha, where the source has it, is a fourth channel resampled like the others).
// Progress runs from 0 to 100 (monotonic, at most one write per finished row); Cancel is read
// before every row, and the target rows not computed after a cancel are set to black. Requires
// a source of at least 1 x 1 pixels when the target has pixels, and factors >= 1.
void Resample(const TPlane& source, const TPlane& target, int xFactor, int yFactor,
              TProgressVar* progress, TCancelVar* cancel);

// The supersampling factor along one axis for resampling to a size: ceiling(source / target)
// for a reduction, 1 otherwise.
inline int Factor(int source, int target) {
    return target < source ? int((int64_t(source) + target - 1) / target) : 1;
}

// Worker threads for one resampling: 0 (the default) uses every processor for large jobs and
// one thread for small ones; a positive value is used for every job (tests, benchmarks).
void SetThreadCount(int count);
int ThreadCount();

// Which kernels run: the best the processor has (AVX-512, AVX2), up to a limit that tests lower
// to check every kernel against the reference. Kernels() tells which would run now.
enum class TKernels { Plain, Avx2, Avx512 };
void SetKernelLimit(TKernels limit);
TKernels Kernels();

} // namespace hvresample
