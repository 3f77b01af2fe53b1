// The EXIF block of a picture file (JPEG APP1, PNG eXIf, WebP EXIF): only what the program uses
// of it.
#pragma once

#include <cstddef>
#include <cstdint>

// The Orientation tag (0x0112) of the first image file directory of an EXIF block: a TIFF header
// (little or big endian), optionally preceded by "Exif\0\0" as JPEG's APP1 has it. 1 to 8 (see
// Orientation.h); 1 when the block has no such tag, a value outside 1..8, or is damaged. Every
// offset and count is checked against size.
int ExifOrientation(const uint8_t* data, size_t size);
