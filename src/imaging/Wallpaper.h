// The wallpaper composer: a background (a picture repeated from the top-left corner, a picture
// stretched to the whole size, or a solid colour) with a foreground picture fitted and centred
// over it, as a new 24-bit bitmap. Plus the conversions that turn loaded pictures into the
// 24-bit bitmaps it takes.
#pragma once

#include "imaging/StatusText.h"
#include "toolkit/Graphics.h"

#include <memory>

class TImage;

// Composes a Width x Height 24-bit bitmap; the caller owns it.
//
// Foreground and Background may be null; Color fills the output when there is no background
// (a system colour is drawn as the current system colour). Converting a bitmap into a texture
// sets its pixel format to 24 bits. Status, Progress and Cancel may be null. While it works the
// composer writes the status texts "Creating buffer...", "Creating background...", "Creating
// background texture...", "Resampling background...", "Creating foreground texture...",
// "Resampling foreground..." and, when it was not cancelled, "Image created."; each texture step
// runs Progress from 0 to 100. A cancelled composition returns the bitmap as far as it got.
// Errors propagate and no bitmap is returned. Holds the canvas locks of both inputs and of the
// output while it works.
std::unique_ptr<TBitmap> ComposeWallpaper(int Width, int Height, TBitmap* Foreground,
                                          TBitmap* Background, bool Tile, TColor Color,
                                          TStatusText* Status, TProgressVar* Progress,
                                          TCancelVar* Cancel);

// Covers Dest with copies of Graphic at its own size, the first with its top-left corner at
// (-OffsetX, -OffsetY). A graphic with no pixels raises EInvalidGraphic.
void TileGraphic(TBitmap* Dest, TGraphic* Graphic, int OffsetX, int OffsetY);

// A new 24-bit bitmap of the picture's size with the picture drawn at (0, 0) over white.
std::unique_ptr<TBitmap> PictureToBitmap(TPicture* Picture);
// The same for a graphic (null gives an empty bitmap).
std::unique_ptr<TBitmap> GraphicToBitmap(TGraphic* Graphic);
// A premultiplied ARGB picture drawn over white, exactly: colour + 255 - alpha per channel.
QImage OverWhite(const QImage& premultiplied);

// PictureToBitmap of the image control's picture.
std::unique_ptr<TBitmap> ImageToBitmap(TImage* Image);
