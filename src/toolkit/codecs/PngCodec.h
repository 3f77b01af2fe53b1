// PNG pictures through libspng: 1 to 16 bits per sample, grey, palette, RGB, with or without
// alpha or a transparent colour (tRNS), interlaced or not; of an animated PNG the default image
// (its first frame). 16-bit samples keep their high byte. The header gives the iCCP profile and
// the orientation the eXIf chunk records; an sRGB chunk, gAMA and cHRM leave the pixels as
// stored.
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

#include <QImage>

const TCodec& PngCodec();

// The picture of a PNG file's bytes as stored (no orientation, no colour management):
// Format_ARGB32 with straight alpha. For pictures inside other files (icons). Errors as the
// codec's.
QImage DecodePngImage(const uint8_t* data, size_t size, const QString& name);
