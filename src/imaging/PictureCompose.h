// The composition of pictures as they were loaded, each decoded on the road that suits it.
//
// The ordinary road decodes each picture into a bitmap of its full size and then resamples it;
// the first write to that much fresh memory costs more than decoding does, and a large picture
// needs a lot of it. Here a picture that can give its rows one after another (a JPEG, a BMP file,
// a PNG, ...) is decoded row by row straight into the resampler: the background on this thread,
// the foreground on a second one, whose output rows wait until the background has been written
// under them. A vector picture (SVG) is drawn at the size it takes. Any other picture is
// converted to a bitmap first. The pixels of the toolkit's own formats are those of
// ComposeWallpaper for the same pictures; a picture with transparency shows the background
// through it (resampled with premultiplied colour and blended exactly), and as a background it
// is drawn over white.
#pragma once

#include "imaging/StatusText.h"
#include "toolkit/Graphics.h"

#include <memory>

// Composes a Width x Height 24-bit bitmap from the pictures (either may be null; Color fills the
// output when there is no background), with ComposeWallpaper's status texts, progress, cancel
// and errors; a picture found damaged while it is read raises its own error. The pictures must
// not be used elsewhere meanwhile.
std::unique_ptr<TBitmap> ComposePictures(int Width, int Height, TGraphic* Foreground,
                                         TGraphic* Background, bool Tile, TColor Color,
                                         TStatusText* Status, TProgressVar* Progress,
                                         TCancelVar* Cancel);
