// WebP pictures through libwebp: lossy, lossless, with or without alpha; of an animation the
// first frame. The ICC profile (ICCP chunk) and the EXIF orientation (EXIF chunk) go into the
// header. Rows come from libwebp's incremental decoder as they are decoded (the library holds the
// picture meanwhile); thumbnails use its scaled decoding.
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

const TCodec& WebPCodec();
