// tapestrix-compose with two monitors made with RandR 1.5 on Xvfb: a landscape 1920 x 1080 (a
// little lower than the top) beside a portrait 1080 x 1200. The root window shows each monitor's
// own composition (each) or its part of the desktop's (span), black elsewhere; GNOME gets one
// desktop-sized file spanned across both.
#include "support/TestSupport.h"
#include "support/Xvfb.h"
#include "toolkit/Graphics.h"

#include <QFile>
#include <QProcess>
#include <QRect>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

#ifdef TAPESTRIX_HAVE_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int kRootWidth = 3000, kRootHeight = 1200;
const QRect kLandscape(0, 60, 1920, 1080);
const QRect kPortrait(1920, 0, 1080, 1200);

struct TRun {
    int Code = -1;
    QString Out, Err;
};

TRun Compose(const QStringList& arguments, const QProcessEnvironment& env,
             const QString& wrapper = QString()) {
    QProcess process;
    process.setProcessEnvironment(env);
    if (wrapper.isEmpty())
        process.start(QStringLiteral(TAPESTRIX_COMPOSE_EXE), arguments);
    else
        process.start(wrapper,
                      QStringList{QStringLiteral("--"), QStringLiteral(TAPESTRIX_COMPOSE_EXE)} +
                          arguments);
    EXPECT_TRUE(process.waitForFinished(120000));
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

class TwoMonitors : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("xrandr")).isEmpty())
            GTEST_SKIP() << "xrandr is not installed";
        FServer = std::make_unique<testsupport::XvfbServer>(kRootWidth, kRootHeight);
        if (!FServer->Started())
            GTEST_SKIP() << FServer->Error().toStdString();
        FEnv = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP", "DESKTOP_SESSION",
                                 "WAYLAND_DISPLAY", "SWAYSOCK", "HYPRLAND_INSTANCE_SIGNATURE",
                                 "XDG_SESSION_TYPE", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"})
            FEnv.remove(QLatin1String(name));
        FEnv.insert("DISPLAY", FServer->Display());
        FEnv.insert("XDG_DATA_HOME", FDir.filePath("data"));
        FEnv.insert("XDG_CONFIG_HOME", FDir.filePath("config"));
        FEnv.insert("HOME", FDir.path());
        // The landscape monitor takes the screen's output, so that no monitor covers the whole
        // root window.
        ASSERT_TRUE(xrandr({"--setmonitor", "L", "1920/500x1080/280+0+60", "screen"}));
        ASSERT_TRUE(xrandr({"--setmonitor", "P", "1080/300x1200/330+1920+0", "none"}));

        TBitmap fg(64, 40, TPixelFormat::pf24bit);
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 64; ++x)
                fg.Canvas()->SetPixels(x, y, TColor(x * 4 | (y * 6) << 8 | 0x300000));
        FForeground = FDir.filePath("fg.bmp");
        fg.SaveToFile(FForeground);
    }

    bool xrandr(const QStringList& arguments) {
        QProcess process;
        process.setProcessEnvironment(FEnv);
        process.start(QStringLiteral("xrandr"), arguments);
        return process.waitForFinished(10000) && process.exitCode() == 0;
    }

    QStringList picture() const { return {"--foreground", FForeground, "--background", "#FF8000"}; }

    // tapestrix-compose's picture at a size.
    QImage reference(QSize size) {
        const QString out =
            FDir.filePath(QStringLiteral("ref-%1x%2.bmp").arg(size.width()).arg(size.height()));
        const TRun run = Compose(
            QStringList{"--size", QStringLiteral("%1x%2").arg(size.width()).arg(size.height()),
                        "--output", out, "--quiet"} +
                picture(),
            FEnv);
        EXPECT_EQ(run.Code, 0) << run.Err.toStdString();
        return QImage(out).convertToFormat(QImage::Format_RGB32);
    }

    // The root window's pixels (0xRRGGBB).
    QImage root() const {
        QImage image;
        xcb_connection_t* c = xcb_connect(FServer->Display().toLocal8Bit().constData(), nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> reply(
            xcb_get_image_reply(c,
                                xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0,
                                              kRootWidth, kRootHeight, ~0u),
                                nullptr),
            &std::free);
        if (reply) {
            image = QImage(kRootWidth, kRootHeight, QImage::Format_RGB32);
            const auto* pixels = reinterpret_cast<const uint32_t*>(xcb_get_image_data(reply.get()));
            for (int y = 0; y < kRootHeight; ++y)
                for (int x = 0; x < kRootWidth; ++x)
                    image.setPixel(x, y, 0xFF000000u | (pixels[y * kRootWidth + x] & 0xFFFFFF));
        }
        xcb_disconnect(c);
        return image;
    }

    std::unique_ptr<testsupport::XvfbServer> FServer;
    QTemporaryDir FDir;
    QProcessEnvironment FEnv;
    QString FForeground;
};

// Pixels of `image` in `region` that differ from `expected` (of the region's size), or from
// black when `expected` is null.
int Differing(const QImage& image, const QRect& region, const QImage& expected) {
    if (!expected.isNull() && expected.size() != region.size())
        return -1;
    int differing = 0;
    for (int y = 0; y < region.height(); ++y)
        for (int x = 0; x < region.width(); ++x) {
            const QRgb want = expected.isNull() ? qRgb(0, 0, 0) : expected.pixel(x, y);
            differing +=
                (image.pixel(region.x() + x, region.y() + y) & 0xFFFFFF) != (want & 0xFFFFFF);
        }
    return differing;
}

