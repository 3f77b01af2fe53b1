// The desktops driven by command-line tools, with fake tools on PATH that record their calls.
#include "platform/WallpaperBackends.h"

#include "PlatformTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <thread>

using namespace wallpaper;

namespace {

const QString kImage = QStringLiteral("/home/user/my pictures/Tapestrix-1.bmp");

QStringList args(std::initializer_list<const char*> list) {
    QStringList result;
    for (const char* item : list)
        result << QString::fromUtf8(item);
    return result;
}

class ToolBackendsTest : public ::testing::Test {
protected:
    Context context() const {
        Context c;
        c.env = FTools.environment(QProcessEnvironment::systemEnvironment());
        c.env.insert(QStringLiteral("XDG_RUNTIME_DIR"), FRuntime.path());
        c.timeoutMs = 5000;
        return c;
    }
    QString failureOf(void (*backend)(const Context&, const QString&), const Context& c) {
        try {
            backend(c, kImage);
        } catch (const Exception& e) {
            return e.Message();
        }
        return QString();
    }

    platformtest::FakeTools FTools;
    QTemporaryDir FRuntime; // where the swaybg backend remembers its process
};

} // namespace

TEST_F(ToolBackendsTest, SwayGetsOneQuotedPathWord) {
    FTools.add(QStringLiteral("swaymsg"));
    setSwayWallpaper(context(), kImage);
    ASSERT_EQ(FTools.calls().size(), 1u);
    EXPECT_EQ(FTools.calls()[0], args({"swaymsg", "output", "*", "bg",
                                       "\"/home/user/my pictures/Tapestrix-1.bmp\"", "center"}));
}

TEST_F(ToolBackendsTest, SwayRefusalIsReported) {
    FTools.add(QStringLiteral("swaymsg"),
               QStringLiteral("echo 'Error: unknown output' >&2; exit 2"));
    const QString failure = failureOf(setSwayWallpaper, context());
    EXPECT_TRUE(failure.contains(QStringLiteral("exit code 2"))) << qPrintable(failure);
    EXPECT_TRUE(failure.contains(QStringLiteral("unknown output"))) << qPrintable(failure);
}

TEST_F(ToolBackendsTest, LxqtAndLxdeAskTheirFileManagersForACentredWallpaper) {
    FTools.add(QStringLiteral("pcmanfm-qt"));
    FTools.add(QStringLiteral("pcmanfm"));
    setLxqtWallpaper(context(), kImage);
    setLxdeWallpaper(context(), kImage);
    ASSERT_EQ(FTools.calls().size(), 2u);
    EXPECT_EQ(FTools.calls()[0],
              QStringList({QStringLiteral("pcmanfm-qt"), QStringLiteral("--set-wallpaper"), kImage,
                           QStringLiteral("--wallpaper-mode"), QStringLiteral("center")}));
    EXPECT_EQ(FTools.calls()[1],
              QStringList({QStringLiteral("pcmanfm"), QStringLiteral("--set-wallpaper=") + kImage,
                           QStringLiteral("--wallpaper-mode=center")}));
}

TEST_F(ToolBackendsTest, MissingAndHangingToolsFail) {
    // Only the fake tools on PATH: missing whatever the machine has installed.
    Context bare = context();
    bare.env.insert(QStringLiteral("PATH"), FTools.dir());
    EXPECT_TRUE(failureOf(setLxqtWallpaper, bare)
                    .contains(QStringLiteral("pcmanfm-qt is "
                                             "not installed")));
    FTools.add(QStringLiteral("pcmanfm"), QStringLiteral("exec sleep 30"));
    Context quick = context();
    quick.timeoutMs = 300;
    EXPECT_TRUE(failureOf(setLxdeWallpaper, quick).contains(QStringLiteral("did not finish")));
}

TEST_F(ToolBackendsTest, HyprpaperGetsTheImageForEachMonitor) {
    FTools.add(
        QStringLiteral("hyprctl"),
        QStringLiteral("if [ \"$1\" = -j ]; then\n"
                       "  echo '[{\"id\":0,\"name\":\"DP-1\"},{\"id\":1,\"name\":\"HDMI-A-1\"}]'\n"
                       "else echo ok; fi"));
    setHyprlandWallpaper(context(), kImage);
    const auto calls = FTools.calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0], QStringList({QStringLiteral("hyprctl"), QStringLiteral("hyprpaper"),
                                     QStringLiteral("preload"), kImage}));
    EXPECT_EQ(calls[1], args({"hyprctl", "-j", "monitors"}));
    EXPECT_EQ(calls[2],
              QStringList({QStringLiteral("hyprctl"), QStringLiteral("hyprpaper"),
                           QStringLiteral("wallpaper"), QStringLiteral("DP-1,") + kImage}));
    EXPECT_EQ(calls[3],
              QStringList({QStringLiteral("hyprctl"), QStringLiteral("hyprpaper"),
                           QStringLiteral("wallpaper"), QStringLiteral("HDMI-A-1,") + kImage}));
    EXPECT_EQ(calls[4], args({"hyprctl", "hyprpaper", "unload", "unused"}));
}

