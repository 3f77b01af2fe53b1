#include "worker/BackWallpaper.h"

#include "imaging/Hv3DException.h"
#include "imaging/PictureCompose.h"
#include "imaging/Wallpaper.h"
#include "platform/DesktopWallpaper.h"
#include "platform/Monitors.h"
#include "platform/Screen.h"
#include "platform/UserFolders.h"
#include "toolkit/ExtCtrls.h"
#include "toolkit/codecs/CodecImage.h"
#include "toolkit/codecs/Jpeg.h"

#include <QDir>

#include <mutex>

namespace {

std::mutex gClockMutex;
std::function<TDateTime()> gClock;

TDateTime ClockNow() {
    std::lock_guard<std::mutex> lock(gClockMutex);
    return gClock ? gClock() : Now();
}

} // namespace

void BackBack::SetClock(std::function<TDateTime()> clock) {
    std::lock_guard<std::mutex> lock(gClockMutex);
    gClock = std::move(clock);
}

void InstallHv3DGuiPresenter(std::function<void(const QString&)> box) {
    SetHv3DPresenter([box](const QString& message) {
        TThread::RunOnMainThread([&box, &message] { box(message); });
    });
}

QString GetWallpaperFileName() {
    try {
        const QString folder = applicationDataFolder();
        if (!folder.isEmpty())
            return folder + QStringLiteral("/Tapestrix.bmp");
    } catch (...) {
        // Any failure leads to the fallback below.
    }
    // The fallback stays in the user's own home folder, never in a shared directory.
    QString home = homeFolder();
    if (home.isEmpty())
        home = QDir::homePath();
    return home + QStringLiteral("/Tapestrix_") + loginUserName() + QStringLiteral(".bmp");
}

BackBack::BackBack(const TPreset& APreset, TImage* ATarget)
    : Preset(APreset), MonitorPresets{APreset}, Target(ATarget),
      TargetWidth(ATarget ? ATarget->Width() : 0), TargetHeight(ATarget ? ATarget->Height() : 0) {
    FProgress.store(0);
    FStatus.Set(QStringLiteral("Drawing thread created."));
}

BackBack::BackBack(const std::vector<TPreset>& APresets, TMonitorMode AMode)
    : Preset(APresets.empty() ? TPreset{} : APresets.front()),
      MonitorPresets(APresets.empty() ? std::vector<TPreset>{TPreset{}} : APresets), Mode(AMode),
      Target(nullptr), TargetWidth(0), TargetHeight(0) {
    FProgress.store(0);
    FStatus.Set(QStringLiteral("Drawing thread created."));
}

BackBack::~BackBack() {
    // The owner normally waits before freeing; a job still running is stopped first so that it
    // never outlives the object it writes to.
    if (Started() && !Finished()) {
        Stop();
        WaitFor();
    }
}

void BackBack::Stop() {
    FStatus.Set(QStringLiteral("Thread is being terminated..."));
    FCancel.store(true);
    Terminate();
}

void BackBack::ImageProgress(TObject*, TProgressStage Stage, uint8_t PercentDone, bool,
                             const TRect&, const QString& Msg) {
    switch (Stage) {
    case TProgressStage::psStarting:
        FStatus.Set(QStringLiteral("Opening file... ") + Msg);
        break;
    case TProgressStage::psRunning:
        FStatus.Set(QStringLiteral("Loading image... ") + Msg);
        break;
    case TProgressStage::psEnding:
        FStatus.Set(QStringLiteral("Image loaded. ") + Msg);
        break;
    }
    FProgress.store(PercentDone);
}

