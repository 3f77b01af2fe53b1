// Test doubles and small picture files shared by the test folders.
#pragma once

#include "platform/DesktopWallpaper.h"
#include "toolkit/Graphics.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <mutex>

namespace testsupport {

// Records every wallpaper it is asked to set (the path and the file's bytes at that moment);
// fails with a desktop-style message on request.
class RecordingDesktop : public IDesktopWallpaper {
public:
    void setDesktopWallpaper(const QString& path) override;
    QStringList Paths() const;
    QByteArray LastFile() const;
    int Count() const { return int(Paths().size()); }
    void SetFail(bool fail) { FFail = fail; }

private:
    mutable std::mutex FMutex;
    QStringList FPaths;
    QByteArray FLast;
    std::atomic<bool> FFail{false};
};

// Writes a solid 24-bit BMP and returns its path.
QString WriteBmp(const QString& dir, const QString& name, int w, int h, TColor color);
// Writes a BMP with a pattern (so that scaling and placement show in the pixels).
QString WritePatternBmp(const QString& dir, const QString& name, int w, int h);

} // namespace testsupport
