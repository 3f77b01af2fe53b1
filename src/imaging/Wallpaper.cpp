#include "imaging/Wallpaper.h"

#include "imaging/PixelRows.h"
#include "imaging/Placement.h"
#include "imaging/TextureResampler.h"
#include "imaging/Textures.h"
#include "toolkit/ExtCtrls.h"
#include "toolkit/codecs/CodecImage.h"
#include "toolkit/codecs/Jpeg.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

void SetStatus(TStatusText* status, const char* text) {
    if (status)
        status->Set(QString::fromLatin1(text));
}

bool IsCancelled(const TCancelVar* cancel) {
    return cancel && cancel->load();
}

// A canvas lock that can be let go before the end of its scope.
class TScopedCanvasLock {
public:
    explicit TScopedCanvasLock(TCanvas* canvas) : FCanvas(canvas) {
        if (FCanvas)
            FCanvas->Lock();
    }
    ~TScopedCanvasLock() { Release(); }
    TScopedCanvasLock(const TScopedCanvasLock&) = delete;
    TScopedCanvasLock& operator=(const TScopedCanvasLock&) = delete;
    void Release() {
        if (FCanvas)
            FCanvas->Unlock();
        FCanvas = nullptr;
    }

private:
    TCanvas* FCanvas;
};

TCanvas* CanvasOf(TBitmap* bitmap) {
    return bitmap ? bitmap->Canvas() : nullptr;
}

// What converting a bitmap into a texture does to the bitmap and to Progress. The composer does
// not keep that texture: the resampler reads the 24-bit scan lines themselves, which gives the
// same pixels without a copy of the picture at 32 bits per pixel. A cancel that would have cut
// the conversion short is seen by the resampler before its first row.
void PrepareTextureSource(TBitmap* bitmap, TProgressVar* progress) {
    if (progress)
        progress->store(0);
    bitmap->SetPixelFormat(TPixelFormat::pf24bit);
    bitmap->SetHandleType(TBitmapHandleType::bmDIB);
    if (progress)
        progress->store(100);
}

// The tiles of an opaque bitmap drawn onto a 24-bit bitmap, built a scan line at a time: the
// same pixels as drawing every tile, without one draw per tile.
void TileBitmapRows(QImage& dest, const QImage& tile, int64_t left, int64_t right, int64_t top,
                    int64_t bottom, int offsetX, int offsetY) {
    const int gw = tile.width(), gh = tile.height();
    const QImage source =
        tile.format() == QImage::Format_BGR888 ? tile : tile.convertToFormat(QImage::Format_BGR888);
    for (int64_t y = top; y < bottom; ++y) {
        uint8_t* line = dest.scanLine(int(y));
        if (y - gh >= top) {
            // Same tile row as gh rows above, already built.
            std::memcpy(line + 3 * left, dest.constScanLine(int(y - gh)) + 3 * left,
                        size_t(right - left) * 3);
            continue;
        }
        const uint8_t* from = source.constScanLine(int((y + offsetY) % gh));
        int64_t x = left;
        while (x < right) {
            const int64_t sx = (x + offsetX) % gw;
            const int64_t run = std::min<int64_t>(gw - sx, right - x);
            std::memcpy(line + 3 * x, from + 3 * sx, size_t(run) * 3);
            x += run;
        }
    }
}

} // namespace