TEST_F(TwoMonitors, ListsTheMonitorsLeftToRight) {
    const TRun run = Compose({"--list-monitors"}, FEnv);
    ASSERT_EQ(run.Code, 0) << run.Err.toStdString();
    const QStringList lines = run.Out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << run.Out.toStdString();
    EXPECT_TRUE(lines[0].startsWith("L 1920x1080+0+60 scale 1")) << run.Out.toStdString();
    EXPECT_TRUE(lines[1].startsWith("P 1080x1200+1920+0 scale 1")) << run.Out.toStdString();
    EXPECT_EQ(run.Out.count(" primary"), 1);
}

TEST_F(TwoMonitors, RootWindowShowsEachMonitorsOwnComposition) {
    const TRun run = Compose(QStringList{"--apply", "--quiet"} + picture(), FEnv);
    ASSERT_EQ(run.Code, 0) << run.Err.toStdString();
    const QImage shown = root();
    ASSERT_FALSE(shown.isNull());
    EXPECT_EQ(Differing(shown, kLandscape, reference(kLandscape.size())), 0);
    EXPECT_EQ(Differing(shown, kPortrait, reference(kPortrait.size())), 0);
    // Above and below the landscape monitor, outside both.
    EXPECT_EQ(Differing(shown, QRect(0, 0, 1920, 60), QImage()), 0);
    EXPECT_EQ(Differing(shown, QRect(0, 1140, 1920, 60), QImage()), 0);

    // A file per monitor beside the wallpaper file, which is the primary monitor's.
    const QString data = FDir.filePath("data");
    const bool landscapePrimary = !QFile::exists(data + "/Tapestrix[L].bmp");
    EXPECT_TRUE(
        QFile::exists(data + (landscapePrimary ? "/Tapestrix[P].bmp" : "/Tapestrix[L].bmp")));
    EXPECT_EQ(QImage(data + "/Tapestrix.bmp").size(),
              landscapePrimary ? kLandscape.size() : kPortrait.size());

    // The portrait monitor goes: the next change removes its file.
    ASSERT_TRUE(xrandr({"--delmonitor", "P"}));
    const TRun again = Compose(QStringList{"--apply", "--quiet"} + picture(), FEnv);
    ASSERT_EQ(again.Code, 0) << again.Err.toStdString();
    EXPECT_FALSE(QFile::exists(data + "/Tapestrix[P].bmp"));
    EXPECT_FALSE(QFile::exists(data + "/Tapestrix[L].bmp"));
    EXPECT_FALSE(QFile::exists(data + "/Tapestrix-desktop.bmp"));
}

TEST_F(TwoMonitors, SpanSharesOutOneCompositionOfTheDesktop) {
    const TRun run =
        Compose(QStringList{"--apply", "--quiet", "--monitors", "span"} + picture(), FEnv);
    ASSERT_EQ(run.Code, 0) << run.Err.toStdString();
    const QImage shown = root();
    const QImage whole = reference(QSize(kRootWidth, kRootHeight));
    ASSERT_FALSE(shown.isNull());
    EXPECT_EQ(Differing(shown, kLandscape, whole.copy(kLandscape)), 0);
    EXPECT_EQ(Differing(shown, kPortrait, whole.copy(kPortrait)), 0);
    EXPECT_EQ(Differing(shown, QRect(0, 0, 1920, 60), QImage()), 0);
}

TEST_F(TwoMonitors, GnomeGetsOneSpannedFileOfTheWholeDesktop) {
    for (const char* program : {"dbus-run-session", "gsettings"})
        if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
            GTEST_SKIP() << program << " is not installed";
    FEnv.insert("XDG_CURRENT_DESKTOP", "GNOME");
    FEnv.insert("XDG_RUNTIME_DIR", FDir.path());
    FEnv.insert("GSETTINGS_BACKEND", "dconf");
    // The apply and the reading back in one private session bus (dconf keeps the values in the
    // private configuration folder).
    const QString script = FDir.filePath("gnome.sh");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\"$@\" || exit $?\n"
               "gsettings get org.gnome.desktop.background picture-options\n"
               "gsettings get org.gnome.desktop.background picture-uri\n");
    file.close();
    QProcess process;
    process.setProcessEnvironment(FEnv);
    process.start(QStringLiteral("dbus-run-session"),
                  QStringList{"--", "bash", script, TAPESTRIX_COMPOSE_EXE, "--apply", "--quiet"} +
                      picture());
    ASSERT_TRUE(process.waitForFinished(120000));
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << out.toStdString();
    EXPECT_EQ(lines[1], "'spanned'");
    const QString uri = lines[2].mid(1, lines[2].size() - 2);
    ASSERT_TRUE(uri.startsWith("file://")) << uri.toStdString();
    const QImage spanned(QUrl(uri).toLocalFile());
    ASSERT_EQ(spanned.size(), QSize(kRootWidth, kRootHeight)) << uri.toStdString();
    EXPECT_EQ(Differing(spanned, kLandscape, reference(kLandscape.size())), 0);
    EXPECT_EQ(Differing(spanned, kPortrait, reference(kPortrait.size())), 0);
    EXPECT_EQ(Differing(spanned, QRect(0, 0, 1920, 60), QImage()), 0);
}

} // namespace
#endif
