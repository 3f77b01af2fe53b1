#include "imaging/Math3D.h"

#include "toolkit/SysUtils.h"

#include <algorithm>

namespace {

uint32_t ChannelByte(double value) {
    return uint32_t(std::clamp<int64_t>(RoundHalfEven(value), 0, 255));
}

} // namespace

void AddColor(TColorSum& V, uint32_t Pixel) {
    V.Red += double(Pixel & 0xFF);
    V.Green += double((Pixel >> 8) & 0xFF);
    V.Blue += double((Pixel >> 16) & 0xFF);
}

void ScaleRound(TColorSum& V, long double Factor) {
    V.Red = double(RoundHalfEven(static_cast<long double>(V.Red) * Factor));
    V.Green = double(RoundHalfEven(static_cast<long double>(V.Green) * Factor));
    V.Blue = double(RoundHalfEven(static_cast<long double>(V.Blue) * Factor));
}

uint32_t SumToColor(const TColorSum& V) {
    return ChannelByte(V.Red) | ChannelByte(V.Green) << 8 | ChannelByte(V.Blue) << 16;
}
