// The drawing thread's desktop job for more than one monitor.
#include "imaging/PictureCompose.h"
#include "platform/DesktopWallpaper.h"
#include "platform/Monitors.h"
#include "platform/UserFolders.h"
#include "toolkit/ExtCtrls.h"
#include "worker/BackWallpaper.h"

#include <map>

void BackBack::DrawMonitors(const std::vector<TMonitor>& monitors) {
    const QString path = GetWallpaperFileName();
    // Each picture is loaded and decoded once, however many monitors show it.
    std::map<QString, TLoaded> pictures;
    const auto picture = [&](const QString& file) -> TGraphic* {
        if (file.isEmpty() || IsColorText(file))
            return nullptr;
        auto found = pictures.find(file);
        if (found == pictures.end()) {
            TLoaded loaded = LoadPicture(file);
            if (!loaded)
                return nullptr; // stopped
            DecodeWhole(loaded.Graphic());
            found = pictures.emplace(file, std::move(loaded)).first;
        }
        return found->second.Graphic();
    };
    const auto compose = [&](const TPreset& preset, QSize size) -> std::unique_ptr<TBitmap> {
        TGraphic* foreground = picture(preset.Foreground);
        TGraphic* background = Terminated() ? nullptr : picture(preset.Background);
        if (Terminated())
            return nullptr;
        const TColor color = IsColorText(preset.Background) ? TextToColor(preset.Background) : 0;
        return ComposePictures(size.width(), size.height(), foreground, background, preset.Tile,
                               color, &FStatus, &FProgress, &FCancel);
    };
    const auto save = [&](const TBitmap& image, const QString& file) {
        FStatus.Set(QStringLiteral("Saving image to file..."));
        // As the single wallpaper file: written beside and renamed, never through a link.
        removeSymbolicLink(file);
        image.SaveToFile(file);
    };

    const QRect bounds = desktopBounds(monitors);
    const TMonitor* primary = primaryMonitor(monitors);
    TWallpaperFiles files;
    files.Primary = path;
    files.Desktop = DesktopFileName(path);
    files.Bounds = bounds;
    std::unique_ptr<TBitmap> desktop;
    if (Mode == TMonitorMode::Span) {
        desktop = compose(Preset, bounds.size());
        std::vector<QRect> places;
        for (const TMonitor& monitor : monitors)
            places.push_back(monitor.Pixels.translated(-bounds.topLeft()));
        if (desktop && !Terminated())
            BlackenOutside(*desktop, places); // as nothing shows there
    } else
        desktop = BlackBitmap(bounds.width(), bounds.height());
    QStringList others;
    for (size_t k = 0; k < monitors.size() && desktop && !Terminated(); ++k) {
        const TMonitor& monitor = monitors[k];
        const QPoint place = monitor.Pixels.topLeft() - bounds.topLeft();
        std::unique_ptr<TBitmap> image;
        if (Mode == TMonitorMode::Span) {
            image = CopyRegion(*desktop, QRect(place, monitor.Pixels.size()));
        } else {
            const TPreset& preset = Mode == TMonitorMode::PerMonitor
                                        ? MonitorPresets[k % MonitorPresets.size()]
                                        : Preset;
            image = compose(preset, monitor.Pixels.size());
            if (!image || Terminated())
                return;
            PutRegion(*desktop, *image, place);
        }
        const bool isPrimary = &monitor == primary;
        const QString file = isPrimary ? path : MonitorFileName(path, monitor.Name);
        if (!isPrimary)
            others << monitor.Name;
        save(*image, file);
        files.Monitors.push_back({monitor, file});
    }
    if (!desktop || Terminated())
        return;
    save(*desktop, files.Desktop);
    RemoveOldMonitorFiles(path, others, true);
    FStatus.Set(QStringLiteral("Applying image to Windows background..."));
    if (Terminated())
        return;
    desktopWallpaper().setDesktopWallpapers(files);
    FStatus.Set(QStringLiteral("Done."));
}
