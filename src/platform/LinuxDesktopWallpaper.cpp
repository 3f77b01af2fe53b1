// Placeholder until the desktop backends land: reports that no desktop is supported.
#include "platform/DesktopWallpaper.h"
#include "toolkit/SysUtils.h"

namespace {
class UnsupportedDesktop final : public IDesktopWallpaper {
public:
    void setDesktopWallpaper(const QString&) override {
        throw Exception(QStringLiteral("Cannot set the desktop wallpaper: no supported desktop"));
    }
};
} // namespace

std::shared_ptr<IDesktopWallpaper> createPlatformDesktopWallpaper() {
    return std::make_shared<UnsupportedDesktop>();
}
