// The program as a person meets it, under a real X server with a window manager and a
// notification area: the tray icon, the single instance, the tray menu's change, the automatic
// start that exits, the automation's timer. Each test has its own X server and private folders.
// The wallpaper is checked on the root window's pixmap against tapestrix-compose's output for
// the same preset.
#include "X11Session.h"

#include "toolkit/SysUtils.h"
#include "toolkit/registry/Registry.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <signal.h>

using shelltest::TWindowInfo;
using shelltest::waitUntil;
using shelltest::X11Session;

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
const QString kInstance = QStringLiteral("tapestrix"); // the windows' WM_CLASS instance

QString programPath() {
    return QStringLiteral(TAPESTRIX_BINARY_DIR "/src/tapestrix");
}
QString composerPath() {
    return QStringLiteral(TAPESTRIX_BINARY_DIR "/src/tapestrix-compose");
}

struct TPresetText {
    QString foreground;
    QString background;
    bool tile = false;
};

// One run of the program in the session.
class Program {
public:
    Program(const X11Session& session, const QStringList& arguments = {}) {
        FProcess.setProcessEnvironment(session.environment());
        FProcess.setProcessChannelMode(QProcess::MergedChannels);
        FProcess.start(programPath(), arguments);
        FProcess.waitForStarted(10000);
    }
    ~Program() {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.kill();
            FProcess.waitForFinished(5000);
        }
    }
    bool running() const { return FProcess.state() != QProcess::NotRunning; }
    // True when it ended by itself with exit status 0 within the time.
    bool endsWithZero(int timeoutMs) {
        if (!waitUntil([this] { return !running(); }, timeoutMs))
            return false;
        return FProcess.exitStatus() == QProcess::NormalExit && FProcess.exitCode() == 0;
    }
    QString output() { return QString::fromLocal8Bit(FProcess.readAll()); }
    QProcess& process() { return FProcess; }

private:
    QProcess FProcess;
};

class EndToEnd : public ::testing::Test {
protected:
    // Starts a session; skips the test when something it needs is missing.
    void startSession(bool tray = true) {
        if (!QFile::exists(programPath()))
            GTEST_SKIP() << "the program is not built yet (" << qPrintable(programPath()) << ")";
        FSession = std::make_unique<X11Session>(kWidth, kHeight, tray);
        if (!FSession->error().isEmpty())
            GTEST_SKIP() << "no test desktop: " << qPrintable(FSession->error());
        SetRegistryRootDir(HKEY_CURRENT_USER, FSession->configHome());
    }
    void TearDown() override { SetRegistryRootDir(HKEY_CURRENT_USER, QString()); }

    QString file(const QString& name) const { return FSession->home() + QLatin1Char('/') + name; }

    // Two pictures the presets use: a foreground with a gradient and a small tile.
    void makePictures() {
        QImage fg(160, 100, QImage::Format_RGB888);
        for (int y = 0; y < fg.height(); ++y)
            for (int x = 0; x < fg.width(); ++x)
                fg.setPixel(x, y, qRgb(x * 255 / 159, y * 255 / 99, (x + y) & 0xFF));
        ASSERT_TRUE(fg.save(file(QStringLiteral("fore ground.bmp")), "BMP"));
        QImage tile(37, 23, QImage::Format_RGB888);
        for (int y = 0; y < tile.height(); ++y)
            for (int x = 0; x < tile.width(); ++x)
                tile.setPixel(x, y, (x / 4 + y / 4) % 2 ? qRgb(200, 30, 60) : qRgb(20, 90, 180));
        ASSERT_TRUE(tile.save(file(QStringLiteral("tile.bmp")), "BMP"));
    }

    // The presets of the prepared settings: 0 a foreground on red, 1 the foreground on the tile.
    std::vector<TPresetText> presets() const {
        return {{file(QStringLiteral("fore ground.bmp")), QStringLiteral("#FF"), false},
                {file(QStringLiteral("fore ground.bmp")), file(QStringLiteral("tile.bmp")), true}};
    }

