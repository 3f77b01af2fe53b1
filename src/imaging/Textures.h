// Textures: 32-bit in-memory images that the composer works with. A texture is made from a
// toolkit bitmap, canvas, picture or picture file, resampled to any size by a box-filtered
// bilinear supersampler, and written back into a 24-bit bitmap or drawn onto a canvas.
//
// The long-running operations take two optional pointers: Progress (0..100, written at most
// once per row) and Cancel (read at most once per row; when set, the operation stops early and
// returns normally, the rows not yet done left black). An absent pointer is neither read nor
// written. Conversion failures raise THv3DException.
#pragma once

#include "imaging/StatusText.h"
#include "toolkit/Graphics.h"

#include <QString>

#include <cstddef>
#include <cstdint>

class THvBitmap32 : public TObject {
public:
    // An empty texture (0 x 0).
    THvBitmap32() = default;
    // Create(Source): same size, every pixel copied.
    THvBitmap32(const THvBitmap32& Source);
    // Create(Width, Height, Color): every pixel set to Color.
    THvBitmap32(int Width, int Height, uint32_t Color);
    // Create(Width, Height, Canvas, Progress, Cancel): reads canvas pixels (0..Width-1,
    // 0..Height-1); a read outside the canvas's bitmap (an invalid colour) is stored as white.
    THvBitmap32(int Width, int Height, TCanvas* Canvas, TProgressVar* Progress, TCancelVar* Cancel);
    // Create(Bitmap, Progress, Cancel): converts a toolkit bitmap row by row. Sets the bitmap's
    // pixel format to 24 bits and its handle type to device-independent (in place).
    THvBitmap32(TBitmap* Bitmap, TProgressVar* Progress, TCancelVar* Cancel);
    // Create(FileName): loads the file into a picture (format by extension; the picture's own
    // loading errors propagate), then converts it as Create(Picture) does.
    explicit THvBitmap32(const QString& FileName);
    // Create(Picture): the picture drawn at its own size onto a 24-bit bitmap, then converted.
    explicit THvBitmap32(TPicture* Picture);
    // Resampler with supersampling factors (at least 1): XFactor x YFactor bilinear samples of
    // Source averaged per output pixel.
    THvBitmap32(const THvBitmap32& Source, int Width, int Height, int XFactor, int YFactor,
                TProgressVar* Progress, TCancelVar* Cancel);
    // Resampler to a size: factors ceiling(source / target) for a reduction, 1 otherwise. A
    // width or height of 0 gives an empty texture and leaves Progress untouched.
    THvBitmap32(const THvBitmap32& Source, int Width, int Height, TProgressVar* Progress,
                TCancelVar* Cancel);

    THvBitmap32(THvBitmap32&& other) noexcept;
    THvBitmap32& operator=(THvBitmap32&& other) noexcept;
    THvBitmap32& operator=(const THvBitmap32& other);
    ~THvBitmap32() override;

    // Releases the pixels at once; the texture is then empty (0 x 0). Never raises.
    virtual void Dispose() noexcept;
    // Writes the texture onto the canvas with its top-left corner at (X, Y): an opaque copy,
    // clipped to the canvas. Holds the canvas lock while it writes.
    virtual void DrawTo(TCanvas* Canvas, int X, int Y) const;
    // Writes the texture into Dest with its top-left corner at (X, Y), clipped to Dest.
    virtual void CopyTo(THvBitmap32* Dest, int X, int Y) const noexcept;
    // In-place transforms: rows upside down, columns right to left, a quarter turn clockwise.
    virtual void FlipVertical();
    virtual void FlipHorizontal();
    virtual void Rotate90();

    // Writes the texture into a 24-bit bitmap of the texture's size (the bitmap's format and
    // size are set first).
    void ToBitmap(TBitmap* Bitmap) const;
    // Bilinear lookup at normalised coordinates: (0, 0) is the top-left pixel, (1, 1) the
    // bottom-right one; beyond 1 (or below 0) the edge pixels repeat. An empty texture gives 0.
    uint32_t SampleBilinear(long double U, long double V) const;

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    // Row y (0 = top): Width() pixels 0x00BBGGRR, red in the low byte.
    uint32_t* Pixels(int y) { return FPixels + size_t(y) * size_t(FWidth); }
    const uint32_t* Pixels(int y) const { return FPixels + size_t(y) * size_t(FWidth); }
    uint32_t Pixel(int x, int y) const { return Pixels(y)[x]; }
    void SetPixel(int x, int y, uint32_t value) { Pixels(y)[x] = value; }

private:
    void Allocate(int width, int height); // zero (black) pixels
    void Release() noexcept;
    void InitFromBitmap(TBitmap* bitmap, TProgressVar* progress, TCancelVar* cancel);
    void InitFromPicture(TPicture* picture);
    void Resample(const THvBitmap32& source, int xFactor, int yFactor, TProgressVar* progress,
                  TCancelVar* cancel);

    int FWidth = 0;
    int FHeight = 0;
    uint32_t* FPixels = nullptr;
    void* FMapping = nullptr; // large buffers are mapped (huge pages); small ones come from calloc
    size_t FMappingBytes = 0;
};
