// The resampler's vector kernels for x86 processors with AVX2 and AVX-512 (byte and word
// instructions). Each is compiled for its instruction set through GCC's and Clang's per-function
// target attribute and only called after Available() said the processor has it; the rest of the
// program stays on the baseline instruction set. Every kernel gives exactly the integers of the
// plain code in TextureResampler.cpp.
#pragma once

#include "imaging/TextureResampler.h"

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#define TAPESTRIX_X86 1
#endif

namespace hvresample::kernels {

// The best kernels this processor can run.
TKernels Available();

#ifdef TAPESTRIX_X86
// Horizontal pass, count samples: h = (256 - fx) * p[x0] + fx * p[x0 + 1] per channel, in 16-bit
// lanes. weights holds (256 - fx) x 4 then fx x 4 per sample; base/index describe the groups of 4
// (8) samples whose neighbour pairs lie in one window of 8 (16) source pixels.
void HorizontalAvx2(const uint32_t* line, const int32_t* x0, const uint16_t* weights, int count,
                    uint16_t* h, const int32_t* base, const int32_t* index);
void HorizontalAvx512(const uint32_t* line, const int32_t* x0, const uint16_t* weights, int count,
                      uint16_t* h, const int32_t* base4, const int32_t* index4,
                      const int32_t* base8, const int32_t* index8);
// Vertical pass: acc += (w0 * h0 + w1 * h1) >> 16 on 16-bit lanes.
void VerticalAvx2(const uint16_t* h0, const uint16_t* h1, uint32_t w0, uint32_t w1, uint16_t* acc,
                  size_t lanes);
void VerticalAvx512(const uint16_t* h0, const uint16_t* h1, uint32_t w0, uint32_t w1, uint16_t* acc,
                    size_t lanes);
// Output pixels from the per-sample sums when XF x YF = 2^shift and XF is 1 or 2, rounded half
// to even; the fourth channel only with alpha (else 0).
void MeanShiftAvx2(const uint16_t* acc, int width, int xFactor, int shift, bool alpha,
                   uint32_t* out);
#endif

} // namespace hvresample::kernels