    // A settings file as a previous run would have left it: the editors on preset 0, the last
    // used preset 0, and `options` on top.
    void writeSettings(const std::vector<std::pair<QString, QString>>& options, double lastChange) {
        TRegIniFile ini(QStringLiteral("Software\\Halvern\\Tapestrix"));
        const auto list = presets();
        ini.WriteString(QStringLiteral("Options"), QStringLiteral("Foreground"),
                        list[0].foreground);
        ini.WriteString(QStringLiteral("Options"), QStringLiteral("Background"),
                        list[0].background);
        ini.WriteInteger(QStringLiteral("Options"), QStringLiteral("LastImage"), 0);
        for (const auto& [name, value] : options)
            ini.WriteString(QStringLiteral("Options"), name, value);
        for (size_t i = 0; i < list.size(); ++i) {
            const QString section = QStringLiteral("Preset%1").arg(i);
            ini.WriteString(section, QStringLiteral("Foreground"), list[i].foreground);
            ini.WriteString(section, QStringLiteral("Background"), list[i].background);
            ini.WriteBool(section, QStringLiteral("Tile"), list[i].tile);
        }
        QByteArray bytes(8, 0);
        std::memcpy(bytes.data(), &lastChange, 8);
        ini.WriteBinaryData(QStringLiteral("LastChange"), bytes);
    }

    // tapestrix-compose's picture of the preset at the screen's size (or another).
    QImage expected(const TPresetText& preset, QSize size = QSize(kWidth, kHeight)) {
        if (!QFile::exists(composerPath()))
            return QImage();
        const QString out = file(QStringLiteral("expected.bmp"));
        QStringList args = {QStringLiteral("--size"),
                            QStringLiteral("%1x%2").arg(size.width()).arg(size.height()),
                            QStringLiteral("--quiet"), QStringLiteral("--output"), out};
        if (!preset.foreground.isEmpty())
            args << QStringLiteral("--foreground") << preset.foreground;
        args << QStringLiteral("--background") << preset.background;
        if (preset.tile)
            args << QStringLiteral("--tile");
        QProcess compose;
        compose.setProcessEnvironment(FSession->environment());
        compose.start(composerPath(), args);
        if (!compose.waitForFinished(60000) || compose.exitCode() != 0)
            return QImage();
        return QImage(out);
    }

    // A session, the two pictures and the settings with `options`; `want` becomes the picture a
    // change to the next preset (1) shows. It stays null when the test was skipped or failed.
    void prepareChange(QImage* want, const std::vector<std::pair<QString, QString>>& options = {},
                       double lastChange = Now()) {
        startSession();
        if (IsSkipped())
            return;
        ASSERT_NO_FATAL_FAILURE(makePictures());
        writeSettings(options, lastChange);
        const QImage picture = expected(presets()[1]);
        if (picture.isNull())
            GTEST_SKIP() << "tapestrix-compose is not built yet or failed";
        *want = picture;
    }

    // Waits until the root window's pixmap shows `image`.
    ::testing::AssertionResult rootShows(const QImage& image, int timeoutMs) {
        int64_t differing = -2;
        const bool shown = waitUntil(
            [&] {
                differing = shelltest::differingPixels(FSession->rootImage(), image);
                return differing == 0;
            },
            timeoutMs, 200);
        if (shown)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "root pixmap differs from the expected picture in " << differing
               << " pixels (-1: no pixmap or another size)";
    }

    std::optional<TWindowInfo> mainWindow() const {
        const auto big = FSession->bigWindowsOf(kInstance);
        if (big.size() != 1)
            return std::nullopt;
        return big.front();
    }
    std::optional<TWindowInfo> trayIcon() const {
        const auto icons = FSession->trayIconsOf(kInstance);
        if (icons.size() != 1)
            return std::nullopt;
        return icons.front();
    }
    // Opens the tray menu and chooses the item with the mnemonic `key`.
    bool chooseFromTrayMenu(const QString& key) {
        const auto icon = trayIcon();
        if (!icon || !FSession->clickAt(*icon, 3))
            return false;
        // The menu is a viewable override-redirect window of the program.
        const bool open = waitUntil(
            [&] {
                for (const TWindowInfo& w : FSession->windowsOf(kInstance))
                    if (w.viewable && w.overrideRedirect && w.geometry.height() > 40)
                        return true;
                return false;
            },
            5000);
        return open && FSession->xdotool({QStringLiteral("key"), key});
    }

    // "Options"."LastImage" as the settings file holds it now; -1 when absent.
    int storedLastImage() const {
        TRegIniFile ini(QStringLiteral("Software\\Halvern\\Tapestrix"));
        return ini.ReadInteger(QStringLiteral("Options"), QStringLiteral("LastImage"), -1);
    }

