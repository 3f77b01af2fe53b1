#include "worker/BackWallpaper.h"
#include "imaging/Hv3DException.h"
#include "imaging/Wallpaper.h"
#include "platform/DesktopWallpaper.h"
#include "platform/Screen.h"
#include "support/Doubles.h"
#include "support/Pictures.h"
#include "support/TestSupport.h"
#include "toolkit/ExtCtrls.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <random>
#include <sys/resource.h>

namespace {

using testsupport::WriteBmp;
using FakeDesktop = testsupport::RecordingDesktop;

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        FDataHome = FDir.filePath("data");
        qputenv("XDG_DATA_HOME", FDataHome.toLocal8Bit());
        FDesktop = std::make_shared<FakeDesktop>();
        setDesktopWallpaperBackend(FDesktop);
        setPrimaryScreenSizeProvider([] { return QSize(64, 48); });
        QLocale::setDefault(QLocale::c());
    }
    void TearDown() override {
        setDesktopWallpaperBackend(nullptr);
        setPrimaryScreenSizeProvider(nullptr);
        BackBack::SetClock(nullptr);
        qunsetenv("XDG_DATA_HOME");
    }

    // Runs a job to its end, recording every status text; onStatus may act on a text.
    QStringList Run(BackBack& job, std::function<void(BackBack&, const QString&)> onStatus = {}) {
        QStringList seen;
        std::mutex m;
        job.SetStatusObserver([&](const QString& s) {
            {
                std::lock_guard<std::mutex> lock(m);
                seen << s;
            }
            if (onStatus)
                onStatus(job, s);
        });
        job.Resume();
        job.WaitFor();
        EXPECT_TRUE(job.Done());
        std::lock_guard<std::mutex> lock(m);
        return seen;
    }

    QTemporaryDir FDir;
    QString FDataHome;
    std::shared_ptr<FakeDesktop> FDesktop;
};

TEST_F(WorkerTest, ConstructionInitialisesTheProtocol) {
    TImage target;
    target.SetBounds(200, 150);
    BackBack job(TPreset{"", "#FF", false}, &target);
    EXPECT_EQ(job.Status(), "Drawing thread created.");
    EXPECT_EQ(job.Progress(), 0);
    EXPECT_FALSE(job.Done());
    EXPECT_TRUE(job.HasTarget());
    EXPECT_EQ(job.TargetWidth, 200);
    EXPECT_EQ(job.TargetHeight, 150);
    BackBack desktop(TPreset{}, nullptr);
    EXPECT_FALSE(desktop.HasTarget());
    EXPECT_EQ(desktop.TargetWidth, 0);
}

TEST_F(WorkerTest, PreviewJobStatusSequenceAndHandOver) {
    const QString fg = WriteBmp(FDir.path(), "fg.bmp", 10, 10, clLime);
    const QString bg = WriteBmp(FDir.path(), "bg.bmp", 40, 30, clBlue);
    TImage target;
    target.SetBounds(40, 30);
    int step = 0;
    BackBack::SetClock([&step] { return 45000.0 + (step++ ? 1.234 / 86400.0 : 0.0); });
    BackBack job(TPreset{fg, bg, false}, &target);
    const QStringList seen = Run(job);
    const QStringList expected = {"Loading " + fg,
                                  "Converting " + fg,
                                  "Loading " + bg,
                                  "Converting " + bg,
                                  "Creating buffer...",
                                  "Creating background...",
                                  "Creating background texture...",
                                  "Resampling background...",
                                  "Creating foreground texture...",
                                  "Resampling foreground...",
                                  "Image created.",
                                  "Done.",
                                  "Operation completed in 1.23 second"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(job.Status(), "Operation completed in 1.23 second");
    ASSERT_NE(target.Picture()->Graphic(), nullptr);
    EXPECT_EQ(target.Picture()->Width(), 40);
    // The hand-over equals the composition of the same inputs.
    TBitmap* shown = dynamic_cast<TBitmap*>(target.Picture()->Graphic());
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->Canvas()->Pixels(20, 15), clLime);
    EXPECT_EQ(shown->Canvas()->Pixels(1, 1), clBlue);
    EXPECT_TRUE(FDesktop->Paths().isEmpty());
}

TEST_F(WorkerTest, DesktopJobWritesTheFileAndSetsTheWallpaper) {
    BackBack job(TPreset{"", "#FF", false}, nullptr);
    const QStringList seen = Run(job);
    const QString path = FDataHome + "/Tapestrix.bmp";
    ASSERT_GE(seen.size(), 6);
    EXPECT_EQ(seen.mid(0, 5),
              (QStringList{"Creating buffer...", "Image created.", "Saving image to file...",
                           "Applying image to Windows background...", "Done."}));
    EXPECT_EQ(seen[5], "Done.");
    EXPECT_TRUE(seen.last().startsWith("Operation completed in "));
    EXPECT_EQ(FDesktop->Paths(), QStringList{path});
    TBitmap written;
    written.LoadFromFile(path);
    EXPECT_EQ(written.Width(), 64);
    EXPECT_EQ(written.Height(), 48);
    EXPECT_EQ(written.Canvas()->Pixels(63, 47), clRed);
}

