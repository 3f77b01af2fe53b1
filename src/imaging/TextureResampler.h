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

#include <cstdint>

namespace hvresample {

// Resamples src (srcWidth x srcHeight, rows contiguous) into dst (width x height, rows
// contiguous, all zero on entry) with the given supersampling factors. Progress runs from 0 to
// 100 (monotonic, at most one write per finished row); Cancel is read before every row.
// Requires srcWidth, srcHeight >= 1, width, height >= 0, factors >= 1.
void Resample(const uint32_t* src, int srcWidth, int srcHeight, uint32_t* dst, int width,
              int height, int xFactor, int yFactor, TProgressVar* progress, TCancelVar* cancel);

// Worker threads for one resampling: 0 (the default) uses every processor for large jobs and
// one thread for small ones; a positive value is used for every job (tests, benchmarks).
void SetThreadCount(int count);
int ThreadCount();

// The vector kernels (AVX2) are used where the processor has them; tests switch them off to
// check the plain integer kernels as well. VectorKernels tells whether they would be used now.
void SetVectorKernels(bool allowed);
bool VectorKernels();

} // namespace hvresample
