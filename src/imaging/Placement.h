// Where the composer puts things: the fitted and centred foreground, and the toolkit's 24-bit
// bitmaps as the resampler's source and target planes.
#pragma once

#include "imaging/TextureResampler.h"
#include "toolkit/Graphics.h"

// The foreground's rectangle in a Width x Height wallpaper: the largest size with the picture's
// proportions (enlarging as well as reducing), centred; sizes and margins rounded half to even
// (a margin of 5 puts it at 2, one of 7 at 4).
TRect FitAndCentre(int Width, int Height, int PictureWidth, int PictureHeight);

// The 24-bit scan lines of a bitmap as a resampling source, read in place.
hvresample::TPlane SourcePlane(const TBitmap* bitmap);
// The rectangle (x, y, width, height) of a 24-bit bitmap as a resampling target.
hvresample::TPlane TargetPlane(TBitmap* bitmap, int x, int y, int width, int height);
