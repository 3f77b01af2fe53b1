// TIFF pictures through libtiff: the first page (directory), in strips or tiles, contiguous or in
// separate planes, with 1, 2, 4, 8 or 16 bits per sample: grey (black or white as 0), palette,
// RGB, CMYK (converted plainly, without a profile) and JPEG-compressed YCbCr; the first extra
// sample is alpha when it is marked so (associated alpha is divided out: rows are straight).
// 16-bit samples keep their high byte. The header gives the Orientation tag (libtiff does not
// turn the rows) and the ICC profile. Read from memory; libtiff's messages become the error
// texts and never reach the terminal.
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

const TCodec& TiffCodec();