TEST_F(WorkerTest, ScreenSizeIsReadWhenComposing) {
    BackBack first(TPreset{"", "#0", false}, nullptr);
    Run(first);
    setPrimaryScreenSizeProvider([] { return QSize(32, 20); });
    BackBack second(TPreset{"", "#0", false}, nullptr);
    Run(second);
    TBitmap written;
    written.LoadFromFile(FDataHome + "/Tapestrix.bmp");
    EXPECT_EQ(written.Width(), 32);
    EXPECT_EQ(written.Height(), 20);
    EXPECT_EQ(FDesktop->Paths().size(), 2);
    EXPECT_EQ(FDesktop->Paths()[0], FDesktop->Paths()[1]);
}

TEST_F(WorkerTest, FailedDesktopCallEndsWithAnExceptionAndKeepsTheFile) {
    FDesktop->SetFail(true);
    BackBack job(TPreset{"", "#FF00", false}, nullptr);
    const QStringList seen = Run(job);
    EXPECT_EQ(job.Status(), "Exception: GNOME: gsettings did not keep the value");
    EXPECT_FALSE(seen.contains("Done."));
    EXPECT_TRUE(QFile::exists(FDataHome + "/Tapestrix.bmp"));
}

TEST_F(WorkerTest, ColourTexts) {
    struct Case {
        QString background;
        QString status; // expected final status, or empty for success
        TColor pixel;
    } cases[] = {
        {"#FF", "", clRed},
        {"#ff", "", clRed},
        {"", "", clBlack},
        {"#", "Exception: '0x' is not a valid integer value", 0},
        {"#12G4", "Exception: '0x12G4' is not a valid integer value", 0},
        {"#8000000F", "", ColorToRGB(clBtnFace)},
    };
    for (const Case& c : cases) {
        TImage target;
        target.SetBounds(4, 3);
        BackBack job(TPreset{"", c.background, false}, &target);
        Run(job);
        if (!c.status.isEmpty()) {
            EXPECT_EQ(job.Status(), c.status) << c.background.toStdString();
            EXPECT_EQ(target.Picture()->Graphic(), nullptr);
            continue;
        }
        EXPECT_TRUE(job.Status().startsWith("Operation completed in"))
            << job.Status().toStdString();
        auto* shown = dynamic_cast<TBitmap*>(target.Picture()->Graphic());
        ASSERT_NE(shown, nullptr) << c.background.toStdString();
        EXPECT_EQ(shown->Canvas()->Pixels(2, 1), c.pixel) << c.background.toStdString();
    }
}

TEST_F(WorkerTest, BackgroundPicturePathMeansColourZeroAndMissingFilesEndTheJob) {
    TImage target;
    target.SetBounds(4, 3);
    BackBack job(TPreset{"", FDir.filePath("missing.bmp"), true}, &target);
    Run(job);
    EXPECT_TRUE(job.Status().startsWith("Exception: ")) << job.Status().toStdString();
    EXPECT_TRUE(job.Status().contains("missing.bmp"));

    BackBack unknown(TPreset{FDir.filePath("x.tga"), "", false}, &target);
    Run(unknown);
    EXPECT_EQ(unknown.Status(), "Exception: Unknown picture file extension (.tga)");
}

// A stop while the foreground is read, or between the two pictures, ends the loading step at the
// next check: the rest is not loaded, nothing is composed, the job still finishes normally.
TEST_F(WorkerTest, StopWhileLoadingSkipsTheRest) {
    const QString fg = WriteBmp(FDir.path(), "fg.bmp", 8, 8, clLime);
    const QString bg = WriteBmp(FDir.path(), "bg.bmp", 8, 8, clBlue);
    for (const QString& stopAt : {"Converting " + fg, "Loading " + bg}) {
        TImage target;
        target.SetBounds(8, 8);
        BackBack job(TPreset{fg, bg, false}, &target);
        const QStringList seen = Run(job, [&](BackBack& j, const QString& s) {
            if (s == stopAt)
                j.Stop();
        });
        if (stopAt == "Converting " + fg) {
            EXPECT_FALSE(seen.contains("Loading " + bg));
        }
        EXPECT_FALSE(seen.contains("Converting " + bg)) << stopAt.toStdString();
        EXPECT_FALSE(seen.contains("Creating buffer..."));
        EXPECT_EQ(seen[seen.size() - 2], "Done.");
        EXPECT_TRUE(job.Status().startsWith("Operation completed in"));
        EXPECT_EQ(target.Picture()->Graphic(), nullptr);
    }
}