    // A change made in this run and not saved yet (the tray's change-now moves "LastImage" from
    // 0 to 1), then the session ends under the program by `end`: the program saves the change
    // and its window placement, as Exit does, and ends by itself.
    void changeThenEndTheSession(const std::function<void(Program&)>& end, bool exitsWithZero) {
        startSession();
        if (HasFatalFailure() || IsSkipped())
            return;
        makePictures();
        writeSettings({}, Now());
        Program program(*FSession);
        ASSERT_TRUE(waitUntil([&] { return trayIcon().has_value(); }, 15000))
            << program.output().toStdString();
        ASSERT_TRUE(chooseFromTrayMenu(QStringLiteral("n")));
        const QString wallpaper = FSession->dataHome() + QStringLiteral("/Tapestrix.bmp");
        ASSERT_TRUE(waitUntil([&] { return QFile::exists(wallpaper); }, 30000));
        ASSERT_EQ(storedLastImage(), 0) << "saved before the session ended";

        end(program);
        ASSERT_TRUE(waitUntil([&] { return !program.running(); }, 20000))
            << "the program did not end";
        const QString output = program.output();
        if (exitsWithZero) {
            EXPECT_EQ(program.process().exitStatus(), QProcess::NormalExit) << output.toStdString();
            EXPECT_EQ(program.process().exitCode(), 0) << output.toStdString();
        }
        EXPECT_EQ(storedLastImage(), 1) << output.toStdString();
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKeyReadOnly(QStringLiteral("Software\\Halvern\\Tapestrix")));
        EXPECT_EQ(reg.GetDataSize(QStringLiteral("MainFormPosition")), 12)
            << "the window placement was not saved";
    }

    std::unique_ptr<X11Session> FSession;
};

} // namespace

TEST_F(EndToEnd, FirstStartShowsOnlyTheIconAndSecondStartShowsTheMainWindow) {
    startSession();
    Program first(*FSession);
    ASSERT_TRUE(waitUntil([&] { return trayIcon().has_value(); }, 15000))
        << "no tray icon; output: " << first.output().toStdString();
    QThread::msleep(1000);
    EXPECT_TRUE(FSession->bigWindowsOf(kInstance).empty()) << "a window shows at the first start";
    EXPECT_EQ(FSession->trayIconsOf(kInstance).size(), 1u);

    // A second start ends with 0 and the running instance's main window comes up in front.
    Program second(*FSession, {QStringLiteral("/autostart")});
    EXPECT_TRUE(second.endsWithZero(20000)) << second.output().toStdString();
    ASSERT_TRUE(waitUntil([&] { return mainWindow().has_value(); }, 10000))
        << "main window not shown";
    EXPECT_EQ(mainWindow()->title, QStringLiteral("Tapestrix"));
    EXPECT_TRUE(waitUntil([&] { return FSession->activeWindow() == mainWindow()->id; }, 5000))
        << "main window is not the active window";
    EXPECT_EQ(FSession->trayIconsOf(kInstance).size(), 1u) << "exactly one icon after a restore";
    EXPECT_TRUE(first.running());

    // Esc hides it; the process and its icon stay.
    ASSERT_TRUE(FSession->xdotool({QStringLiteral("key"), QStringLiteral("Escape")}));
    EXPECT_TRUE(waitUntil([&] { return FSession->bigWindowsOf(kInstance).empty(); }, 5000))
        << "Esc did not hide the main window";
    EXPECT_TRUE(first.running());

    // A left click on the icon shows it again, in front.
    const auto icon = trayIcon();
    ASSERT_TRUE(icon.has_value());
    ASSERT_TRUE(FSession->clickAt(*icon, 1));
    ASSERT_TRUE(waitUntil([&] { return mainWindow().has_value(); }, 5000))
        << "left click on the icon did not show the main window";
    EXPECT_TRUE(waitUntil([&] { return FSession->activeWindow() == mainWindow()->id; }, 5000));

    // The tray menu's Exit saves the settings and ends the program.
    ASSERT_TRUE(chooseFromTrayMenu(QStringLiteral("x")));
    EXPECT_TRUE(first.endsWithZero(15000)) << first.output().toStdString();
    EXPECT_TRUE(QFile::exists(FSession->configHome() + QStringLiteral("/Halvern/Tapestrix.conf")));
    EXPECT_TRUE(FSession->trayIconsOf(kInstance).empty());
}

