// JPEG XL pictures through libjxl: 8-bit output of any bit depth, alpha (straight), the
// orientation the code stream records (left to the picture to apply), the first frame of an
// animation, and the colour of the decoded data: XYB-coded pictures are decoded to sRGB by libjxl
// itself; the others keep their colour space, whose ICC profile goes into the header unless it is
// sRGB.
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

const TCodec& JxlCodec();
