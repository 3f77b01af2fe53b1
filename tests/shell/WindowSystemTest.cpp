// Starting without a window system that Qt can reach: the program and tapestrix-compose --apply
// say what went wrong with each platform plugin tried and end with exit code 1, never with Qt's
// abort; a composition, which needs no display, is made all the same.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct TRun {
    bool Crashed = false;
    int Code = -1;
    QString Err;
};

TRun run(const QString& program, const QStringList& arguments, const QProcessEnvironment& env) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForFinished(60000)) << program.toStdString();
    return {process.exitStatus() != QProcess::NormalExit, process.exitCode(),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

} // namespace

TEST(WindowSystem, NoPlatformPluginThatStartsIsReportedNotAborted) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString runtime = dir.filePath("runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE",
                             "XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP", "DESKTOP_SESSION",
                             "SWAYSOCK", "DBUS_SESSION_BUS_ADDRESS"})
        base.remove(QLatin1String(name));
    base.insert("XDG_RUNTIME_DIR", runtime);
    base.insert("HOME", dir.path());
    base.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    base.insert("XDG_DATA_HOME", dir.filePath("data"));
    // A display number no X server listens on.
    int free = 77;
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(free)))
        ++free;
    const QString noX = QStringLiteral(":%1").arg(free);

    const struct {
        const char* what;
        std::vector<std::pair<QString, QString>> env;
        QStringList problems;
    } cases[] = {
        {"a Wayland display with nothing at it",
         {{"WAYLAND_DISPLAY", "nothing-here"}},
         {"wayland: cannot reach the display (WAYLAND_DISPLAY=nothing-here)",
          "xcb: cannot reach the display (DISPLAY is not set)"}},
        {"an X display with no server", {{"DISPLAY", noX}}, {"xcb: cannot reach the display"}},
        {"a platform plugin that is not there",
         {{"QT_QPA_PLATFORM", "no-such-plugin"}},
         {"no-such-plugin: the plugin is not installed"}},
    };
    const QString program = QStringLiteral(TAPESTRIX_BINARY_DIR "/src/tapestrix");
    const QString composer = QStringLiteral(TAPESTRIX_BINARY_DIR "/src/tapestrix-compose");
    for (const auto& c : cases) {
        QProcessEnvironment env = base;
        for (const auto& [name, value] : c.env)
            env.insert(name, value);

        const TRun started = run(program, {}, env);
        EXPECT_FALSE(started.Crashed) << c.what << ": " << started.Err.toStdString();
        EXPECT_EQ(started.Code, 1) << c.what;
        EXPECT_TRUE(
            started.Err.contains("Tapestrix cannot start: no Qt platform plugin can be started: "))
            << c.what << ": " << started.Err.toStdString();

        const TRun applied = run(composer, {"--apply", "--background", "#FF"}, env);
        EXPECT_FALSE(applied.Crashed) << c.what << ": " << applied.Err.toStdString();
        EXPECT_EQ(applied.Code, 1) << c.what;
        EXPECT_TRUE(applied.Err.contains("tapestrix-compose: --apply needs a display"))
            << c.what << ": " << applied.Err.toStdString();
        for (const QString& problem : c.problems) {
            EXPECT_TRUE(started.Err.contains(problem))
                << c.what << ": " << started.Err.toStdString();
            EXPECT_TRUE(applied.Err.contains(problem))
                << c.what << ": " << applied.Err.toStdString();
        }
        EXPECT_FALSE(QFile::exists(dir.filePath("data/Tapestrix.bmp"))) << c.what;

        // The button face colour needs Qt's platform (the palette), not a display.
        const QString out = dir.filePath("out.bmp");
        QFile::remove(out);
        const TRun composed =
            run(composer,
                {"--size", "8x6", "--background", "#8000000F", "--output", out, "--quiet"}, env);
        EXPECT_EQ(composed.Code, 0) << c.what << ": " << composed.Err.toStdString();
        EXPECT_TRUE(QFile::exists(out)) << c.what;
    }
}
