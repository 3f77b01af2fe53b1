// The composition of pictures decoded while they are resampled.
//
// The ordinary road decodes each picture into a bitmap of its full size and then resamples it;
// the first write to that much fresh memory costs more than decoding does. Here the background
// is decoded row by row straight into the resampler, and so is the foreground, on a second
// thread, whose output rows wait until the background has been written under them. The pixels
// are those of ComposeWallpaper for the same pictures.
#pragma once

#include "imaging/StatusText.h"
#include "toolkit/Graphics.h"

#include <memory>

// Composes a Width x Height 24-bit bitmap from the pictures as they were loaded (either may be
// null; Color fills the output when there is no background), with ComposeWallpaper's status
// texts, progress and cancel. Returns nullptr, having drawn nothing, when this road does not
// suit the pictures: a picture that cannot give its rows one after another (see
// TGraphic::OpenRows), a tiled background, or a colour with no foreground (nothing to decode).
// The caller then converts the pictures to bitmaps and calls ComposeWallpaper. A picture found
// damaged while it is read raises its own error.
std::unique_ptr<TBitmap> ComposeStreaming(int Width, int Height, TGraphic* Foreground,
                                          TGraphic* Background, bool Tile, TColor Color,
                                          TStatusText* Status, TProgressVar* Progress,
                                          TCancelVar* Cancel);
