// The drawing thread: renders one preset away from the GUI thread, either into a preview image
// (a job with a target) or onto the desktop (a job without one).
#pragma once

#include "imaging/StatusText.h"
#include "toolkit/Classes.h"
#include "toolkit/Graphics.h"
#include "worker/MonitorWallpaper.h"
#include "worker/Preset.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class TImage;
struct TMonitor;

// Shows THv3DException's error box on the GUI thread: the raising thread waits in the toolkit's
// synchronise queue until box() has returned there.
void InstallHv3DGuiPresenter(std::function<void(const QString&)> box);

// Full path of the wallpaper file: "Tapestrix.bmp" in the user's application-data folder, or
// "Tapestrix_" + user name + ".bmp" in the home folder when that folder cannot be had.
QString GetWallpaperFileName();

class BackBack : public TThread {
public:
    // Created suspended; the owner resumes it. A preview job (target given) renders at the
    // target's size; a desktop job (no target) at the primary screen's size.
    BackBack(const TPreset& APreset, TImage* ATarget);
    // A desktop job for every monitor: with more than one, `mode` says how they share the
    // presets (in PerMonitor, monitor k gets APresets[k], the list taken again from its start
    // when it is shorter); with one, APresets[0] as the job above.
    BackBack(const std::vector<TPreset>& APresets, TMonitorMode AMode);
    ~BackBack() override;

    // Main thread, any time: asks the job to stop; does not wait.
    void Stop();
    bool HasTarget() const { return Target != nullptr; }

    // Read by the poller on the main thread.
    QString Status() const { return FStatus.Get(); }
    int32_t Progress() const { return FProgress.load(); }
    bool Done() const { return FDone.load(); }

    // Progress event of the pictures being decoded (worker thread).
    void ImageProgress(TObject* Sender, TProgressStage Stage, uint8_t PercentDone, bool RedrawNow,
                       const TRect& R, const QString& Msg);

    // Every status write, as it happens (tests); set before Resume.
    void SetStatusObserver(std::function<void(const QString&)> observer) {
        FStatus.SetObserver(std::move(observer));
    }

    // The clock the timing text uses (tests make it step); Now by default.
    static void SetClock(std::function<TDateTime()> clock);

    const TPreset Preset;
    const std::vector<TPreset> MonitorPresets;
    const TMonitorMode Mode = TMonitorMode::Each;
    TImage* const Target;
    const int TargetWidth;
    const int TargetHeight;

protected:
    void RunJob() override;

private:
    // A picture loaded for the job: as loaded when it is decoded while it is composed (or drawn
    // at its size), else converted to a 24-bit bitmap.
    struct TLoaded {
        std::unique_ptr<TImage> Image;
        std::unique_ptr<TBitmap> Bitmap;
        TGraphic* Graphic() const;
        explicit operator bool() const { return Image || Bitmap; }
    };
    void LoadPictures(TLoaded& foreground, TLoaded& background, TColor& color);
    TLoaded LoadPicture(const QString& path);
    std::unique_ptr<TBitmap> DrawPreview();
    void DrawDesktop();
    void SaveAndApply(TGraphic* foreground, TGraphic* background, TColor color);
    // More than one monitor (BackMonitors.cpp): every picture decoded once, composed for each
    // monitor, written to its file and handed to the desktop.
    void DrawMonitors(const std::vector<TMonitor>& monitors);
    void AssignResult();

    std::unique_ptr<TBitmap> Bitmap;
    TCancelVar FCancel{false};
    std::atomic<bool> FDone{false};
    TProgressVar FProgress{0};
    TStatusText FStatus;
};
