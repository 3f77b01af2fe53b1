// tapestrix-compose --apply: one desktop job run as the program runs it. Under a real X server
// with no desktop environment the root window ends up showing the composition.
#include "support/TestSupport.h"
#include "support/Xvfb.h"
#include "toolkit/Graphics.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#ifdef TAPESTRIX_HAVE_XCB
#include <xcb/xcb.h>
#endif

#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

struct ApplyResult {
    int Code = -1;
    QString Err;
};

ApplyResult RunCompose(const QStringList& arguments, const QProcessEnvironment& env) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TAPESTRIX_COMPOSE_EXE), arguments);
    EXPECT_TRUE(process.waitForFinished(60000));
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardError())};
}

// The environment of a session without a desktop: only the X display.
QProcessEnvironment BareSession(const QString& dataHome) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP", "DESKTOP_SESSION",
                             "WAYLAND_DISPLAY", "SWAYSOCK", "HYPRLAND_INSTANCE_SIGNATURE",
                             "XDG_SESSION_TYPE", "QT_QPA_PLATFORM", "DISPLAY"})
        env.remove(QLatin1String(name));
    env.insert("XDG_DATA_HOME", dataHome);
    return env;
}

TEST(ComposeApply, WithoutADisplayItSaysItNeedsOne) {
    QTemporaryDir dir;
    const ApplyResult r = RunCompose({"--apply", "--background", "#FF"}, BareSession(dir.path()));
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(r.Err.contains("--apply needs a display")) << r.Err.toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath("Tapestrix.bmp")));
}

// A sway of its own, headless, without Xwayland. sway refuses to run as root; root runs it in a
// user namespace of its own, where it is nobody.
class HeadlessSway {
public:
    explicit HeadlessSway(const QString& runtime) : FRuntime(runtime) {
        const QString sway = QStandardPaths::findExecutable("sway");
        const QString unshare = QStandardPaths::findExecutable("unshare");
        if (sway.isEmpty() || QStandardPaths::findExecutable("swaybg").isEmpty()) {
            FError = "sway and swaybg are not installed";
            return;
        }
        QFile config(runtime + "/../sway.conf");
        config.open(QIODevice::WriteOnly);
        config.write("xwayland disable\n");
        config.close();
        QProcessEnvironment env;
        env.insert("PATH", qEnvironmentVariable("PATH"));
        env.insert("HOME", runtime + "/..");
        env.insert("XDG_RUNTIME_DIR", runtime);
        env.insert("WLR_BACKENDS", "headless");
        env.insert("WLR_RENDERER", "pixman");
        env.insert("WLR_LIBINPUT_NO_DEVICES", "1");
        FProcess.setProcessEnvironment(env);
        FProcess.setProcessChannelMode(QProcess::MergedChannels);
        const QStringList arguments = {"-c", config.fileName()};
        if (::getuid() != 0)
            FProcess.start(sway, arguments);
        else if (!unshare.isEmpty())
            FProcess.start(unshare, QStringList{"--user", sway} + arguments);
        else {
            FError = "unshare (util-linux) is not installed";
            return;
        }
        for (int i = 0; i < 100 && FProcess.state() != QProcess::NotRunning; ++i) {
            const QStringList ipc = QDir(runtime).entryList({"sway-ipc.*.sock"}, QDir::System);
            const QStringList wayland = QDir(runtime).entryList({"wayland-*"}, QDir::System);
            if (!ipc.isEmpty() && !wayland.isEmpty()) {
                FSwaySock = runtime + "/" + ipc.first();
                FWaylandDisplay = wayland.first();
                return;
            }
            FProcess.waitForFinished(100);
        }
        FError = "sway did not start: " + QString::fromLocal8Bit(FProcess.readAll());
    }
    ~HeadlessSway() {
        FProcess.kill();
        FProcess.waitForFinished(5000);
    }
    bool Started() const { return FError.isEmpty(); }
    QString Error() const { return FError; }
    QString SwaySock() const { return FSwaySock; }
    QString WaylandDisplay() const { return FWaylandDisplay; }

private:
    QString FRuntime;
    QProcess FProcess;
    QString FError;
    QString FSwaySock;
    QString FWaylandDisplay;
};

