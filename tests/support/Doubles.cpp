#include "support/Doubles.h"

#include "toolkit/SysUtils.h"

#include <QFile>

namespace testsupport {

void RecordingDesktop::setDesktopWallpaper(const QString& path) {
    QFile file(path);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FPaths << path;
        FLast = bytes;
    }
    if (FFail)
        throw Exception(QStringLiteral("GNOME: gsettings did not keep the value"));
}

void RecordingDesktop::setDesktopWallpapers(const TWallpaperFiles& files) {
    if (files.Monitors.size() <= 1) {
        setDesktopWallpaper(files.Primary);
        return;
    }
    std::lock_guard<std::mutex> lock(FMutex);
    FSets.push_back(files);
}

std::vector<TWallpaperFiles> RecordingDesktop::Sets() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FSets;
}

QStringList RecordingDesktop::Paths() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FPaths;
}

QByteArray RecordingDesktop::LastFile() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FLast;
}

} // namespace testsupport
