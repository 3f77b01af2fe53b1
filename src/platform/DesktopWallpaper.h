// Making a file the desktop wallpaper. One interface, one implementation per platform, and a
// process-wide instance that tests replace with a double.
#pragma once

#include <QString>

#include <memory>

class IDesktopWallpaper {
public:
    virtual ~IDesktopWallpaper() = default;
    // Makes the image file the desktop wallpaper. Raises Exception (toolkit SysUtils) with a
    // message naming the desktop detected and what failed when it could not be set.
    virtual void setDesktopWallpaper(const QString& path) = 0;
};

// The instance the program uses; created on first use for the running platform.
IDesktopWallpaper& desktopWallpaper();
// Replaces the instance (tests); nullptr restores the platform's own.
void setDesktopWallpaperBackend(std::shared_ptr<IDesktopWallpaper> backend);
// The platform's own implementation (on Linux: desktop detection and its backends).
std::shared_ptr<IDesktopWallpaper> createPlatformDesktopWallpaper();