TEST_F(EndToEnd, TrayMenuChangeNowAppliesTheNextPreset) {
    QImage want;
    prepareChange(&want);
    if (want.isNull())
        return;
    Program program(*FSession);
    ASSERT_TRUE(waitUntil([&] { return trayIcon().has_value(); }, 15000));
    ASSERT_TRUE(chooseFromTrayMenu(QStringLiteral("n")));
    EXPECT_TRUE(rootShows(want, 30000));
    EXPECT_TRUE(QFile::exists(FSession->dataHome() + QStringLiteral("/Tapestrix.bmp")));
    EXPECT_TRUE(program.running());
}

TEST_F(EndToEnd, DesktopActionsReachTheRunningInstance) {
    QImage want;
    prepareChange(&want);
    if (want.isNull())
        return;
    Program program(*FSession);
    ASSERT_TRUE(waitUntil([&] { return trayIcon().has_value(); }, 15000));

    // "Change background now": the running instance changes the wallpaper and shows nothing.
    Program changeNow(*FSession, {QStringLiteral("--change-now")});
    EXPECT_TRUE(changeNow.endsWithZero(20000)) << changeNow.output().toStdString();
    EXPECT_TRUE(rootShows(want, 30000));
    EXPECT_TRUE(FSession->bigWindowsOf(kInstance).empty());

    // "Show main window".
    Program show(*FSession, {QStringLiteral("--show")});
    EXPECT_TRUE(show.endsWithZero(20000)) << show.output().toStdString();
    EXPECT_TRUE(waitUntil([&] { return mainWindow().has_value(); }, 10000))
        << "main window not shown";
    EXPECT_EQ(FSession->trayIconsOf(kInstance).size(), 1u);
    EXPECT_TRUE(program.running());
}

TEST_F(EndToEnd, ChangeNowStartsTheProgramWhenNoneRuns) {
    QImage want;
    prepareChange(&want);
    if (want.isNull())
        return;
    Program program(*FSession, {QStringLiteral("--change-now")});
    EXPECT_TRUE(rootShows(want, 30000)) << program.output().toStdString();
    EXPECT_TRUE(waitUntil([&] { return trayIcon().has_value(); }, 15000));
    EXPECT_TRUE(FSession->bigWindowsOf(kInstance).empty());
    EXPECT_TRUE(program.running()) << "the program stays, as any start does";
}

TEST_F(EndToEnd, AutostartWithExitAppliesTheNextPresetAndEnds) {
    QImage want;
    prepareChange(&want,
                  {{QStringLiteral("OnAutoStart"), QStringLiteral("1")},
                   {QStringLiteral("ExitAfterAutoStart"), QStringLiteral("1")}},
                  1.0);
    if (want.isNull())
        return;
    const TDateTime before = Now();
    Program program(*FSession, {QStringLiteral("/autostart")});
    EXPECT_TRUE(program.endsWithZero(60000)) << program.output().toStdString();
    const TDateTime after = Now();
    EXPECT_TRUE(FSession->bigWindowsOf(kInstance).empty());
    EXPECT_TRUE(rootShows(want, 1000));

    TRegIniFile ini(QStringLiteral("Software\\Halvern\\Tapestrix"));
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("Options"), QStringLiteral("LastImage"), -1), 1);
    const auto bytes = ini.ReadBinaryData(QStringLiteral("LastChange"));
    ASSERT_TRUE(bytes.has_value());
    ASSERT_EQ(bytes->size(), 8);
    double lastChange = 0;
    std::memcpy(&lastChange, bytes->constData(), 8);
    const double slack = 2.0 / 86400.0; // clock resolution of the stored time
    EXPECT_GE(lastChange, before - slack);
    EXPECT_LE(lastChange, after + slack);
}