void TileGraphic(TBitmap* Dest, TGraphic* Graphic, int OffsetX, int OffsetY) {
    if (!Dest || !Graphic)
        return;
    const int gw = Graphic->Width(), gh = Graphic->Height();
    if (gw <= 0 || gh <= 0)
        throw EInvalidGraphic(
            QStringLiteral("Cannot tile a picture of %1 x %2 pixels").arg(gw).arg(gh));
    auto* tile = dynamic_cast<TBitmap*>(Graphic);
    TCanvasLock graphicLock(CanvasOf(tile));
    TCanvasLock destLock(Dest->Canvas());
    const int64_t rows = Dest->Height() / gh + 3;
    const int64_t columns = Dest->Width() / gw + 3;

    QImage& image = Dest->Image();
    if (tile && image.format() == QImage::Format_BGR888 && !tile->Image().isNull()) {
        // Tile c covers [c * gw - OffsetX, (c + 1) * gw - OffsetX); likewise rows.
        const int64_t left = std::max<int64_t>(0, -int64_t(OffsetX));
        const int64_t right = std::min<int64_t>(image.width(), columns * gw - OffsetX);
        const int64_t top = std::max<int64_t>(0, -int64_t(OffsetY));
        const int64_t bottom = std::min<int64_t>(image.height(), rows * gh - OffsetY);
        if (left < right && top < bottom)
            TileBitmapRows(image, tile->Image(), left, right, top, bottom, OffsetX, OffsetY);
        return;
    }
    TCanvas* canvas = Dest->Canvas();
    for (int64_t r = 0; r < rows; ++r) {
        const int64_t y = r * gh - OffsetY;
        if (y >= Dest->Height() || y + gh <= 0)
            continue; // wholly outside: the canvas would clip it all
        for (int64_t c = 0; c < columns; ++c) {
            const int64_t x = c * gw - OffsetX;
            if (x >= Dest->Width() || x + gw <= 0)
                continue;
            canvas->Draw(int(x), int(y), Graphic);
        }
    }
}

std::unique_ptr<TBitmap> GraphicToBitmap(TGraphic* Graphic) {
    auto bitmap = std::make_unique<TBitmap>();
    TCanvasLock lock(bitmap->Canvas());
    const int width = Graphic ? Graphic->Width() : 0;
    const int height = Graphic ? Graphic->Height() : 0;
    // An opaque picture (a bitmap, a decoded JPEG) drawn at (0, 0) onto a bitmap of its own size
    // covers every pixel with its own: its 24-bit pixels are shared (copied on the first write to
    // either) or converted straight into the new bitmap, instead of filling a new buffer with
    // white and drawing them over it.
    QImage opaque;
    if (auto* source = dynamic_cast<TBitmap*>(Graphic)) {
        opaque = source->Bgr24Image();
    } else if (auto* jpeg = dynamic_cast<TJPEGImage*>(Graphic); jpeg && !jpeg->Empty()) {
        jpeg->DIBNeeded(); // decodes, with its progress events, as drawing it would
        opaque = jpeg->Image();
    } else if (auto* codec = dynamic_cast<TCodecImage*>(Graphic); codec && !codec->Empty()) {
        codec->DIBNeeded();
        opaque = codec->Transparent() ? OverWhite(codec->Image()) : codec->Image();
    }
    if (!opaque.isNull() && opaque.format() == QImage::Format_BGR888 && opaque.width() == width &&
        opaque.height() == height) {
        bitmap->SetImage(opaque, TPixelFormat::pf24bit);
        return bitmap;
    }
    bitmap->SetPixelFormat(TPixelFormat::pf24bit);
    bitmap->SetWidth(width);
    bitmap->SetHeight(height);
    if (Graphic)
        bitmap->Canvas()->Draw(0, 0, Graphic);
    return bitmap;
}

std::unique_ptr<TBitmap> PictureToBitmap(TPicture* Picture) {
    return GraphicToBitmap(Picture ? Picture->Graphic() : nullptr);
}

QImage OverWhite(const QImage& premultiplied) {
    QImage image =
        AllocateImage(premultiplied.width(), premultiplied.height(), QImage::Format_BGR888);
    for (int y = 0; y < image.height(); ++y)
        pixelrows::PremultipliedOverWhite(premultiplied.constScanLine(y), image.scanLine(y),
                                          image.width());
    return image;
}

std::unique_ptr<TBitmap> ImageToBitmap(TImage* Image) {
    return PictureToBitmap(Image ? Image->Picture() : nullptr);
}

