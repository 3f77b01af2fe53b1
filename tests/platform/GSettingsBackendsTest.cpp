// The GSettings desktops on a private session bus with the dconf backend: through the gsettings
// tool, and through GIO in a child process (GIO reads its environment once per process).
#include "platform/LinuxDesktopWallpaper.h"
#include "platform/WallpaperBackends.h"

#include "PlatformTestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

#include <cstdio>

using namespace wallpaper;

namespace {

// What gsettings reads in `env`, unquoted.
QString gsettingsGet(const QProcessEnvironment& env, const QString& schema, const QString& key) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("gsettings"), {QStringLiteral("get"), schema, key});
    process.waitForFinished(10000);
    const QString text = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    return gvariantUnquote(text).value_or(text);
}

bool schemaInstalled(const QString& schema) {
    QProcess process;
    process.start(QStringLiteral("gsettings"), {QStringLiteral("list-keys"), schema});
    process.waitForFinished(10000);
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// A session bus without a session: nothing to connect to and nothing to start one with.
QProcessEnvironment withoutBus(const QProcessEnvironment& env) {
    QProcessEnvironment result = env;
    result.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    result.remove(QStringLiteral("DISPLAY"));
    result.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                  env.value(QStringLiteral("XDG_RUNTIME_DIR")) + QStringLiteral("/nobus"));
    QDir().mkpath(result.value(QStringLiteral("XDG_RUNTIME_DIR")));
    return result;
}

class GSettingsBackendsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platformtest::haveProgram(QStringLiteral("gsettings")))
            GTEST_SKIP() << "gsettings is not installed (package libglib2.0-bin)";
        if (!FBus.started())
            GTEST_SKIP() << qPrintable(FBus.error());
        FContext.env = FBus.environment();
        FContext.gsettings = GSettingsAccess::Tool;
        FPath = FBus.root() + QStringLiteral("/data/my wallpaper's/Tapestrix-1.bmp");
    }
    QString get(const char* schema, const char* key) const {
        return gsettingsGet(FBus.environment(), QLatin1String(schema), QLatin1String(key));
    }

    platformtest::PrivateBus FBus;
    Context FContext;
    QString FPath;
};

} // namespace

TEST_F(GSettingsBackendsTest, GnomeKeysReadBackAsSet) {
    setGnomeWallpaper(FContext, FPath);
    const QString uri = fileUri(FPath);
    EXPECT_EQ(get("org.gnome.desktop.background", "picture-uri"), uri);
    EXPECT_EQ(get("org.gnome.desktop.background", "picture-options"), QStringLiteral("zoom"));
    const QString dark = get("org.gnome.desktop.background", "picture-uri-dark");
    if (!dark.contains(QStringLiteral("No such key"))) {
        EXPECT_EQ(dark, uri);
    }
}

TEST_F(GSettingsBackendsTest, MateUsesAPlainPath) {
    if (!schemaInstalled(QStringLiteral("org.mate.background")))
        GTEST_SKIP() << "the MATE schemas are not installed (package mate-desktop-common)";
    setMateWallpaper(FContext, FPath);
    EXPECT_EQ(get("org.mate.background", "picture-filename"), FPath);
    EXPECT_EQ(get("org.mate.background", "picture-options"), QStringLiteral("zoom"));
}

TEST_F(GSettingsBackendsTest, CinnamonUsesAUri) {
    if (!schemaInstalled(QStringLiteral("org.cinnamon.desktop.background")))
        GTEST_SKIP() << "the Cinnamon schemas are not installed (package cinnamon-desktop-data)";
    setCinnamonWallpaper(FContext, FPath);
    EXPECT_EQ(get("org.cinnamon.desktop.background", "picture-uri"), fileUri(FPath));
    EXPECT_EQ(get("org.cinnamon.desktop.background", "picture-options"), QStringLiteral("zoom"));
}

TEST_F(GSettingsBackendsTest, DroppedValueWithoutSessionBusIsAFailure) {
    Context noBus = FContext;
    noBus.env = withoutBus(FContext.env);
    try {
        setGnomeWallpaper(noBus, FPath);
        FAIL() << "a value gsettings dropped must not count as set";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("did not keep its new value"))) << e.what();
    }
}

TEST_F(GSettingsBackendsTest, MissingSchemaIsReported) {
    Context bare = FContext;
    bare.env.insert(QStringLiteral("XDG_DATA_DIRS"), FBus.root() + QStringLiteral("/none"));
    try {
        setCinnamonWallpaper(bare, FPath);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(),
                  QStringLiteral("the GSettings schema org.cinnamon.desktop.background "
                                 "is not installed"));
    }
}

