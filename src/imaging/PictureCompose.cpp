#include "imaging/PictureCompose.h"

#include "imaging/PixelRows.h"
#include "imaging/Placement.h"
#include "imaging/TextureResampler.h"
#include "imaging/Wallpaper.h"
#include "toolkit/codecs/CodecImage.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {

void SetStatus(TStatusText* status, const char* text) {
    if (status)
        status->Set(QString::fromLatin1(text));
}

void SetProgress(TProgressVar* progress, int32_t percent) {
    if (progress)
        progress->store(percent);
}

bool IsCancelled(const TCancelVar* cancel) {
    return cancel && cancel->load();
}

// Rows of a transparent picture drawn over white.
class TOverWhiteRows : public TRowReader {
public:
    TOverWhiteRows(std::unique_ptr<TRowReader> rows, int width)
        : FRows(std::move(rows)), FWidth(width), FRing(size_t(kRing) * size_t(width) * 3) {}
    const uint8_t* Row(int y) override {
        uint8_t* slot = FRing.data() + size_t(y % kRing) * size_t(FWidth) * 3;
        if (FRowOf[size_t(y % kRing)] != y) {
            pixelrows::PremultipliedOverWhite(FRows->Row(y), slot, FWidth);
            FRowOf[size_t(y % kRing)] = y;
        }
        return slot;
    }

private:
    static constexpr int kRing = 4;
    std::unique_ptr<TRowReader> FRows;
    int FWidth;
    std::vector<uint8_t> FRing;
    std::array<int, kRing> FRowOf{-1, -1, -1, -1};
};

// One picture on its road: rows decoded as they are read, or the whole picture in memory (a
// 24-bit bitmap, or the premultiplied pixels of a transparent foreground).
struct TSource {
    std::unique_ptr<TRowReader> Rows;
    std::unique_ptr<TBitmap> Bitmap;
    QImage Premultiplied;
    int Width = 0, Height = 0;

    bool Alpha() const { return Rows ? Rows->Alpha() : !Premultiplied.isNull(); }
    bool Streamed() const { return Rows != nullptr; }

    hvresample::TPlane Plane() const {
        if (Bitmap)
            return SourcePlane(Bitmap.get());
        hvresample::TPlane plane;
        plane.Width = Width;
        plane.Height = Height;
        if (Rows) {
            plane.Layout = Rows->Alpha() ? hvresample::TLayout::Bgra32 : hvresample::TLayout::Bgr24;
            TRowReader* rows = Rows.get();
            plane.RowAt = [rows](int y) { return rows->Row(y); };
        } else {
            plane.Layout = hvresample::TLayout::Bgra32;
            plane.Data = const_cast<uint8_t*>(Premultiplied.constBits()); // only read
            plane.Stride = Premultiplied.bytesPerLine();
        }
        return plane;
    }
};

// The road for a picture that is resampled. A background is opaque (drawn over white); a
// foreground keeps its transparency.
TSource OpenSource(TGraphic* graphic, bool background) {
    TSource source;
    source.Width = graphic->Width();
    source.Height = graphic->Height();
    if ((source.Rows = graphic->OpenRows())) {
        if (background && source.Rows->Alpha())
            source.Rows = std::make_unique<TOverWhiteRows>(std::move(source.Rows), source.Width);
        return source;
    }
    auto* codec = dynamic_cast<TCodecImage*>(graphic);
    if (!background && codec && codec->Transparent()) {
        codec->DIBNeeded();
        source.Premultiplied = codec->Image();
        return source;
    }
    source.Bitmap = GraphicToBitmap(graphic);
    return source;
}

// Output rows the background has finished, for the foreground that goes over them.
class TRowsDone {
public:
    void Set(int rows) {
        {
            std::lock_guard<std::mutex> lock(FMutex);
            FRows = rows;
        }
        FChanged.notify_all();
    }
    void WaitFor(int rows) {
        std::unique_lock<std::mutex> lock(FMutex);
        FChanged.wait(lock, [&] { return FRows >= rows; });
    }

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    int FRows = 0;
};

// A scalable picture drawn at the size of rect and put over the output there: over white for a
// background, blended for a foreground.
void DrawScaled(TBitmap* output, TGraphic* graphic, const TRect& rect, bool background) {
    const QImage drawn = graphic->Render(QSize(rect.Width(), rect.Height()));
    QImage& image = output->Image();
    for (int y = 0; y < rect.Height(); ++y) {
        uint8_t* row = image.scanLine(rect.Top + y) + 3 * size_t(rect.Left);
        if (background)
            pixelrows::PremultipliedOverWhite(drawn.constScanLine(y), row, rect.Width());
        else
            pixelrows::BlendBgraOverBgr(drawn.constScanLine(y), row, rect.Width());
    }
}

// A picture repeated at its own size from the top-left corner, read row by row: only the rows
// and columns the output shows are decoded, the rest of the output copies them.
void TileRows(TBitmap* output, TRowReader& rows, int tileWidth, int tileHeight) {
    QImage& image = output->Image();
    const int width = image.width(), height = image.height();
    uint8_t* bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bits + stride * y;
        if (y < tileHeight) {
            const uint8_t* from = rows.Row(y);
            for (int x = 0; x < width; x += tileWidth)
                std::memcpy(row + 3 * size_t(x), from, 3 * size_t(std::min(tileWidth, width - x)));
        } else {
            std::memcpy(row, bits + stride * (y % tileHeight), 3 * size_t(width));
        }
    }
}

} // namespace

