#include "worker/MonitorWallpaper.h"

#include "platform/LinuxDesktopWallpaper.h"
#include "toolkit/ImageMemory.h"
#include "toolkit/codecs/CodecImage.h"
#include "toolkit/codecs/Jpeg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

QString MonitorModeName(TMonitorMode mode) {
    switch (mode) {
    case TMonitorMode::Span:
        return QStringLiteral("span");
    case TMonitorMode::PerMonitor:
        return QStringLiteral("presets");
    case TMonitorMode::Each:
        break;
    }
    return QStringLiteral("each");
}

std::optional<TMonitorMode> ParseMonitorMode(const QString& text) {
    for (TMonitorMode mode : {TMonitorMode::Each, TMonitorMode::Span, TMonitorMode::PerMonitor})
        if (text == MonitorModeName(mode))
            return mode;
    return std::nullopt;
}

namespace {

QString Stem(const QString& wallpaperPath) {
    const QFileInfo info(wallpaperPath);
    return info.path() + QLatin1Char('/') + info.completeBaseName();
}

QString Suffix(const QString& wallpaperPath) {
    const QString suffix = QFileInfo(wallpaperPath).suffix();
    return suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
}

void RemoveWithAlternates(const QString& path) {
    const auto [first, second] = wallpaper::alternateNames(path);
    for (const QString& name : {path, first, second})
        QFile::remove(name);
}

} // namespace

QString MonitorFileName(const QString& wallpaperPath, const QString& monitorName) {
    QString name = monitorName;
    for (QChar& c : name) {
        const char16_t u = c.unicode();
        const bool plain = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
                           (u >= '0' && u <= '9') || u == '.' || u == '-' || u == '_';
        if (!plain)
            c = QLatin1Char('_');
    }
    return Stem(wallpaperPath) + QLatin1Char('[') + name + QLatin1Char(']') + Suffix(wallpaperPath);
}

QString DesktopFileName(const QString& wallpaperPath) {
    return Stem(wallpaperPath) + QStringLiteral("-desktop") + Suffix(wallpaperPath);
}

void RemoveOldMonitorFiles(const QString& wallpaperPath, const QStringList& monitors,
                           bool keepDesktop) {
    const QFileInfo info(wallpaperPath);
    QStringList keep;
    for (const QString& monitor : monitors) {
        const QString file = MonitorFileName(wallpaperPath, monitor);
        const auto [first, second] = wallpaper::alternateNames(file);
        keep << QFileInfo(file).fileName() << QFileInfo(first).fileName()
             << QFileInfo(second).fileName();
    }
    const QDir folder = info.dir();
    const QString prefix = info.completeBaseName() + QLatin1Char('[');
    const QStringList found = folder.entryList(QDir::Files | QDir::System | QDir::Hidden);
    for (const QString& name : found)
        if (name.startsWith(prefix) && name.contains(QLatin1Char(']')) && !keep.contains(name))
            QFile::remove(folder.filePath(name));
    if (!keepDesktop)
        RemoveWithAlternates(DesktopFileName(wallpaperPath));
}

void DecodeWhole(TGraphic* graphic) {
    if (!graphic || graphic->Decoded() || graphic->Scalable())
        return;
    if (auto* jpeg = dynamic_cast<TJPEGImage*>(graphic))
        jpeg->DIBNeeded();
    else if (auto* codec = dynamic_cast<TCodecImage*>(graphic))
        codec->DIBNeeded();
    else if (auto* bitmap = dynamic_cast<TBitmap*>(graphic))
        bitmap->Image(); // decodes the BMP file kept since loading
}

std::unique_ptr<TBitmap> BlackBitmap(int width, int height) {
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetPixelFormat(TPixelFormat::pf24bit);
    QImage image = AllocateImage(width, height, QImage::Format_BGR888);
    image.fill(Qt::black);
    bitmap->SetImage(image, TPixelFormat::pf24bit);
    return bitmap;
}

std::unique_ptr<TBitmap> CopyRegion(const TBitmap& source, const QRect& region) {
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetPixelFormat(TPixelFormat::pf24bit);
    QImage image = AllocateImage(region.width(), region.height(), QImage::Format_BGR888);
    const QImage& from = source.Image();
    for (int y = 0; y < region.height(); ++y)
        std::memcpy(image.scanLine(y), from.constScanLine(region.y() + y) + 3 * region.x(),
                    size_t(region.width()) * 3);
    bitmap->SetImage(image, TPixelFormat::pf24bit);
    return bitmap;
}

void PutRegion(TBitmap& target, const TBitmap& part, QPoint at) {
    const QRect placed = QRect(at, QSize(part.Width(), part.Height()))
                             .intersected(QRect(0, 0, target.Width(), target.Height()));
    if (placed.isEmpty())
        return;
    QImage& to = target.Image();
    const QImage& from = part.Image();
    for (int y = placed.top(); y <= placed.bottom(); ++y)
        std::memcpy(to.scanLine(y) + 3 * placed.x(),
                    from.constScanLine(y - at.y()) + 3 * (placed.x() - at.x()),
                    size_t(placed.width()) * 3);
}

void BlackenOutside(TBitmap& bitmap, const std::vector<QRect>& keep) {
    QImage& image = bitmap.Image();
    const int width = bitmap.Width();
    std::vector<std::pair<int, int>> spans;
    for (int y = 0; y < bitmap.Height(); ++y) {
        spans.clear();
        for (const QRect& rect : keep)
            if (y >= rect.top() && y <= rect.bottom())
                spans.emplace_back(std::max(rect.left(), 0), std::min(rect.right() + 1, width));
        std::sort(spans.begin(), spans.end());
        uint8_t* row = image.scanLine(y);
        int x = 0;
        for (const auto& [from, to] : spans) {
            if (from > x)
                std::memset(row + 3 * x, 0, size_t(from - x) * 3);
            x = std::max(x, to);
        }
        if (x < width)
            std::memset(row + 3 * x, 0, size_t(width - x) * 3);
    }
}