std::unique_ptr<TBitmap> ComposeWallpaper(int Width, int Height, TBitmap* Foreground,
                                          TBitmap* Background, bool Tile, TColor Color,
                                          TStatusText* Status, TProgressVar* Progress,
                                          TCancelVar* Cancel) {
    TScopedCanvasLock foregroundLock(CanvasOf(Foreground));
    TScopedCanvasLock backgroundLock(CanvasOf(Background));

    auto output = std::make_unique<TBitmap>();
    SetStatus(Status, "Creating buffer...");
    // Format before size: a new bitmap is white whatever its format, and this way the buffer is
    // made once in its final format instead of being made and then converted.
    if (Width < 0 || Height < 0)
        throw EInvalidOperation(
            QStringLiteral("Invalid wallpaper size %1 x %2").arg(Width).arg(Height));
    output->SetPixelFormat(TPixelFormat::pf24bit);
    output->SetSize(Width, Height);
    TScopedCanvasLock outputLock(output->Canvas());

    if (IsCancelled(Cancel))
        return output;

    if (Background) {
        SetStatus(Status, "Creating background...");
        if (Tile) {
            TileGraphic(output.get(), Background, 0, 0);
        } else {
            SetStatus(Status, "Creating background texture...");
            if (Background->Width() <= 0 || Background->Height() <= 0)
                throw EInvalidGraphic(
                    QStringLiteral("The background picture has no pixels (%1 x %2) and cannot "
                                   "be stretched")
                        .arg(Background->Width())
                        .arg(Background->Height()));
            PrepareTextureSource(Background, Progress);
            SetStatus(Status, "Resampling background...");
            // Resampled straight into the output's scan lines (what ToBitmap of the resampled
            // texture would write there).
            if (output->Width() > 0 && output->Height() > 0)
                hvresample::Resample(
                    SourcePlane(Background),
                    TargetPlane(output.get(), 0, 0, output->Width(), output->Height()),
                    hvresample::Factor(Background->Width(), Width),
                    hvresample::Factor(Background->Height(), Height), Progress, Cancel);
        }
    } else {
        output->Canvas()->Brush().Color = Color;
        output->Canvas()->FillRect(Rect(0, 0, output->Width(), output->Height()));
    }

    if (IsCancelled(Cancel))
        return output;

    if (Foreground) {
        SetStatus(Status, "Creating foreground texture...");
        PrepareTextureSource(Foreground, Progress);
        const int fw = Foreground->Width(), fh = Foreground->Height();
        const TRect place = FitAndCentre(Width, Height, fw, fh);
        const int x = place.Left, y = place.Top;
        const int scaledWidth = place.Width(), scaledHeight = place.Height();
        SetStatus(Status, "Resampling foreground...");
        if (scaledWidth > 0 && scaledHeight > 0) {
            const int xFactor = hvresample::Factor(fw, scaledWidth);
            const int yFactor = hvresample::Factor(fh, scaledHeight);
            if (x >= 0 && y >= 0 && x + scaledWidth <= output->Width() &&
                y + scaledHeight <= output->Height()) {
                // The fitted picture lies inside the output: resampled straight into its place
                // (the pixels DrawTo of the resampled texture would write there).
                hvresample::Resample(SourcePlane(Foreground),
                                     TargetPlane(output.get(), x, y, scaledWidth, scaledHeight),
                                     xFactor, yFactor, Progress, Cancel);
            } else {
                const THvBitmap32 texture(Foreground, nullptr, nullptr);
                const THvBitmap32 resampled(texture, scaledWidth, scaledHeight, xFactor, yFactor,
                                            Progress, Cancel);
                resampled.DrawTo(output->Canvas(), x, y);
            }
        }
    }

    if (IsCancelled(Cancel))
        return output;

    outputLock.Release();
    SetStatus(Status, "Image created.");
    return output;
}