void BackBack::RunJob() {
    const TDateTime t0 = ClockNow();
    try {
        if (!Target) {
            DrawDesktop();
        } else {
            Bitmap.reset();
            try {
                Bitmap = DrawPreview();
                if (!FCancel.load())
                    Synchronize([this] { AssignResult(); });
            } catch (...) {
                Bitmap.reset();
                throw;
            }
            Bitmap.reset();
        }
        const TDateTime t1 = ClockNow();
        const long double seconds = (static_cast<long double>(t1) - t0) / kOneSecond;
        FStatus.Set(
            QStringLiteral("Operation completed in %1 second").arg(FormatFixedLocale(seconds, 2)));
    } catch (const Exception& e) {
        FStatus.Set(QStringLiteral("Exception: ") + e.Message());
    } catch (const std::exception& e) {
        FStatus.Set(QStringLiteral("Exception: ") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        FStatus.Set(QStringLiteral("Exception: unknown error"));
    }
    FDone.store(true); // the very last write of the job
}

TGraphic* BackBack::TLoaded::Graphic() const {
    return Bitmap ? Bitmap.get() : Image ? Image->Picture()->Graphic() : nullptr;
}

BackBack::TLoaded BackBack::LoadPicture(const QString& path) {
    // A temporary image control with no owner, released on every path.
    TLoaded loaded;
    loaded.Image = std::make_unique<TImage>();
    FStatus.Set(QStringLiteral("Loading ") + path);
    if (Terminated())
        return {};
    loaded.Image->OnProgress = [this](TObject* Sender, TProgressStage Stage, uint8_t PercentDone,
                                      bool RedrawNow, const TRect& R, const QString& Msg) {
        ImageProgress(Sender, Stage, PercentDone, RedrawNow, R, Msg);
    };
    loaded.Image->Picture()->LoadFromFile(path);
    FStatus.Set(QStringLiteral("Converting ") + path);
    if (Terminated())
        return {};
    TGraphic* graphic = loaded.Image->Picture()->Graphic();
    if (graphic && (graphic->Scalable() || !graphic->Decoded())) {
        // Decoded while it is composed: the texts of a picture being decoded, without the wait
        // (the progress bar moves while it is resampled).
        if (dynamic_cast<TJPEGImage*>(graphic) || dynamic_cast<TCodecImage*>(graphic)) {
            const TRect whole = Rect(0, 0, graphic->Width(), graphic->Height());
            ImageProgress(graphic, TProgressStage::psStarting, 0, false, whole, QString());
            ImageProgress(graphic, TProgressStage::psEnding, 100, false, whole, QString());
        }
        return loaded;
    }
    loaded.Bitmap = ImageToBitmap(loaded.Image.get());
    loaded.Image.reset();
    return loaded;
}

void BackBack::LoadPictures(TLoaded& foreground, TLoaded& background, TColor& color) {
    foreground = {};
    background = {};
    color = 0;
    if (IsColorText(Preset.Background))
        color = TextToColor(Preset.Background);
    if (!Preset.Foreground.isEmpty()) {
        foreground = LoadPicture(Preset.Foreground);
        if (!foreground)
            return; // stopped: the background is not loaded either
    }
    if (!Preset.Background.isEmpty() && !IsColorText(Preset.Background))
        background = LoadPicture(Preset.Background);
}

std::unique_ptr<TBitmap> BackBack::DrawPreview() {
    TLoaded foreground, background;
    TColor color = 0;
    LoadPictures(foreground, background, color);
    std::unique_ptr<TBitmap> result;
    if (!Terminated())
        result =
            ComposePictures(TargetWidth, TargetHeight, foreground.Graphic(), background.Graphic(),
                            Preset.Tile, color, &FStatus, &FProgress, &FCancel);
    FStatus.Set(QStringLiteral("Done."));
    return result;
}

void BackBack::DrawDesktop() {
    // One monitor takes the road of a single screen, streaming its pictures.
    const std::vector<TMonitor> monitors = monitorList();
    if (monitors.size() > 1) {
        DrawMonitors(monitors);
        FStatus.Set(QStringLiteral("Done."));
        return;
    }
    TLoaded foreground, background;
    TColor color = 0;
    LoadPictures(foreground, background, color);
    if (!Terminated())
        SaveAndApply(foreground.Graphic(), background.Graphic(), color);
    FStatus.Set(QStringLiteral("Done."));
}

void BackBack::SaveAndApply(TGraphic* foreground, TGraphic* background, TColor color) {
    const QString path = GetWallpaperFileName();
    if (Terminated())
        return;
    const QSize screen = primaryScreenPixelSize();
    if (screen.isEmpty())
        throw Exception(QStringLiteral("Cannot determine the size of the primary screen"));
    std::unique_ptr<TBitmap> image =
        ComposePictures(screen.width(), screen.height(), foreground, background, Preset.Tile, color,
                        &FStatus, &FProgress, &FCancel);
    FStatus.Set(QStringLiteral("Saving image to file..."));
    if (Terminated())
        return;
    // Written to a temporary file beside the target and renamed over it: the previous wallpaper
    // file stays whole when writing fails. A symbolic link in its place is replaced, never
    // written through.
    removeSymbolicLink(path);
    image->SaveToFile(path);
    RemoveOldMonitorFiles(path, {}, false); // of monitors that went away
    FStatus.Set(QStringLiteral("Applying image to Windows background..."));
    if (Terminated())
        return;
    // A desktop that could not be told is an error: the job must not end in "Done." then.
    desktopWallpaper().setDesktopWallpaper(path);
    FStatus.Set(QStringLiteral("Done."));
}

void BackBack::AssignResult() {
    // A stop that reached the GUI thread while the worker waited for this call comes after
    // composing: the target keeps its previous picture. Stop and this call both run on the GUI
    // thread, so once Stop has returned no hand-over can follow.
    if (!Bitmap || FCancel.load())
        return;
    try {
        TCanvasLock lock(Bitmap->Canvas());
        Target->Picture()->SetGraphic(Bitmap.get());
        Target->Repaint();
    } catch (const Exception& e) {
        FStatus.Set(QStringLiteral("Exception when assigning image: ") + e.Message());
    } catch (const std::exception& e) {
        FStatus.Set(QStringLiteral("Exception when assigning image: ") +
                    QString::fromLocal8Bit(e.what()));
    }
}
