// The drawing thread: renders one preset away from the GUI thread, either into a preview image
// (a job with a target) or onto the desktop (a job without one).
#pragma once

#include "toolkit/Classes.h"
#include "toolkit/Graphics.h"
#include "worker/Preset.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class TImage;

// A line of text written by one thread and copied by another; each write and read is a whole
// copy under a short lock.
class TStatusText {
public:
    void Set(const QString& text) {
        std::lock_guard<std::mutex> lock(FMutex);
        FText = text;
    }
    QString Get() const {
        std::lock_guard<std::mutex> lock(FMutex);
        return FText;
    }

private:
    mutable std::mutex FMutex;
    QString FText;
};

// Full path of the wallpaper file: "Tapestrix.bmp" in the user's application-data folder, or
// "Tapestrix_" + user name + ".bmp" in the home folder when that folder cannot be had.
QString GetWallpaperFileName();

class BackBack : public TThread {
public:
    // Created suspended; the owner resumes it. A preview job (target given) renders at the
    // target's size; a desktop job (no target) at the primary screen's size.
    BackBack(const TPreset& APreset, TImage* ATarget);
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

    // The clock the timing text uses (tests make it step); Now by default.
    static void SetClock(std::function<TDateTime()> clock);

    const TPreset Preset;
    TImage* const Target;
    const int TargetWidth;
    const int TargetHeight;

protected:
    void RunJob() override;

private:
    void LoadPictures(std::unique_ptr<TBitmap>& foreground, std::unique_ptr<TBitmap>& background,
                      TColor& color);
    std::unique_ptr<TBitmap> LoadPicture(const QString& path);
    std::unique_ptr<TBitmap> DrawPreview();
    void DrawDesktop();
    void SaveAndApply(TBitmap* foreground, TBitmap* background, TColor color);
    void AssignResult();

    std::unique_ptr<TBitmap> Bitmap;
    std::atomic<bool> FCancel{false};
    std::atomic<bool> FDone{false};
    std::atomic<int32_t> FProgress{0};
    TStatusText FStatus;
};
