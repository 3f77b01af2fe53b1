// GIF pictures through giflib: the first frame of the file, with its transparent colour, from
// its local or the global colour table, interlaced or not. A frame smaller than the logical
// screen is placed at its offset on a transparent canvas of the screen's size (grown to hold
// the frame where the frame reaches beyond it).
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

const TCodec& GifCodec();
