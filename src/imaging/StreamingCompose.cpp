#include "imaging/StreamingCompose.h"

#include "imaging/Placement.h"
#include "imaging/TextureResampler.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

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

hvresample::TPlane RowSource(TRowReader& rows, const TGraphic& graphic) {
    hvresample::TPlane plane;
    plane.Width = graphic.Width();
    plane.Height = graphic.Height();
    plane.Layout = hvresample::TLayout::Bgr24;
    plane.RowAt = [&rows](int y) { return rows.Row(y); };
    return plane;
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

} // namespace

std::unique_ptr<TBitmap> ComposeStreaming(int Width, int Height, TGraphic* Foreground,
                                          TGraphic* Background, bool Tile, TColor Color,
                                          TStatusText* Status, TProgressVar* Progress,
                                          TCancelVar* Cancel) {
    if ((Background && Tile) || (!Background && !Foreground) || Width <= 0 || Height <= 0)
        return nullptr;
    if ((Foreground && Foreground->Empty()) || (Background && Background->Empty()))
        return nullptr; // the ordinary road says what is wrong with them
    std::unique_ptr<TRowReader> background, foreground;
    if (Background && !(background = Background->OpenRows()))
        return nullptr;
    if (Foreground && !(foreground = Foreground->OpenRows()))
        return nullptr;

    SetStatus(Status, "Creating buffer...");
    // Every pixel is written below (the colour or the stretched background), so the buffer need
    // not be cleared first.
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetImage(AllocateImage(Width, Height, QImage::Format_BGR888), TPixelFormat::pf24bit);
    TCanvasLock outputLock(bitmap->Canvas());
    if (IsCancelled(Cancel))
        return bitmap;

    TRowsDone backgroundRows;
    hvresample::TPlane backgroundTarget = TargetPlane(bitmap.get(), 0, 0, Width, Height);
    backgroundTarget.AfterStore = [&backgroundRows](int i) { backgroundRows.Set(i + 1); };
    if (!background) {
        bitmap->Canvas()->Brush().Color = Color;
        bitmap->Canvas()->FillRect(Rect(0, 0, Width, Height));
        backgroundRows.Set(Height);
    }

    std::exception_ptr foregroundError;
    std::thread foregroundThread;
    if (foreground) {
        const TRect place = FitAndCentre(Width, Height, Foreground->Width(), Foreground->Height());
        if (place.Width() > 0 && place.Height() > 0) {
            hvresample::TPlane target =
                TargetPlane(bitmap.get(), place.Left, place.Top, place.Width(), place.Height());
            const int top = place.Top;
            target.BeforeStore = [&backgroundRows, top](int i) {
                backgroundRows.WaitFor(top + i + 1);
            };
            const hvresample::TPlane source = RowSource(*foreground, *Foreground);
            const int xFactor = hvresample::Factor(source.Width, place.Width());
            const int yFactor = hvresample::Factor(source.Height, place.Height());
            foregroundThread = std::thread([&, source, target, xFactor, yFactor] {
                try {
                    hvresample::Resample(source, target, xFactor, yFactor, nullptr, Cancel);
                } catch (...) {
                    foregroundError = std::current_exception();
                }
            });
        }
    }
    try {
        if (background) {
            SetStatus(Status, "Creating background...");
            SetStatus(Status, "Creating background texture...");
            SetProgress(Progress, 0);
            SetProgress(Progress, 100);
            SetStatus(Status, "Resampling background...");
            hvresample::Resample(RowSource(*background, *Background), backgroundTarget,
                                 hvresample::Factor(Background->Width(), Width),
                                 hvresample::Factor(Background->Height(), Height), Progress,
                                 Cancel);
        }
    } catch (...) {
        backgroundRows.Set(Height); // let the foreground finish before leaving
        if (foregroundThread.joinable())
            foregroundThread.join();
        throw;
    }
    backgroundRows.Set(Height); // also after a cancel, which leaves rows unwritten
    if (foreground && !IsCancelled(Cancel)) {
        SetStatus(Status, "Creating foreground texture...");
        SetProgress(Progress, 0);
        SetProgress(Progress, 100);
        SetStatus(Status, "Resampling foreground...");
    }
    if (foregroundThread.joinable())
        foregroundThread.join();
    if (foregroundError)
        std::rethrow_exception(foregroundError);
    if (IsCancelled(Cancel))
        return bitmap;
    SetStatus(Status, "Image created.");
    return bitmap;
}
