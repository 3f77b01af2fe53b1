// Making a file the desktop wallpaper. One interface, one implementation per platform, and a
// process-wide instance that tests replace with a double.
#pragma once

#include "platform/Monitors.h"

#include <QRect>
#include <QString>

#include <memory>
#include <vector>

// The files of a wallpaper for several monitors.
struct TMonitorFile {
    TMonitor Monitor;
    QString Path; // the composition made for this monitor, at its physical size
};
struct TWallpaperFiles {
    QString Primary; // the primary monitor's composition
    QString Desktop; // the whole desktop (Bounds): each monitor's picture at its place
    QRect Bounds;    // the desktop's bounding box in physical pixels
    std::vector<TMonitorFile> Monitors; // left to right, then top to bottom
};

class IDesktopWallpaper {
public:
    virtual ~IDesktopWallpaper() = default;
    // Makes the image file the desktop wallpaper. Raises Exception (toolkit SysUtils) with a
    // message naming the desktop detected and what failed when it could not be set.
    virtual void setDesktopWallpaper(const QString& path) = 0;
    // Makes each monitor show its own file where the desktop allows it (else the desktop-wide
    // one, or the primary monitor's). With one monitor or none it is setDesktopWallpaper of the
    // primary file, which is also what a desktop without monitors of its own gets by default.
    virtual void setDesktopWallpapers(const TWallpaperFiles& files) {
        setDesktopWallpaper(files.Primary);
    }
};

// The instance the program uses; created on first use for the running platform.
IDesktopWallpaper& desktopWallpaper();
// Replaces the instance (tests); nullptr restores the platform's own.
void setDesktopWallpaperBackend(std::shared_ptr<IDesktopWallpaper> backend);
// The platform's own implementation (on Linux: desktop detection and its backends).
std::shared_ptr<IDesktopWallpaper> createPlatformDesktopWallpaper();
