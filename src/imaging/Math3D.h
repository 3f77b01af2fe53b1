// Colour arithmetic for the texture resampler: a three-channel accumulator.
#pragma once

#include <cstdint>

// Running sums of red, green and blue. The resampler adds whole channel values (0..255) and so
// every sum is a whole number. The components are doubles, which hold every such sum exactly
// (up to 2^53); a single-precision accumulator would drop low bits once a sum passes 2^24, which
// a reduction by more than about 65,000 samples per pixel reaches, and would then no longer
// return a uniform texture unchanged.
struct TColorSum {
    double Red = 0;
    double Green = 0;
    double Blue = 0;
};

// Adds byte 0 of Pixel to red, byte 1 to green, byte 2 to blue.
void AddColor(TColorSum& V, uint32_t Pixel);
// Each component becomes round(component x Factor), computed in extended precision, halves to
// the even neighbour.
void ScaleRound(TColorSum& V, long double Factor);
// Packs the components, each rounded to the nearest integer (halves to even) and kept within
// 0..255, into a pixel 0x00BBGGRR.
uint32_t SumToColor(const TColorSum& V);
