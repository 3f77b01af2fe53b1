// tapestrix-compose --apply: one desktop job run as the program runs it. Under a real X server
// with no desktop environment the root window ends up showing the composition.
#include "support/TestSupport.h"
#include "support/Xvfb.h"
#include "toolkit/Graphics.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#ifdef TAPESTRIX_HAVE_XCB
#include <xcb/xcb.h>
#endif

#include <cstdlib>
#include <memory>

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
