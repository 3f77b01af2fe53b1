// AVIF pictures through libavif (AV1 decoded by dav1d): the primary image (of a sequence the
// first frame), 8, 10 and 12 bits converted to 8 by libavif, alpha (straight, also where the
// file stores it premultiplied), the ICC profile, and the rotation and mirroring the file records
// (irot, imir) as the EXIF orientation they amount to. Colour given only as CICP (nclx) is taken
// as sRGB; see AvifCodec.cpp.
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

const TCodec& AvifCodec();
