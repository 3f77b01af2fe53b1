// The composition of tapestrix-compose for JPEG pictures, decoded while they are resampled.
//
// The ordinary road decodes each picture into a bitmap of its full size and then resamples it;
// on this kind of machine the first write to that much fresh memory costs more than decoding.
// Here the background is decoded row by row straight into the resampler, and so is the
// foreground, on a second thread, whose output rows wait until the background has been written
// under them. The pixels are those of ComposeWallpaper for the same pictures: the same libjpeg
// settings as the toolkit's JPEG picture, the same resampler and fit.
#pragma once

#include "cli/ComposeOptions.h"
#include "imaging/StatusText.h"
#include "toolkit/Graphics.h"

#include <memory>

// The composed bitmap, or nullptr when the inputs are not for this road (a picture that is not a
// plain JPEG file, a tiled background, a picture that does not decode cleanly); the caller then
// takes the ordinary one, which also reports any error in the toolkit's words.
std::unique_ptr<TBitmap> ComposeStreaming(const TComposeOptions& options, TColor colour,
                                          TStatusText* status, TProgressVar* progress);
