// The Linux implementation of IDesktopWallpaper: detects the desktop from the session's
// environment and tries its backends in order until one succeeds.
#pragma once

#include "platform/DesktopWallpaper.h"
#include "platform/WallpaperBackends.h"

#include <functional>
#include <mutex>
#include <utility>

namespace wallpaper {

using Backend = std::function<void(const Context&, const QString&)>;
// The real setter of a desktop.
Backend defaultBackend(Desktop desktop);
using MonitorsBackend = std::function<void(const Context&, const TWallpaperFiles&)>;
// The setter of a desktop for several monitors; for a desktop that takes one picture only, the
// primary monitor's file given to its ordinary setter.
MonitorsBackend defaultMonitorsBackend(Desktop desktop);

class LinuxDesktopWallpaper final : public IDesktopWallpaper {
public:
    // Reads the process's environment afresh at every call.
    LinuxDesktopWallpaper();
    // A fixed context (tests); `backends` maps each desktop to its setter.
    explicit LinuxDesktopWallpaper(
        Context context, std::function<Backend(Desktop)> backends = defaultBackend,
        std::function<MonitorsBackend(Desktop)> monitorsBackends = defaultMonitorsBackend);

    // Hands the desktop a copy of the file under a name that differs from the previous call's
    // (desktops do not reload a name they already show), then removes the previous copy.
    void setDesktopWallpaper(const QString& path) override;
    // The same for each file of the set (more than one monitor), each under names of its own.
    void setDesktopWallpapers(const TWallpaperFiles& files) override;

private:
    // Tries the session's desktops in turn with `run` until one succeeds.
    void Apply(const QStringList& paths,
               const std::function<void(const Context&, Desktop, const QStringList&)>& run);

    Context FContext;
    bool FLiveEnvironment;
    std::function<Backend(Desktop)> FBackends;
    std::function<MonitorsBackend(Desktop)> FMonitorsBackends;
    std::mutex FMutex;
};

// The two names beside `path` that are handed out in turn: "Tapestrix-1.bmp", "Tapestrix-2.bmp".
std::pair<QString, QString> alternateNames(const QString& path);
// Copies `path` to the alternate name that the desktop is not showing (the older one, or the
// one that does not exist) and returns that name; `path` itself when the copy fails.
QString prepareAlternate(const QString& path);
// Removes the alternate of `path` other than `inUse`.
void removeOtherAlternate(const QString& path, const QString& inUse);

} // namespace wallpaper
