// Several monitors: the monitors' physical layout, and what each desktop is given (the tools and
// Plasma against recording doubles, XFCE against the real xfconfd on a private bus).
#include "platform/Monitors.h"
#include "platform/WallpaperBackends.h"

#include "PlatformTestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>

using namespace wallpaper;

namespace {

TMonitor Monitor(const char* name, QRect geometry, double ratio = 1.0, bool primary = false) {
    TMonitor monitor;
    monitor.Name = QLatin1String(name);
    monitor.Geometry = geometry;
    monitor.Ratio = ratio;
    monitor.Primary = primary;
    return monitor;
}

// A laptop at 200 % on the left of a plain monitor, a portrait one below the laptop; the files
// of each.
TWallpaperFiles ThreeMonitors() {
    TWallpaperFiles files;
    files.Primary = QStringLiteral("/w/Tapestrix-1.bmp");
    files.Desktop = QStringLiteral("/w/Tapestrix-desktop-2.bmp");
    const char* names[] = {"eDP-1", "DP-1", "HDMI-A-1"};
    const QRect places[] = {QRect(0, 0, 1280, 800), QRect(1280, 0, 1920, 1080),
                            QRect(0, 800, 1080, 1920)};
    for (int i = 0; i < 3; ++i) {
        TMonitor monitor = Monitor(names[i], places[i], 1.0, i == 0);
        monitor.Pixels = places[i];
        files.Monitors.push_back(
            {monitor, i == 0 ? files.Primary
                             : QStringLiteral("/w/my pics/Tapestrix[%1]-1.bmp").arg(names[i])});
    }
    files.Bounds = desktopBounds(
        {files.Monitors[0].Monitor, files.Monitors[1].Monitor, files.Monitors[2].Monitor});
    return files;
}

} // namespace

TEST(Monitors, PhysicalLayoutOrderAndBounds) {
    struct Case {
        const char* what;
        bool nativeOrigin;
        std::vector<TMonitor> monitors;
        std::vector<QRect> pixels; // in the order given
    };
    const Case cases[] = {
        {"X11 keeps the corners, scales the sizes",
         true,
         {Monitor("A", QRect(0, 0, 960, 540), 2.0), Monitor("B", QRect(1920, 0, 1080, 1200))},
         {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1080, 1200)}},
        {"logical positions, the 100 % monitor right of a 200 % one",
         false,
         {Monitor("A", QRect(0, 0, 1920, 1080), 2.0), Monitor("B", QRect(1920, 0, 1920, 1080))},
         {QRect(0, 0, 3840, 2160), QRect(3840, 0, 1920, 1080)}},
        {"logical positions, the gap left of a 200 % monitor is closed",
         false,
         {Monitor("A", QRect(0, 0, 1920, 1080)), Monitor("B", QRect(1920, 0, 1920, 1080), 2.0)},
         {QRect(0, 0, 1920, 1080), QRect(1920, 0, 3840, 2160)}},
        {"logical positions, one above the other at 150 %",
         false,
         {Monitor("A", QRect(0, 0, 1280, 720), 1.5), Monitor("B", QRect(0, 720, 1280, 720), 1.5)},
         {QRect(0, 0, 1920, 1080), QRect(0, 1080, 1920, 1080)}},
    };
    for (const Case& c : cases) {
        std::vector<TMonitor> monitors = c.monitors;
        placeMonitors(monitors, c.nativeOrigin);
        for (size_t i = 0; i < monitors.size(); ++i)
            EXPECT_EQ(monitors[i].Pixels, c.pixels[i]) << c.what << ", monitor " << i;
    }

    // Left to right, then top to bottom.
    std::vector<TMonitor> monitors;
    for (const TMonitorFile& file : ThreeMonitors().Monitors)
        monitors.insert(monitors.begin(), file.Monitor);
    sortMonitors(monitors);
    ASSERT_EQ(monitors.size(), 3u);
    EXPECT_EQ(monitors[0].Name, "eDP-1");
    EXPECT_EQ(monitors[1].Name, "HDMI-A-1");
    EXPECT_EQ(monitors[2].Name, "DP-1");
    EXPECT_EQ(desktopBounds(monitors), QRect(0, 0, 3200, 2720));
    EXPECT_EQ(primaryMonitor(monitors)->Name, "eDP-1");
    EXPECT_EQ(describeMonitors({monitors[0]}), "eDP-1 1280x800+0+0 scale 1 primary\n");
}