TEST_F(WorkerTest, StopWhileComposingLeavesNoImageAndWritesNoFile) {
    const QString bg = WriteBmp(FDir.path(), "bg.bmp", 300, 200, clBlue);
    BackBack job(TPreset{"", bg, false}, nullptr);
    const QStringList seen = Run(job, [&](BackBack& j, const QString& s) {
        if (s == "Resampling background...")
            j.Stop();
    });
    EXPECT_FALSE(seen.contains("Image created."));
    EXPECT_FALSE(QFile::exists(FDataHome + "/Tapestrix.bmp"));
    EXPECT_TRUE(FDesktop->Paths().isEmpty());
    EXPECT_TRUE(job.Status().startsWith("Operation completed in"));
}

TEST_F(WorkerTest, StopAfterComposingAPreviewKeepsTheTargetsPicture) {
    TImage target;
    target.SetBounds(4, 4);
    TBitmap previous(4, 4, TPixelFormat::pf24bit);
    target.Picture()->SetGraphic(&previous);
    BackBack job(TPreset{"", "#FF", false}, &target);
    Run(job, [&](BackBack& j, const QString& s) {
        if (s == "Image created.")
            j.Stop();
    });
    auto* shown = dynamic_cast<TBitmap*>(target.Picture()->Graphic());
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->Canvas()->Pixels(1, 1), clWhite);
}

TEST_F(WorkerTest, StopBetweenWritingAndApplyingLeavesTheDesktopAlone) {
    BackBack job(TPreset{"", "#FF", false}, nullptr);
    Run(job, [&](BackBack& j, const QString& s) {
        if (s == "Applying image to Windows background...")
            j.Stop();
    });
    EXPECT_TRUE(QFile::exists(FDataHome + "/Tapestrix.bmp"));
    EXPECT_TRUE(FDesktop->Paths().isEmpty());
}

TEST_F(WorkerTest, StopBeforeTheOutputStepComposesNothing) {
    const QString fg = WriteBmp(FDir.path(), "fg.bmp", 8, 8, clLime);
    BackBack job(TPreset{fg, "#0", false}, nullptr);
    const QStringList seen = Run(job, [&](BackBack& j, const QString& s) {
        if (s == "Converting " + fg)
            j.Stop();
    });
    EXPECT_FALSE(seen.contains("Creating buffer..."));
    EXPECT_FALSE(QFile::exists(FDataHome + "/Tapestrix.bmp"));
}

// A write that fails (the file size limit makes it fail even for root) ends the job with an
// exception and leaves the previous wallpaper file whole.
TEST_F(WorkerTest, FailedWriteKeepsThePreviousFile) {
    QDir().mkpath(FDataHome);
    const QString path = FDataHome + "/Tapestrix.bmp";
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("previous");
    }
    setPrimaryScreenSizeProvider([] { return QSize(200, 100); });
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto* previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    BackBack job(TPreset{"", "#FF", false}, nullptr);
    Run(job);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_TRUE(job.Status().startsWith("Exception: ")) << job.Status().toStdString();
    // The system's reason, not "Unknown error".
    EXPECT_TRUE(job.Status().endsWith(". File too large")) << job.Status().toStdString();
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), QByteArray("previous"));
    EXPECT_TRUE(FDesktop->Paths().isEmpty());
}

// A full disk: a tiny file system of its own, mounted in a user and mount namespace of its own
// by the child (this test program run again under unshare).
TEST(WorkerFullDisk, DISABLED_Child) {
    const QString data = qEnvironmentVariable("TAPESTRIX_FULL_DISK_DIR");
    ASSERT_FALSE(data.isEmpty());
    qputenv("XDG_DATA_HOME", QFile::encodeName(data));
    setDesktopWallpaperBackend(std::make_shared<FakeDesktop>());
    setPrimaryScreenSizeProvider([] { return QSize(640, 480); }); // 900 KB, the disk is 64 KB
    BackBack job(TPreset{"", "#FF", false}, nullptr);
    job.Resume();
    job.WaitFor();
    std::printf("STATUS %s\n", job.Status().toUtf8().constData());
}

