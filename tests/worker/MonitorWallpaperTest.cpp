// The desktop job with several monitors: each picture decoded once, the same pixels as the
// single-screen road at each monitor's size, the files beside the wallpaper file and their
// removal when monitors go.
#include "imaging/PictureCompose.h"
#include "platform/DesktopWallpaper.h"
#include "platform/Monitors.h"
#include "platform/Screen.h"
#include "support/Doubles.h"
#include "support/Pictures.h"
#include "worker/BackWallpaper.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <mutex>

namespace {

TMonitor Monitor(const char* name, QRect pixels, bool primary) {
    TMonitor monitor;
    monitor.Name = QLatin1String(name);
    monitor.Geometry = monitor.Pixels = pixels;
    monitor.Primary = primary;
    return monitor;
}

class MonitorJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        FDataHome = FDir.filePath("data");
        QDir().mkpath(FDataHome);
        qputenv("XDG_DATA_HOME", FDataHome.toLocal8Bit());
        FDesktop = std::make_shared<testsupport::RecordingDesktop>();
        setDesktopWallpaperBackend(FDesktop);
        setPrimaryScreenSizeProvider([] { return QSize(40, 30); });
        // The portrait monitor left of the primary landscape one, lower down.
        setMonitors(
            {Monitor("P", QRect(0, 10, 20, 40), false), Monitor("L", QRect(20, 0, 40, 30), true)});
        FForeground = testsupport::WritePatternBmp(FDir.path(), "fg.bmp", 33, 17);
        FTile = testsupport::WritePatternBmp(FDir.path(), "tile.bmp", 7, 5);
    }
    void TearDown() override {
        setDesktopWallpaperBackend(nullptr);
        setPrimaryScreenSizeProvider(nullptr);
        setMonitorProvider(nullptr);
        qunsetenv("XDG_DATA_HOME");
    }
    void setMonitors(std::vector<TMonitor> monitors) {
        setMonitorProvider([monitors] { return monitors; });
    }
    QStringList Run(BackBack& job) {
        QStringList seen;
        std::mutex m;
        job.SetStatusObserver([&](const QString& s) {
            std::lock_guard<std::mutex> lock(m);
            seen << s;
        });
        job.Resume();
        job.WaitFor();
        return seen;
    }
    // The preset composed on the single-screen road from freshly loaded (streamed) pictures.
    QImage Reference(const TPreset& preset, QSize size) {
        TBitmap foreground, background;
        foreground.LoadFromFile(preset.Foreground);
        const bool picture = !IsColorText(preset.Background);
        if (picture)
            background.LoadFromFile(preset.Background);
        return ComposePictures(size.width(), size.height(), &foreground,
                               picture ? &background : nullptr, preset.Tile,
                               picture ? 0 : TextToColor(preset.Background), nullptr, nullptr,
                               nullptr)
            ->Image()
            .convertToFormat(QImage::Format_RGB32);
    }
    static QImage Read(const QString& path) {
        TBitmap bitmap;
        bitmap.LoadFromFile(path);
        return bitmap.Image().convertToFormat(QImage::Format_RGB32);
    }

    QTemporaryDir FDir;
    QString FDataHome, FForeground, FTile;
    std::shared_ptr<testsupport::RecordingDesktop> FDesktop;
};

} // namespace

TEST_F(MonitorJobTest, PresetPerMonitorDecodesEachPictureOnceAndMatchesTheSingleRoad) {
    const TPreset first{FForeground, "#FF", false};
    const TPreset second{FForeground, FTile, true};
    BackBack job({first, second}, TMonitorMode::PerMonitor);
    const QStringList seen = Run(job);
    EXPECT_TRUE(seen.last().startsWith("Operation completed")) << seen.join('\n').toStdString();
    EXPECT_EQ(seen.count("Loading " + FForeground), 1) << "the foreground decoded once";

    // Monitor 0 (the portrait one, leftmost) has the first preset.
    const QString primary = FDataHome + "/Tapestrix.bmp";
    const QString portrait = FDataHome + "/Tapestrix[P].bmp";
    EXPECT_EQ(Read(portrait), Reference(first, QSize(20, 40)));
    EXPECT_EQ(Read(primary), Reference(second, QSize(40, 30)));
    const QImage desktop = Read(FDataHome + "/Tapestrix-desktop.bmp");
    ASSERT_EQ(desktop.size(), QSize(60, 50));
    EXPECT_EQ(desktop.copy(0, 10, 20, 40), Reference(first, QSize(20, 40)));
    EXPECT_EQ(desktop.copy(20, 0, 40, 30), Reference(second, QSize(40, 30)));
    EXPECT_EQ(desktop.pixel(0, 0) & 0xFFFFFF, 0u) << "outside every monitor";
    EXPECT_EQ(desktop.pixel(59, 49) & 0xFFFFFF, 0u);

    const auto sets = FDesktop->Sets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].Primary, primary);
    EXPECT_EQ(sets[0].Bounds, QRect(0, 0, 60, 50));
    ASSERT_EQ(sets[0].Monitors.size(), 2u);
    EXPECT_EQ(sets[0].Monitors[0].Path, portrait);
    EXPECT_EQ(sets[0].Monitors[1].Path, primary);
}

TEST_F(MonitorJobTest, FilesOfMonitorsThatWentAreRemoved) {
    for (const char* name : {"Tapestrix[gone].bmp", "Tapestrix[gone]-2.bmp"})
        QFile(FDataHome + "/" + name).open(QIODevice::WriteOnly);
    BackBack each({TPreset{FForeground, "#FF00", false}}, TMonitorMode::Each);
    Run(each);
    EXPECT_TRUE(QFile::exists(FDataHome + "/Tapestrix[P].bmp"));
    EXPECT_FALSE(QFile::exists(FDataHome + "/Tapestrix[gone].bmp"));
    EXPECT_FALSE(QFile::exists(FDataHome + "/Tapestrix[gone]-2.bmp"));
    EXPECT_EQ(MonitorFileName("/d/Tapestrix.bmp", "DP 1/ä"), "/d/Tapestrix[DP_1__].bmp");

    // One monitor left: the single road, as before, and no monitor or desktop files.
    setMonitors({Monitor("L", QRect(0, 0, 40, 30), true)});
    BackBack single({TPreset{FForeground, "#FF00", false}}, TMonitorMode::Span);
    Run(single);
    EXPECT_EQ(FDesktop->Paths(), QStringList{FDataHome + "/Tapestrix.bmp"});
    EXPECT_EQ(QDir(FDataHome).entryList(QDir::Files), QStringList{"Tapestrix.bmp"});
}