TEST(MonitorBackends, ToolsGiveEachOutputItsOwnFile) {
    platformtest::FakeTools tools;
    tools.add(QStringLiteral("swaymsg"));
    tools.add(QStringLiteral("hyprctl"), QStringLiteral("echo ok"));
    tools.add(QStringLiteral("pcmanfm"));
    Context context;
    context.env = tools.environment(QProcessEnvironment::systemEnvironment());
    context.timeoutMs = 5000;
    const TWallpaperFiles files = ThreeMonitors();
    setSwayWallpapers(context, files);
    setHyprlandWallpapers(context, files);
    setLxdeWallpapers(context, files);

    const QString dp = files.Monitors[1].Path, hdmi = files.Monitors[2].Path;
    const std::vector<QStringList> expected = {
        {"swaymsg", "output", "\"eDP-1\"", "bg", "\"" + files.Primary + "\"", "center"},
        {"swaymsg", "output", "\"DP-1\"", "bg", "\"" + dp + "\"", "center"},
        {"swaymsg", "output", "\"HDMI-A-1\"", "bg", "\"" + hdmi + "\"", "center"},
        {"hyprctl", "hyprpaper", "preload", files.Primary},
        {"hyprctl", "hyprpaper", "preload", dp},
        {"hyprctl", "hyprpaper", "preload", hdmi},
        {"hyprctl", "hyprpaper", "wallpaper", "eDP-1," + files.Primary},
        {"hyprctl", "hyprpaper", "wallpaper", "DP-1," + dp},
        {"hyprctl", "hyprpaper", "wallpaper", "HDMI-A-1," + hdmi},
        {"hyprctl", "hyprpaper", "unload", "unused"},
        {"pcmanfm", "--set-wallpaper=" + files.Desktop, "--wallpaper-mode=screen"},
    };
    EXPECT_EQ(tools.calls(), expected);
}

TEST(MonitorBackends, SwaybgDrawsEveryOutputInOneProcess) {
    platformtest::FakeTools tools;
    tools.add(QStringLiteral("swaybg"), QStringLiteral("exec sleep 30"));
    QTemporaryDir runtime;
    Context context;
    context.env = tools.environment(QProcessEnvironment::systemEnvironment());
    context.env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    const TWallpaperFiles files = ThreeMonitors();
    setWlrootsWallpapers(context, files);
    const auto calls = tools.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0],
              QStringList({"swaybg", "-o", "eDP-1", "-i", files.Primary, "-m", "center", "-o",
                           "DP-1", "-i", files.Monitors[1].Path, "-m", "center", "-o", "HDMI-A-1",
                           "-i", files.Monitors[2].Path, "-m", "center"}));
    QFile pidFile(runtime.filePath(QStringLiteral("tapestrix-swaybg.pid")));
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    ::kill(pid_t(pidFile.readAll().trimmed().toLongLong()), SIGTERM);
}

TEST(MonitorBackends, PlasmaScriptMatchesDesktopsToScreensByTheirCorner) {
    const QString script = plasmaMonitorsScript(ThreeMonitors());
    EXPECT_TRUE(
        script.contains("{x: 1280, y: 0, uri: \"file:///w/my%20pics/Tapestrix%5BDP-1%5D-1.bmp\"}"))
        << script.toStdString();
    EXPECT_TRUE(script.contains("{x: 0, y: 800, uri: \"file:///w/my%20pics/"
                                "Tapestrix%5BHDMI-A-1%5D-1.bmp\"}"));
    EXPECT_TRUE(script.contains("var primary = \"file:///w/Tapestrix-1.bmp\";"));
    EXPECT_TRUE(script.contains("screenGeometry(d.screen)"));
    EXPECT_TRUE(script.contains("d.writeConfig(\"Image\", uri);"));
}

namespace {

QVariant XfconfGet(const QString& address, const QString& property) {
    QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("xfconf-check"));
    QDBusMessage call = QDBusMessage::createMethodCall("org.xfce.Xfconf", "/org/xfce/Xfconf",
                                                       "org.xfce.Xfconf", "GetProperty");
    call << QStringLiteral("xfce4-desktop") << property;
    const QDBusMessage reply = bus.call(call);
    QDBusConnection::disconnectFromBus(QStringLiteral("xfconf-check"));
    QVariant value = reply.arguments().value(0);
    return value.canConvert<QDBusVariant>() ? value.value<QDBusVariant>().variant() : value;
}

} // namespace

TEST(MonitorBackends, XfceGivesEachMonitorsLastImageItsFile) {
    if (!QFileInfo::exists(QStringLiteral("/usr/share/dbus-1/services/org.xfce.Xfconf.service")))
        GTEST_SKIP() << "xfconfd is not installed (package xfconf)";
    platformtest::PrivateBus bus;
    if (!bus.started())
        GTEST_SKIP() << qPrintable(bus.error());
    Context context;
    context.env = bus.environment();
    TWallpaperFiles files = ThreeMonitors();
    // A first call creates workspace 0 of every monitor; a second one, with the portrait monitor
    // gone, leaves its entry on the primary monitor's file.
    setXfceWallpapers(context, files);
    for (const TMonitorFile& monitor : files.Monitors)
        EXPECT_EQ(XfconfGet(bus.address(), "/backdrop/screen0/monitor" + monitor.Monitor.Name +
                                               "/workspace0/last-image")
                      .toString(),
                  monitor.Path);
    files.Monitors.pop_back();
    files.Primary = "/w/Tapestrix-2.bmp";
    files.Monitors[0].Path = files.Primary;
    setXfceWallpapers(context, files);
    EXPECT_EQ(
        XfconfGet(bus.address(), "/backdrop/screen0/monitoreDP-1/workspace0/last-image").toString(),
        files.Primary);
    EXPECT_EQ(XfconfGet(bus.address(), "/backdrop/screen0/monitorHDMI-A-1/workspace0/last-image")
                  .toString(),
              files.Primary);
    EXPECT_EQ(
        XfconfGet(bus.address(), "/backdrop/screen0/monitorDP-1/workspace0/image-style").toInt(),
        1);
}