TEST_F(GSettingsBackendsTest, OlderGnomeSchemaWithoutDarkKeyIsFine) {
    if (!platformtest::haveProgram(QStringLiteral("glib-compile-schemas")))
        GTEST_SKIP() << "glib-compile-schemas is not installed";
    // A GNOME 41 style schema: no picture-uri-dark.
    const QString dir = FBus.root() + QStringLiteral("/old/glib-2.0/schemas");
    QDir().mkpath(dir);
    ASSERT_TRUE(platformtest::writeFile(
        dir + QStringLiteral("/org.gnome.desktop.background.gschema.xml"),
        "<schemalist>\n"
        " <enum id='org.gnome.desktop.GDesktopBackgroundStyle'>\n"
        "  <value nick='none' value='0'/><value nick='centered' value='2'/>\n"
        "  <value nick='zoom' value='5'/>\n"
        " </enum>\n"
        " <schema id='org.gnome.desktop.background' path='/org/gnome/desktop/background/'>\n"
        "  <key name='picture-options' enum='org.gnome.desktop.GDesktopBackgroundStyle'>\n"
        "   <default>'none'</default></key>\n"
        "  <key name='picture-uri' type='s'><default>''</default></key>\n"
        " </schema>\n"
        "</schemalist>\n"));
    QProcess compile;
    compile.start(QStringLiteral("glib-compile-schemas"), {dir});
    ASSERT_TRUE(compile.waitForFinished(10000));
    ASSERT_EQ(compile.exitCode(), 0) << compile.readAllStandardError().constData();
    Context old = FContext;
    old.env.insert(QStringLiteral("XDG_DATA_DIRS"), FBus.root() + QStringLiteral("/old"));
    setGnomeWallpaper(old, FPath);
    EXPECT_EQ(gsettingsGet(old.env, QStringLiteral("org.gnome.desktop.background"),
                           QStringLiteral("picture-uri")),
              fileUri(FPath));
}

TEST_F(GSettingsBackendsTest, SameContentTwiceGivesADifferentUri) {
    QTemporaryDir folder;
    const QString file = folder.path() + QStringLiteral("/Tapestrix.bmp");
    ASSERT_TRUE(platformtest::writeFile(file, "BM same bytes"));
    Context gnome = FContext;
    gnome.env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
    LinuxDesktopWallpaper setter(gnome);

    setter.setDesktopWallpaper(file);
    const QString first = get("org.gnome.desktop.background", "picture-uri");
    setter.setDesktopWallpaper(file);
    const QString second = get("org.gnome.desktop.background", "picture-uri");
    EXPECT_TRUE(first.startsWith(QStringLiteral("file://"))) << qPrintable(first);
    EXPECT_NE(first, second);
    // The desktop's current file exists and holds the wallpaper; the previous one is gone.
    const QString current = QUrl(second).toLocalFile();
    QFile shown(current);
    ASSERT_TRUE(shown.open(QIODevice::ReadOnly));
    EXPECT_EQ(shown.readAll(), "BM same bytes");
    EXPECT_FALSE(QFile::exists(QUrl(first).toLocalFile()));
}

// ---------------------------------------------------------------------------------------------
// GIO, in a child process started with the private bus's environment.

#ifdef TAPESTRIX_HAVE_GIO

TEST(GioChild, DISABLED_SetGnomeWallpaper) {
    Context context;
    context.gsettings = GSettingsAccess::Library;
    const QString path = qEnvironmentVariable("TAPESTRIX_TEST_WALLPAPER");
    const bool expectFailure = qEnvironmentVariableIsSet("TAPESTRIX_TEST_EXPECT_FAILURE");
    try {
        setGnomeWallpaper(context, path);
        EXPECT_FALSE(expectFailure) << "the change was reported as done";
    } catch (const Exception& e) {
        EXPECT_TRUE(expectFailure) << e.what();
        printf("failure: %s\n", e.what());
    }
}

TEST_F(GSettingsBackendsTest, GioWritesThroughDconf) {
    QProcessEnvironment env = FBus.environment();
    env.insert(QStringLiteral("TAPESTRIX_TEST_WALLPAPER"), FPath);
    const auto child =
        platformtest::runSelf(QStringLiteral("GioChild.DISABLED_SetGnomeWallpaper"), env);
    ASSERT_EQ(child.exitCode, 0) << qPrintable(child.output);
    EXPECT_EQ(get("org.gnome.desktop.background", "picture-uri"), fileUri(FPath));
    EXPECT_EQ(get("org.gnome.desktop.background", "picture-options"), QStringLiteral("zoom"));
}

TEST_F(GSettingsBackendsTest, GioWithoutSessionBusReportsTheDroppedValue) {
    QProcessEnvironment env = withoutBus(FBus.environment());
    env.insert(QStringLiteral("TAPESTRIX_TEST_WALLPAPER"), FPath);
    env.insert(QStringLiteral("TAPESTRIX_TEST_EXPECT_FAILURE"), QStringLiteral("1"));
    const auto child =
        platformtest::runSelf(QStringLiteral("GioChild.DISABLED_SetGnomeWallpaper"), env);
    ASSERT_EQ(child.exitCode, 0) << qPrintable(child.output);
    EXPECT_TRUE(child.output.contains(QStringLiteral("did not keep its new value")))
        << qPrintable(child.output);
}

TEST_F(GSettingsBackendsTest, GioWithoutDconfModuleRefusesTheMemoryBackend) {
    QProcessEnvironment env = FBus.environment();
    env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
    env.insert(QStringLiteral("TAPESTRIX_TEST_WALLPAPER"), FPath);
    env.insert(QStringLiteral("TAPESTRIX_TEST_EXPECT_FAILURE"), QStringLiteral("1"));
    const auto child =
        platformtest::runSelf(QStringLiteral("GioChild.DISABLED_SetGnomeWallpaper"), env);
    ASSERT_EQ(child.exitCode, 0) << qPrintable(child.output);
    EXPECT_TRUE(child.output.contains(QStringLiteral("no lasting store")))
        << qPrintable(child.output);
}

#endif
