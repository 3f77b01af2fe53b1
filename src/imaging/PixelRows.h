// Scan-line conversions between the toolkit's 24-bit rows (blue, green, red per pixel) and
// texture rows (32-bit pixels 0x00BBGGRR, red in the low byte), a whole row at a time.
#pragma once

#include <cstdint>

namespace pixelrows {

// count pixels from a 24-bit row into 32-bit pixels (byte 3 zero).
void BgrToRgbx(const uint8_t* bgr, uint32_t* pixels, int count);
// count 32-bit pixels into a 24-bit row (byte 3 ignored). Writes exactly 3 x count bytes.
void RgbxToBgr(const uint32_t* pixels, uint8_t* bgr, int count);

} // namespace pixelrows