TEST_F(EndToEnd, AutomationChangesTheWallpaperWhenTheIntervalIsDue) {
    QImage want;
    prepareChange(&want,
                  {{QStringLiteral("AutoChange"), QStringLiteral("1")},
                   {QStringLiteral("Interval"), QStringLiteral("60")}},
                  1.0); // 31 December 1899: long overdue
    if (want.isNull())
        return;
    Program program(*FSession);
    ASSERT_TRUE(waitUntil([&] { return trayIcon().has_value(); }, 15000));
    // Nothing before the first tick...
    QThread::msleep(8000);
    EXPECT_TRUE(FSession->rootImage().isNull() ||
                shelltest::differingPixels(FSession->rootImage(), want) != 0);
    // ...and the change at the first tick, 15 seconds after the start.
    EXPECT_TRUE(rootShows(want, 30000));
    EXPECT_TRUE(program.running());
}

TEST_F(EndToEnd, TenSimultaneousStartsLeaveOneInstance) {
    startSession();
    std::vector<std::unique_ptr<Program>> starts;
    for (int i = 0; i < 10; ++i)
        starts.push_back(std::make_unique<Program>(*FSession));
    auto ended = [&] {
        int n = 0;
        for (const auto& p : starts)
            n += !p->running();
        return n;
    };
    ASSERT_TRUE(waitUntil([&] { return ended() >= 9; }, 60000)) << ended() << " ended";
    QThread::msleep(1000);
    EXPECT_EQ(ended(), 9);
    for (const auto& p : starts) {
        if (!p->running()) {
            EXPECT_EQ(p->process().exitCode(), 0) << p->output().toStdString();
        }
    }
    EXPECT_TRUE(waitUntil([&] { return FSession->trayIconsOf(kInstance).size() == 1; }, 10000))
        << FSession->trayIconsOf(kInstance).size() << " tray icons";
    // The nine restore requests showed the one main window.
    EXPECT_TRUE(waitUntil([&] { return mainWindow().has_value(); }, 10000));
    EXPECT_EQ(FSession->bigWindowsOf(kInstance).size(), 1u);
}

TEST_F(EndToEnd, WithoutANotificationAreaTheMainWindowShowsAtStart) {
    startSession(false);
    Program program(*FSession);
    EXPECT_TRUE(waitUntil([&] { return mainWindow().has_value(); }, 15000))
        << "a program without a tray icon must not hide: " << program.output().toStdString();
    EXPECT_TRUE(program.running());
}

TEST_F(EndToEnd, LaterStartShowsTheMainWindowWhenItWasShowingAtExit) {
    startSession();
    {
        Program first(*FSession);
        ASSERT_TRUE(waitUntil([&] { return trayIcon().has_value(); }, 15000));
        ASSERT_TRUE(FSession->clickAt(*trayIcon(), 1));
        ASSERT_TRUE(waitUntil([&] { return mainWindow().has_value(); }, 5000));
        ASSERT_TRUE(chooseFromTrayMenu(QStringLiteral("x")));
        ASSERT_TRUE(first.endsWithZero(15000)) << first.output().toStdString();
    }
    Program second(*FSession);
    EXPECT_TRUE(waitUntil([&] { return mainWindow().has_value(); }, 15000))
        << "the main window was showing at the last exit";
    EXPECT_TRUE(waitUntil([&] { return trayIcon().has_value(); }, 5000));

    // Hidden at exit: the next start shows only the icon again.
    ASSERT_TRUE(FSession->xdotool({QStringLiteral("key"), QStringLiteral("Escape")}));
    ASSERT_TRUE(waitUntil([&] { return FSession->bigWindowsOf(kInstance).empty(); }, 5000));
    ASSERT_TRUE(chooseFromTrayMenu(QStringLiteral("x")));
    ASSERT_TRUE(second.endsWithZero(15000)) << second.output().toStdString();
    Program third(*FSession);
    ASSERT_TRUE(waitUntil([&] { return trayIcon().has_value(); }, 15000));
    QThread::msleep(1000);
    EXPECT_TRUE(FSession->bigWindowsOf(kInstance).empty());
}

TEST_F(EndToEnd, TheAboutWindowIsTitledAboutWithoutTheProgramsName) {
    startSession();
    Program program(*FSession);
    ASSERT_TRUE(waitUntil([&] { return trayIcon().has_value(); }, 15000));
    ASSERT_TRUE(chooseFromTrayMenu(QStringLiteral("a")));
    // The only big window: the main window stays hidden.
    ASSERT_TRUE(waitUntil(
        [&] { return mainWindow().has_value() && !mainWindow()->title.isEmpty(); }, 10000))
        << "no About window";
    const auto about = mainWindow();
    ASSERT_TRUE(about.has_value());
    EXPECT_EQ(about->title.toStdString(), "About...") << "the title the window manager sees";
    ASSERT_TRUE(FSession->xdotool({QStringLiteral("key"), QStringLiteral("Escape")}));
    EXPECT_TRUE(waitUntil([&] { return FSession->bigWindowsOf(kInstance).empty(); }, 5000));
    EXPECT_TRUE(program.running());
}

