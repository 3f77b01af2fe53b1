// HEIF pictures (HEIC: HEVC through libheif and libde265; AV1-coded HEIF too): the primary
// image, 8, 10 and 12 bits decoded to 8, alpha (straight, also where the file stores it
// premultiplied), the ICC profile. libheif applies the rotation, mirroring and cropping the file
// records, so the header's size is the upright one and its orientation 1. Thumbnails use the
// file's own thumbnail when it is at least the size asked for.
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

const TCodec& HeifCodec();
