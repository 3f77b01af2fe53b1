#include "platform/DesktopWallpaper.h"

#include <mutex>

namespace {
std::mutex gMutex;
std::shared_ptr<IDesktopWallpaper> gBackend;
} // namespace

IDesktopWallpaper& desktopWallpaper() {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gBackend)
        gBackend = createPlatformDesktopWallpaper();
    return *gBackend;
}

void setDesktopWallpaperBackend(std::shared_ptr<IDesktopWallpaper> backend) {
    std::lock_guard<std::mutex> lock(gMutex);
    gBackend = std::move(backend);
}