TEST_F(EndToEnd, SigtermSavesWhatChangedAndEnds) {
    changeThenEndTheSession(
        [](Program& program) { ::kill(pid_t(program.process().processId()), SIGTERM); }, true);
}

TEST_F(EndToEnd, SighupSavesWhatChangedAndEnds) {
    changeThenEndTheSession(
        [](Program& program) { ::kill(pid_t(program.process().processId()), SIGHUP); }, true);
}

TEST_F(EndToEnd, ALostDisplaySavesWhatChangedAndEnds) {
    // Qt ends the process itself (with status 1) when its display connection breaks.
    changeThenEndTheSession([this](Program&) { FSession->stopServer(); }, false);
}

// Two monitors made with RandR 1.5, a preset of its own on each; then the right-hand one changes
// its size and place in two steps: the wallpaper is set once more, with the same presets.
TEST_F(EndToEnd, EachMonitorGetsItsOwnPresetAndALayoutChangeReappliesOnce) {
    startSession(false);
    if (IsSkipped())
        return;
    if (!shelltest::haveProgram(QStringLiteral("xrandr")))
        GTEST_SKIP() << "xrandr is not installed";
    ASSERT_NO_FATAL_FAILURE(makePictures());
    writeSettings({{QStringLiteral("Monitors"), QStringLiteral("2")}}, Now());
    const auto xrandr = [&](const QStringList& arguments) {
        QProcess process;
        process.setProcessEnvironment(FSession->environment());
        process.start(QStringLiteral("xrandr"), arguments);
        return process.waitForFinished(10000) && process.exitCode() == 0;
    };
    ASSERT_TRUE(xrandr({"--setmonitor", "L", "400/100x300/75+0+0", "screen"}));
    ASSERT_TRUE(xrandr({"--setmonitor", "R", "240/60x480/120+400+0", "none"}));
    const QRect left(0, 0, 400, 300), right(400, 0, 240, 480), moved(400, 80, 240, 400);
    // Monitor 0 gets the preset after the last one used (1), monitor 1 the one after that (0).
    const QImage leftPicture = expected(presets()[1], left.size());
    const QImage rightPicture = expected(presets()[0], right.size());
    const QImage movedPicture = expected(presets()[0], moved.size());
    ASSERT_FALSE(leftPicture.isNull() || rightPicture.isNull() || movedPicture.isNull());
    const auto shows = [&](const QRect& region, const QImage& picture) {
        const QImage root = FSession->rootImage();
        return !root.isNull() && shelltest::differingPixels(root.copy(region), picture) == 0;
    };

    Program program(*FSession, {QStringLiteral("--change-now")});
    ASSERT_TRUE(
        waitUntil([&] { return shows(left, leftPicture) && shows(right, rightPicture); }, 30000))
        << program.output().toStdString();
    std::vector<uint32_t> pixmaps{FSession->rootPixmap().value_or(0)};

    ASSERT_TRUE(xrandr({"--delmonitor", "R"}));
    ASSERT_TRUE(xrandr({"--setmonitor", "R", "240/60x400/100+400+80", "none"}));
    // Quiet for about two seconds after the burst, then one job: watched for eight seconds.
    waitUntil(
        [&] {
            const uint32_t pixmap = FSession->rootPixmap().value_or(0);
            if (pixmap != pixmaps.back())
                pixmaps.push_back(pixmap);
            return false;
        },
        8000, 100);
    EXPECT_EQ(pixmaps.size(), 2u) << "the wallpaper was set again " << pixmaps.size() - 1
                                  << " times";
    EXPECT_TRUE(shows(left, leftPicture));
    EXPECT_TRUE(shows(moved, movedPicture));
    QImage black(240, 80, QImage::Format_RGB32);
    black.fill(Qt::black);
    EXPECT_TRUE(shows(QRect(400, 0, 240, 80), black)) << "above the moved monitor";
}