// The command lines of this user's processes named `name`.
QStringList CommandLinesOf(const QString& name) {
    QStringList lines;
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile comm("/proc/" + pid + "/comm");
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name.toUtf8())
            continue;
        QFile cmdline("/proc/" + pid + "/cmdline");
        if (cmdline.open(QIODevice::ReadOnly))
            lines << QString::fromLocal8Bit(cmdline.readAll().replace('\0', ' '));
    }
    return lines;
}

TEST(ComposeApply, SwayWithoutXwaylandGetsTheWallpaperOverWayland) {
    QTemporaryDir dir;
    const QString runtime = dir.filePath("runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    HeadlessSway sway(runtime);
    if (!sway.Started())
        GTEST_SKIP() << sway.Error().toStdString();
    QProcessEnvironment env = BareSession(dir.filePath("data"));
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("WAYLAND_DISPLAY", sway.WaylandDisplay());
    env.insert("SWAYSOCK", sway.SwaySock());
    env.insert("XDG_CURRENT_DESKTOP", "sway");
    env.insert("XDG_SESSION_TYPE", "wayland");
    const ApplyResult applied = RunCompose({"--apply", "--background", "#FF"}, env);
    ASSERT_EQ(applied.Code, 0) << applied.Err.toStdString();
    // sway hands the picture to a swaybg of its own.
    const QString shown = dir.filePath("data/Tapestrix-1.bmp");
    EXPECT_TRUE(QFile::exists(shown));
    bool drawn = false;
    for (int i = 0; i < 50 && !drawn; ++i) {
        drawn = CommandLinesOf("swaybg").filter(shown).size() == 1;
        if (!drawn)
            QThread::msleep(100);
    }
    EXPECT_TRUE(drawn) << CommandLinesOf("swaybg").join("\n").toStdString();
}

#ifdef TAPESTRIX_HAVE_XCB
TEST(ComposeApply, RootWindowShowsTheComposition) {
    const int w = 160, h = 120;
    testsupport::XvfbServer server(w, h);
    if (!server.Started())
        GTEST_SKIP() << server.Error().toStdString();
    QTemporaryDir dir;
    TBitmap fg(40, 20, TPixelFormat::pf24bit);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x)
            fg.Canvas()->SetPixels(x, y, TColor(x * 6 | (y * 12) << 8 | 0x400000));
    const QString fgPath = dir.filePath("fg.bmp");
    fg.SaveToFile(fgPath);

    QProcessEnvironment env = BareSession(dir.filePath("data"));
    env.insert("DISPLAY", server.Display());
    const ApplyResult applied =
        RunCompose({"--apply", "--foreground", fgPath, "--background", "#FF"}, env);
    ASSERT_EQ(applied.Code, 0) << applied.Err.toStdString();
    EXPECT_TRUE(applied.Err.contains("Applying image to Windows background...\nDone.\n"));
    EXPECT_TRUE(QFile::exists(dir.filePath("data/Tapestrix.bmp")));

    const QString reference = dir.filePath("reference.bmp");
    const ApplyResult composed =
        RunCompose({"--size", QStringLiteral("%1x%2").arg(w).arg(h), "--foreground", fgPath,
                    "--background", "#FF", "--output", reference, "--quiet"},
                   env);
    ASSERT_EQ(composed.Code, 0) << composed.Err.toStdString();
    TBitmap expected;
    expected.LoadFromFile(reference);

    xcb_connection_t* c = xcb_connect(server.Display().toLocal8Bit().constData(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(c));
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> image(
        xcb_get_image_reply(c,
                            xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0,
                                          uint16_t(w), uint16_t(h), ~0u),
                            nullptr),
        &std::free);
    ASSERT_TRUE(image);
    const auto* pixels = reinterpret_cast<const uint32_t*>(xcb_get_image_data(image.get()));
    int differing = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t p = pixels[y * w + x] & 0xFFFFFF; // 0xRRGGBB on a 24-bit TrueColor root
            const TColor got = TColor((p >> 16) | (p & 0xFF00) | (p & 0xFF) << 16);
            differing += got != expected.Canvas()->Pixels(x, y);
        }
    xcb_disconnect(c);
    EXPECT_EQ(differing, 0);
}
#endif

} // namespace
