// Test doubles of the platform services, shared by the test folders.
#pragma once

#include "platform/DesktopWallpaper.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <mutex>
#include <vector>

namespace testsupport {

// Records every wallpaper it is asked to set (the path and the file's bytes at that moment);
// fails with a desktop-style message on request.
class RecordingDesktop : public IDesktopWallpaper {
public:
    void setDesktopWallpaper(const QString& path) override;
    // Several monitors: recorded as a set (and not as a path).
    void setDesktopWallpapers(const TWallpaperFiles& files) override;
    std::vector<TWallpaperFiles> Sets() const;
    QStringList Paths() const;
    QByteArray LastFile() const;
    int Count() const { return int(Paths().size()); }
    void SetFail(bool fail) { FFail = fail; }

private:
    mutable std::mutex FMutex;
    QStringList FPaths;
    std::vector<TWallpaperFiles> FSets;
    QByteArray FLast;
    std::atomic<bool> FFail{false};
};

} // namespace testsupport
