// Scan-line conversions between the toolkit's 24-bit rows (blue, green, red per pixel) and
// texture rows (32-bit pixels 0x00BBGGRR, red in the low byte), a whole row at a time.
#pragma once

#include <cstdint>

namespace pixelrows {

// count pixels from a 24-bit row into 32-bit pixels (byte 3 zero).
void BgrToRgbx(const uint8_t* bgr, uint32_t* pixels, int count);
// count 32-bit pixels into a 24-bit row (byte 3 ignored). Writes exactly 3 x count bytes.
void RgbxToBgr(const uint32_t* pixels, uint8_t* bgr, int count);

// count premultiplied blue, green, red, alpha pixels into 32-bit pixels (alpha in byte 3).
void BgraToRgba(const uint8_t* bgra, uint32_t* pixels, int count);
// count 32-bit pixels with alpha into premultiplied blue, green, red, alpha (4 x count bytes).
void RgbaToBgra(const uint32_t* pixels, uint8_t* bgra, int count);
// count 32-bit premultiplied pixels with alpha blended over a 24-bit row:
// bgr = (255 x colour + (255 - alpha) x bgr + 127) / 255 per channel.
void BlendRgbaOverBgr(const uint32_t* pixels, uint8_t* bgr, int count);

// count premultiplied blue, green, red, alpha pixels drawn over white into a 24-bit row:
// colour + 255 - alpha per channel (exactly (255 x colour + (255 - alpha) x 255 + 127) / 255).
void PremultipliedOverWhite(const uint8_t* bgra, uint8_t* bgr, int count);
// count premultiplied blue, green, red, alpha pixels blended over a 24-bit row, as
// BlendRgbaOverBgr does.
void BlendBgraOverBgr(const uint8_t* bgra, uint8_t* bgr, int count);

} // namespace pixelrows