std::unique_ptr<TBitmap> ComposePictures(int Width, int Height, TGraphic* Foreground,
                                         TGraphic* Background, bool Tile, TColor Color,
                                         TStatusText* Status, TProgressVar* Progress,
                                         TCancelVar* Cancel) {
    SetStatus(Status, "Creating buffer...");
    if (Width < 0 || Height < 0)
        throw EInvalidOperation(
            QStringLiteral("Invalid wallpaper size %1 x %2").arg(Width).arg(Height));
    auto output = std::make_unique<TBitmap>();
    output->SetPixelFormat(TPixelFormat::pf24bit);
    if (Width == 0 || Height == 0) {
        output->SetSize(Width, Height);
    } else {
        // Every pixel is written below, so the buffer is not cleared first (unless it is given
        // back cancelled before that).
        output->SetImage(AllocateImage(Width, Height, QImage::Format_BGR888),
                         TPixelFormat::pf24bit);
    }
    TCanvasLock outputLock(output->Canvas());
    if (IsCancelled(Cancel)) {
        output->Image().fill(Qt::white);
        return output;
    }
    const TRect whole = Rect(0, 0, Width, Height);
    const bool empty = Width == 0 || Height == 0;

    // The foreground's road first: a streamed foreground runs beside the background.
    TRect place;
    TSource foreground;
    bool foregroundScaled = false;
    if (Foreground && !empty && !Foreground->Empty()) {
        place = FitAndCentre(Width, Height, Foreground->Width(), Foreground->Height());
        if (place.Width() <= 0 || place.Height() <= 0)
            Foreground = nullptr;
        else if (Foreground->Scalable())
            foregroundScaled = true;
        else
            foreground = OpenSource(Foreground, false);
    }

    TRowsDone backgroundRows;
    backgroundRows.Set(Height);
    std::exception_ptr foregroundError;
    std::thread foregroundThread;
    auto resampleForeground = [&](TProgressVar* progress) {
        hvresample::TPlane target =
            TargetPlane(output.get(), place.Left, place.Top, place.Width(), place.Height());
        target.BlendOver = foreground.Alpha();
        const int top = place.Top;
        target.BeforeStore = [&backgroundRows, top](int i) { backgroundRows.WaitFor(top + i + 1); };
        hvresample::Resample(
            foreground.Plane(), target, hvresample::Factor(foreground.Width, place.Width()),
            hvresample::Factor(foreground.Height, place.Height()), progress, Cancel);
    };

    try {
        if (Background && !empty) {
            SetStatus(Status, "Creating background...");
            if (Tile) {
                TSource tile;
                if (!Background->Empty())
                    tile = OpenSource(Background, true);
                if (tile.Streamed()) {
                    TileRows(output.get(), *tile.Rows, tile.Width, tile.Height);
                } else {
                    if (!tile.Bitmap)
                        tile.Bitmap = GraphicToBitmap(Background);
                    TileGraphic(output.get(), tile.Bitmap.get(), 0, 0);
                }
            } else {
                SetStatus(Status, "Creating background texture...");
                SetProgress(Progress, 0);
                if (Background->Width() <= 0 || Background->Height() <= 0)
                    throw EInvalidGraphic(QStringLiteral("The background picture has no pixels "
                                                         "(%1 x %2) and cannot be stretched")
                                              .arg(Background->Width())
                                              .arg(Background->Height()));
                const bool scaled = Background->Scalable();
                TSource background;
                if (!scaled)
                    background = OpenSource(Background, true);
                SetProgress(Progress, 100);
                SetStatus(Status, "Resampling background...");
                if (scaled) {
                    DrawScaled(output.get(), Background, whole, true);
                } else {
                    hvresample::TPlane target = TargetPlane(output.get(), 0, 0, Width, Height);
                    if (background.Streamed() && foreground.Streamed()) {
                        // Both decode at once; the foreground's rows wait for the background's.
                        backgroundRows.Set(0);
                        target.AfterStore = [&backgroundRows](int i) { backgroundRows.Set(i + 1); };
                        foregroundThread = std::thread([&] {
                            try {
                                resampleForeground(nullptr);
                            } catch (...) {
                                foregroundError = std::current_exception();
                            }
                        });
                    }
                    hvresample::Resample(
                        background.Plane(), target, hvresample::Factor(background.Width, Width),
                        hvresample::Factor(background.Height, Height), Progress, Cancel);
                }
            }
        } else if (!empty) {
            output->Canvas()->Brush().Color = Color;
            output->Canvas()->FillRect(whole);
        }
    } catch (...) {
        backgroundRows.Set(Height); // let the foreground finish before leaving
        if (foregroundThread.joinable())
            foregroundThread.join();
        throw;
    }
    backgroundRows.Set(Height); // also after a cancel, which leaves rows unwritten

    if (Foreground && !IsCancelled(Cancel)) {
        SetStatus(Status, "Creating foreground texture...");
        if (Foreground->Empty()) // a picture of no size cannot be fitted: says why
            FitAndCentre(Width, Height, Foreground->Width(), Foreground->Height());
        SetProgress(Progress, 0);
        SetProgress(Progress, 100);
        SetStatus(Status, "Resampling foreground...");
        if (foregroundScaled)
            DrawScaled(output.get(), Foreground, place, false);
        else if (!foregroundThread.joinable() && !Foreground->Empty() && !empty)
            resampleForeground(Progress);
    }
    if (foregroundThread.joinable())
        foregroundThread.join();
    if (foregroundError)
        std::rethrow_exception(foregroundError);
    if (IsCancelled(Cancel))
        return output;
    SetStatus(Status, "Image created.");
    return output;
}