TEST_F(ToolBackendsTest, HyprpaperWithoutMonitorListUsesEveryMonitorAndRefusalsFail) {
    FTools.add(QStringLiteral("hyprctl"),
               QStringLiteral("if [ \"$1\" = -j ]; then exit 1; fi\n"
                              "if [ \"$2\" = wallpaper ]; then echo 'wallpaper failed (not "
                              "preloaded)'; else echo ok; fi"));
    const QString failure = failureOf(setHyprlandWallpaper, context());
    EXPECT_TRUE(failure.contains(QStringLiteral("refused: wallpaper failed")))
        << qPrintable(failure);
    const auto calls = FTools.calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[2].value(3), QStringLiteral(",") + kImage);
}

TEST_F(ToolBackendsTest, SwaybgOutlivesTheCallAndTheNextChangeEndsIt) {
    // A fake swaybg that keeps running under its own name, as the real one does.
    FTools.add(QStringLiteral("swaybg"), QStringLiteral("while :; do sleep 0.2; done"));
    const Context c = context();
    const QString pidFile = FRuntime.path() + QStringLiteral("/tapestrix-swaybg.pid");
    auto pidOf = [&pidFile]() {
        QFile file(pidFile);
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
    };
    auto alive = [](qint64 pid) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray text = stat.readAll();
        return text.at(text.lastIndexOf(')') + 2) != 'Z';
    };

    // Ends the fake swaybg processes however the test ends.
    struct Reaper {
        std::vector<qint64> pids;
        ~Reaper() {
            for (qint64 pid : pids) {
                QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
                if (pid > 0 && comm.open(QIODevice::ReadOnly) && comm.readAll() == "swaybg\n")
                    ::kill(pid_t(pid), SIGKILL);
            }
        }
    } reaper;

    setWlrootsWallpaper(c, kImage);
    const qint64 first = pidOf();
    reaper.pids.push_back(first);
    ASSERT_GT(first, 0);
    EXPECT_TRUE(alive(first));
    setWlrootsWallpaper(c, kImage);
    const qint64 second = pidOf();
    reaper.pids.push_back(second);
    EXPECT_NE(second, first);
    EXPECT_TRUE(alive(second));
    for (int i = 0; i < 50 && alive(first); ++i)
        QThread::msleep(50);
    EXPECT_FALSE(alive(first)) << "the previous swaybg must be ended";

    const auto calls = FTools.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], QStringList({QStringLiteral("swaybg"), QStringLiteral("-o"),
                                     QStringLiteral("*"), QStringLiteral("-i"), kImage,
                                     QStringLiteral("-m"), QStringLiteral("center")}));
}

TEST_F(ToolBackendsTest, SwaybgThatEndsAtOnceIsAFailure) {
    FTools.add(QStringLiteral("swaybg"), QStringLiteral("exit 1"));
    const QString failure = failureOf(setWlrootsWallpaper, context());
    EXPECT_TRUE(failure.contains(QStringLiteral("swaybg ended at once"))) << qPrintable(failure);
}

TEST_F(ToolBackendsTest, ToolsRunFromAThreadQtDidNotStart) {
    // The drawing thread is a plain std::thread: no Qt event dispatcher there.
    FTools.add(QStringLiteral("swaymsg"));
    FTools.add(QStringLiteral("hangs"), QStringLiteral("exec sleep 30"));
    platformtest::QtWarningRecorder recorder;
    QString failure;
    std::thread worker([&] {
        setSwayWallpaper(context(), kImage);
        Context quick = context();
        quick.timeoutMs = 200;
        try {
            runTool(quick, QStringLiteral("hangs"), {});
        } catch (const Exception& e) {
            failure = e.Message();
        }
    });
    worker.join();
    recorder.stop();
    EXPECT_EQ(FTools.calls().size(), 2u);
    EXPECT_TRUE(failure.contains(QStringLiteral("did not finish"))) << qPrintable(failure);
    const QStringList warnings = recorder.warnings();
    EXPECT_TRUE(warnings.isEmpty()) << qPrintable(warnings.join(QLatin1Char('\n')));
}
