// URIs, the quoting of values for gsettings, sway and Plasma scripts, and the tool runner.
#include "platform/WallpaperBackends.h"

#include "PlatformTestSupport.h"

#include <QElapsedTimer>
#include <QUrl>
#include <gtest/gtest.h>

using namespace wallpaper;

TEST(WallpaperHelpers, FileUriEncodesEverythingButUnreservedCharacters) {
    EXPECT_EQ(fileUri(QStringLiteral("/home/a/Tapestrix-1.bmp")),
              QStringLiteral("file:///home/a/Tapestrix-1.bmp"));
    const QString odd = QStringLiteral("/tmp/my pics/\"quote\" 'it' #1 %20 ü ?x.bmp");
    const QString uri = fileUri(odd);
    for (QChar c : uri.mid(7))
        EXPECT_TRUE(c.isLetterOrNumber() || QStringLiteral("/-._~%").contains(c))
            << qPrintable(uri);
    EXPECT_EQ(QUrl(uri).toLocalFile(), odd);
}

TEST(WallpaperHelpers, GVariantQuotingRoundTrips) {
    const QString samples[] = {
        QString(),
        QStringLiteral("file:///a/b.bmp"),
        QStringLiteral("it's \"here\""),
        QStringLiteral("back\\slash\\"),
        QStringLiteral("line\nbreak\ttab"),
        QStringLiteral("ünïcødé ✓"),
    };
    for (const QString& sample : samples) {
        const QString quoted = gvariantQuote(sample);
        EXPECT_TRUE(quoted.startsWith(QLatin1Char('\'')) && quoted.endsWith(QLatin1Char('\'')));
        EXPECT_EQ(gvariantUnquote(quoted).value_or(QStringLiteral("<none>")), sample)
            << qPrintable(quoted);
    }
}

TEST(WallpaperHelpers, GVariantUnquoteReadsWhatGsettingsPrints) {
    // gsettings prints strings holding a single quote between double quotes.
    EXPECT_EQ(gvariantUnquote(QStringLiteral("\"it's\"")).value_or(QString()),
              QStringLiteral("it's"));
    EXPECT_EQ(gvariantUnquote(QStringLiteral("  'zoom'\n")).value_or(QString()),
              QStringLiteral("zoom"));
    EXPECT_EQ(gvariantUnquote(QStringLiteral("'\\u00e9\\U0001F600'")).value_or(QString()),
              QString::fromUtf8("é😀"));
    EXPECT_FALSE(gvariantUnquote(QStringLiteral("zoom")));
    EXPECT_FALSE(gvariantUnquote(QStringLiteral("'a' 'b'")));
    EXPECT_FALSE(gvariantUnquote(QStringLiteral("'unterminated")));
    EXPECT_FALSE(gvariantUnquote(QStringLiteral("'bad \\u12'")));
    EXPECT_FALSE(gvariantUnquote(QStringLiteral("'")));
}

TEST(WallpaperHelpers, SwayQuoteKeepsThePathOneWord) {
    EXPECT_EQ(swayQuote(QStringLiteral("/a b/c.bmp")), QStringLiteral("\"/a b/c.bmp\""));
    EXPECT_EQ(swayQuote(QStringLiteral("/a\"b\\c")), QStringLiteral("\"/a\\\"b\\\\c\""));
}

TEST(WallpaperHelpers, PlasmaScriptSetsEveryDesktopCentredAndUnscaled) {
    const QString script = plasmaWallpaperScript(QStringLiteral("file:///x/T-1.bmp"));
    EXPECT_TRUE(script.contains(QStringLiteral("var uri = \"file:///x/T-1.bmp\";")));
    EXPECT_TRUE(script.contains(QStringLiteral("desktops()")));
    EXPECT_TRUE(script.contains(QStringLiteral("d.wallpaperPlugin = \"org.kde.image\"")));
    EXPECT_TRUE(script.contains(QStringLiteral(
        "d.currentConfigGroup = Array(\"Wallpaper\", \"org.kde.image\", \"General\")")));
    EXPECT_TRUE(script.contains(QStringLiteral("d.writeConfig(\"Image\", uri)")));
    EXPECT_TRUE(script.contains(QStringLiteral("d.writeConfig(\"FillMode\", 6)")));
}

TEST(WallpaperHelpers, PlasmaScriptLiteralCannotBeBrokenOutOf) {
    const QString script =
        plasmaWallpaperScript(QStringLiteral("a\"; evil(); \"\\\n\x01") + QChar(0x2028));
    const QString line = script.section(QLatin1Char('\n'), 0, 0);
    EXPECT_EQ(line, QStringLiteral("var uri = \"a\\\"; evil(); \\\"\\\\\\u000a\\u0001\\u2028\";"));
}

TEST(WallpaperHelpers, ToolRunnerFindsToolsOnTheContextsPath) {
    platformtest::FakeTools tools;
    tools.add(QStringLiteral("echoer"), QStringLiteral("echo \"out:$1\"; echo err >&2; exit 3"));
    Context context;
    context.env = tools.environment(QProcessEnvironment::systemEnvironment());
    const ToolResult result = runTool(context, QStringLiteral("echoer"),
                                      {QStringLiteral("a b"), QStringLiteral("$HOME")});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.out, "out:a b\n");
    ASSERT_EQ(tools.calls().size(), 1u);
    EXPECT_EQ(tools.calls()[0], QStringList({QStringLiteral("echoer"), QStringLiteral("a b"),
                                             QStringLiteral("$HOME")}));
    try {
        runToolChecked(context, QStringLiteral("echoer"), {});
        FAIL() << "a non-zero exit must raise";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("exit code 3"))) << e.what();
        EXPECT_TRUE(e.Message().contains(QStringLiteral("err"))) << e.what();
    }
}

TEST(WallpaperHelpers, ToolRunnerReportsMissingToolsAndTimeOuts) {
    platformtest::FakeTools tools;
    tools.add(QStringLiteral("sleeper"), QStringLiteral("exec sleep 30"));
    Context context;
    context.env = tools.environment(QProcessEnvironment::systemEnvironment());
    context.timeoutMs = 300;
    try {
        runTool(context, QStringLiteral("no-such-tool-here"), {});
        FAIL() << "a missing tool must raise";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("not installed"))) << e.what();
    }
    QElapsedTimer timer;
    timer.start();
    try {
        runTool(context, QStringLiteral("sleeper"), {});
        FAIL() << "a tool that hangs must raise";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("did not finish"))) << e.what();
    }
    EXPECT_LT(timer.elapsed(), 5000);

    QProcessEnvironment noPath = context.env;
    noPath.remove(QStringLiteral("PATH"));
    context.env = noPath;
    EXPECT_TRUE(findTool(context, QStringLiteral("sleeper")).isEmpty());
}

TEST(WallpaperHelpers, SessionBusNeedsAnAddress) {
    Context context;
    context.env = QProcessEnvironment();
    context.env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QStringLiteral("/nonexistent-dir"));
    try {
        SessionBus bus(context);
        FAIL() << "no address must raise";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("no session bus"))) << e.what();
    }
    context.env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=/nonexistent-dir/bus"));
    try {
        SessionBus bus(context);
        FAIL() << "an unreachable bus must raise";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("cannot connect"))) << e.what();
    }
}
