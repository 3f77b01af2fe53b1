// The LXQt desktop with the real pcmanfm-qt under an X server of the test's own: the wallpaper is
// drawn centred at once, and the desktop's next start still draws it centred although its saved
// mode was "none" (colour only).
#include "platform/WallpaperBackends.h"

#include "PlatformTestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

using namespace wallpaper;

namespace {

constexpr int kWidth = 320, kHeight = 240;
constexpr uint32_t kBlue = 0x0000FF, kRed = 0xFF0000;

// The screen's pixel at (x, y) as 0xRRGGBB.
uint32_t screenPixel(const QString& display, int x, int y) {
    xcb_connection_t* c = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    uint32_t pixel = 0xFFFFFFFF;
    if (!xcb_connection_has_error(c)) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> image(
            xcb_get_image_reply(c,
                                xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, int16_t(x),
                                              int16_t(y), 1, 1, ~0u),
                                nullptr),
            &std::free);
        if (image)
            pixel = *reinterpret_cast<const uint32_t*>(xcb_get_image_data(image.get())) & 0xFFFFFF;
    }
    xcb_disconnect(c);
    return pixel;
}

class LxqtDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platformtest::haveProgram(QStringLiteral("pcmanfm-qt")))
            GTEST_SKIP() << "pcmanfm-qt is not installed (package pcmanfm-qt)";
        if (!FBus.started())
            GTEST_SKIP() << FBus.error().toStdString();
        FServer = std::make_unique<platformtest::XServer>(kWidth, kHeight, 24);
        if (!FServer->started())
            GTEST_SKIP() << FServer->error().toStdString();
        FContext.env = FBus.environment();
        FContext.env.insert(QStringLiteral("DISPLAY"), FServer->display());
        FContext.env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("LXQt"));
        FContext.env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        FContext.env.remove(QStringLiteral("QT_QPA_PLATFORMTHEME"));
        // A 64 x 48 red picture; the desktop around it is blue, its saved mode colour only.
        FImage = FBus.root() + QStringLiteral("/red.bmp");
        ASSERT_TRUE(platformtest::writeFile(
            FImage, platformtest::makeBmp(64, 48, [](int, int) { return kRed; })));
        QDir().mkpath(FBus.root() + QStringLiteral("/config/pcmanfm-qt/lxqt"));
        ASSERT_TRUE(platformtest::writeFile(
            FBus.root() + QStringLiteral("/config/pcmanfm-qt/lxqt/settings.conf"),
            "[Desktop]\nWallpaperMode=none\nBgColor=#0000ff\n"));
    }
    void TearDown() override { stopDesktop(); }

    void startDesktop() {
        FDesktop.setProcessEnvironment(FContext.env);
        FDesktop.setProcessChannelMode(QProcess::MergedChannels);
        FDesktop.start(QStringLiteral("pcmanfm-qt"),
                       {QStringLiteral("--desktop"), QStringLiteral("--profile=lxqt")});
        ASSERT_TRUE(FDesktop.waitForStarted(10000));
        ASSERT_TRUE(waitForPixel(5, 5, kBlue)) << "the desktop did not appear";
    }
    // Ends the desktop the way a lost X connection or a crash does: it saves nothing.
    void stopDesktop() {
        if (FDesktop.state() == QProcess::NotRunning)
            return;
        FDesktop.kill();
        FDesktop.waitForFinished(5000);
    }
    bool waitForPixel(int x, int y, uint32_t expected) {
        for (int i = 0; i < 100; ++i) {
            if (screenPixel(FServer->display(), x, y) == expected)
                return true;
            QThread::msleep(100);
        }
        return false;
    }

    platformtest::PrivateBus FBus;
    std::unique_ptr<platformtest::XServer> FServer;
    Context FContext;
    QString FImage;
    QProcess FDesktop;
};

} // namespace

TEST_F(LxqtDesktopTest, CentredAtOnceAndAfterTheDesktopStartsAgain) {
    startDesktop();
    setLxqtWallpaper(FContext, FImage);
    EXPECT_TRUE(waitForPixel(kWidth / 2, kHeight / 2, kRed)) << "not drawn at once";
    EXPECT_EQ(screenPixel(FServer->display(), 5, 5), kBlue) << "not centred";
    stopDesktop();
    startDesktop();
    EXPECT_TRUE(waitForPixel(kWidth / 2, kHeight / 2, kRed)) << "the mode was not kept";
    EXPECT_EQ(screenPixel(FServer->display(), 5, 5), kBlue);
}

TEST_F(LxqtDesktopTest, SetWhileTheDesktopIsNotRunningShowsAtItsStart) {
    setLxqtWallpaper(FContext, FImage);
    startDesktop();
    EXPECT_TRUE(waitForPixel(kWidth / 2, kHeight / 2, kRed)) << "the wallpaper was not kept";
    EXPECT_EQ(screenPixel(FServer->display(), 5, 5), kBlue) << "not centred";
}
