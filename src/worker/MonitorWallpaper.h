// The wallpaper of several monitors: how the pictures are shared out among them, the files
// written for them beside the wallpaper file, and the pieces of bitmap work that go with it.
#pragma once

#include "toolkit/Graphics.h"

#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

enum class TMonitorMode {
    Each = 0,       // every monitor gets the preset composed at its own size
    Span = 1,       // one composition of the whole desktop, each monitor showing its part
    PerMonitor = 2, // monitor k gets a preset of its own (the automation chooses them)
};

// "each", "span", "presets", and back (nullopt for any other text).
QString MonitorModeName(TMonitorMode mode);
std::optional<TMonitorMode> ParseMonitorMode(const QString& text);

// The file of a monitor other than the primary beside the wallpaper file:
// ".../Tapestrix[HDMI-1].bmp", the name's characters other than letters, digits, '.', '-' and
// '_' written as '_'. The brackets keep it apart from every alternate name ("-1", "-2").
QString MonitorFileName(const QString& wallpaperPath, const QString& monitorName);
// The file of the whole desktop: ".../Tapestrix-desktop.bmp".
QString DesktopFileName(const QString& wallpaperPath);
// Removes the monitor files (with their alternate names) of monitors not named in `monitors`,
// and the desktop file with its alternates unless `keepDesktop`.
void RemoveOldMonitorFiles(const QString& wallpaperPath, const QStringList& monitors,
                           bool keepDesktop);

// Decodes a picture that would otherwise be decoded while it is composed, so that composing it
// several times decodes it once: the composer then uses its pixels whole.
void DecodeWhole(TGraphic* graphic);
// A 24-bit copy of a region of a 24-bit bitmap (the region lies inside it).
std::unique_ptr<TBitmap> CopyRegion(const TBitmap& source, const QRect& region);
// A 24-bit black bitmap.
std::unique_ptr<TBitmap> BlackBitmap(int width, int height);
// Makes every pixel of a 24-bit bitmap outside the rectangles black.
void BlackenOutside(TBitmap& bitmap, const std::vector<QRect>& keep);
// Copies a 24-bit bitmap into another with its top-left corner at `at` (clipped).
void PutRegion(TBitmap& target, const TBitmap& part, QPoint at);