TEST(WorkerFullDisk, WriteErrorSaysTheDiskIsFull) {
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (unshare.isEmpty())
        GTEST_SKIP() << "unshare (util-linux) is not installed";
    QTemporaryDir dir;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TAPESTRIX_FULL_DISK_DIR", dir.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(unshare,
                {"--user", "--map-root-user", "--mount", "/bin/sh", "-c",
                 "mount -t tmpfs -o size=64k tapestrix \"$1\" || exit 77; shift; exec \"$@\"", "sh",
                 dir.path(), QCoreApplication::applicationFilePath(),
                 "--gtest_filter=WorkerFullDisk.DISABLED_Child",
                 "--gtest_also_run_disabled_tests"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (child.exitCode() == 77 || output.contains("unshare: "))
        GTEST_SKIP() << "no tmpfs can be mounted here: " << output.toStdString();
    EXPECT_TRUE(output.contains(QRegularExpression(
        "STATUS Exception: Cannot write file \".*/Tapestrix\\.bmp\"\\. No space left on device\n")))
        << output.toStdString();
}

TEST_F(WorkerTest, LinkAtTheWallpaperFileIsReplacedNotWrittenThrough) {
    QDir().mkpath(FDataHome);
    const QString victim = FDir.filePath("precious.txt");
    {
        QFile file(victim);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("precious");
    }
    const QString path = FDataHome + "/Tapestrix.bmp";
    ASSERT_TRUE(QFile::link(victim, path));
    BackBack job(TPreset{"", "#FF", false}, nullptr);
    Run(job);
    EXPECT_EQ(job.Status().left(22), "Operation completed in") << job.Status().toStdString();
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    TBitmap written;
    written.LoadFromFile(path);
    EXPECT_EQ(written.Width(), 64);
    QFile file(victim);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("precious"));
}

TEST(WallpaperFileName, DataFolderOrTheHomeFolderFallback) {
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.filePath("share").toLocal8Bit());
    EXPECT_EQ(GetWallpaperFileName(), dir.filePath("share") + "/Tapestrix.bmp");
    EXPECT_TRUE(QFileInfo(dir.filePath("share")).isDir());
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", dir.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", "/proc/cannot-create-here");
    const QString fallback = GetWallpaperFileName();
    EXPECT_TRUE(fallback.startsWith(dir.path() + "/Tapestrix_")) << fallback.toStdString();
    EXPECT_TRUE(fallback.endsWith(".bmp"));
    qputenv("HOME", savedHome);
    qunsetenv("XDG_DATA_HOME");
}

// The GUI thread's wait serves the hand-over: no deadlock between AssignResult and WaitFor.
TEST_F(WorkerTest, ErrorBoxRaisedOnTheWorkerAppearsOnTheGuiThread) {
    THv3DRecordingPresenter recorder; // restores the previous presenter afterwards
    std::vector<std::thread::id> shownOn;
    InstallHv3DGuiPresenter([&](const QString&) { shownOn.push_back(std::this_thread::get_id()); });
    class Raiser : public TThread {
    protected:
        void RunJob() override {
            try {
                throw THv3DException("THvBitmap32.ToBitmap error (test).");
            } catch (const THv3DException&) {
            }
        }
    } raiser;
    raiser.Resume();
    raiser.WaitFor();
    ASSERT_EQ(shownOn.size(), 1u);
    EXPECT_EQ(shownOn[0], std::this_thread::get_id());
}

TEST(ScreenSize, PhysicalPixelsWithAScaleFactor) {
    if (qEnvironmentVariableIsSet("TAPESTRIX_SCALE_CHILD")) {
        const QSize size = primaryScreenPixelSize();
        std::printf("SIZE %dx%d\n", size.width(), size.height());
        return;
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TAPESTRIX_SCALE_CHILD", "1");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_SCALE_FACTOR", "2");
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=ScreenSize.PhysicalPixelsWithAScaleFactor"});
    ASSERT_TRUE(child.waitForFinished(30000));
    const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
    const QSize logical = QGuiApplication::primaryScreen()->size();
    const QString expected =
        QStringLiteral("SIZE %1x%2").arg(logical.width()).arg(logical.height());
    EXPECT_TRUE(out.contains(expected)) << out.toStdString();
}

TEST_F(WorkerTest, StressStartStopWait) {
    const QString bg = WriteBmp(FDir.path(), "bg.bmp", 120, 90, clBlue);
    std::mt19937 rng(99);
    TImage target;
    target.SetBounds(40, 30);
    for (int i = 0; i < 500; ++i) {
        auto job = std::make_unique<BackBack>(
            TPreset{"", (i % 3) ? bg : QStringLiteral("#FF"), bool(i % 2)},
            (i % 4) ? &target : nullptr);
        job->Resume();
        const int delay = int(rng() % 2000);
        if (delay > 0)
            QThread::usleep(unsigned(delay));
        if (rng() % 2)
            job->Stop();
        job->WaitFor();
        EXPECT_TRUE(job->Done());
    }
}

} // namespace
