// The root-window setter against a real Xvfb: the captured root window against the BMP, the
// pixmap properties, and how earlier setters' pixmaps are freed.
#include "platform/WallpaperBackends.h"

#include "PlatformTestSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#ifdef TAPESTRIX_HAVE_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

using namespace wallpaper;

namespace {

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <typename T> Reply<T> reply(T* pointer) {
    return Reply<T>(pointer, &std::free);
}

// A pattern in which neighbouring pixels and all three channels differ.
uint32_t pattern(int x, int y) {
    return uint32_t((x * 7 + y) & 0xFF) << 16 | uint32_t((y * 5 + 3 * x) & 0xFF) << 8 |
           uint32_t((x ^ y) * 3 & 0xFF);
}

// A client of the test's own, for looking at what the setter left behind.
class Client {
public:
    explicit Client(const QString& display) {
        FConnection = xcb_connect(display.toLocal8Bit().constData(), nullptr);
        FScreen = xcb_setup_roots_iterator(xcb_get_setup(FConnection)).data;
    }
    ~Client() { xcb_disconnect(FConnection); }
    bool ok() const { return !xcb_connection_has_error(FConnection); }
    xcb_connection_t* c() const { return FConnection; }
    xcb_window_t root() const { return FScreen->root; }
    const xcb_screen_t* screen() const { return FScreen; }

    xcb_atom_t atom(const char* name) const {
        auto r = reply(xcb_intern_atom_reply(
            FConnection, xcb_intern_atom(FConnection, 0, uint16_t(strlen(name)), name), nullptr));
        return r ? r->atom : XCB_NONE;
    }
    std::optional<uint32_t> pixmapProperty(const char* name) const {
        auto r = reply(xcb_get_property_reply(
            FConnection,
            xcb_get_property(FConnection, 0, root(), atom(name), XCB_ATOM_PIXMAP, 0, 1), nullptr));
        if (!r || r->type != XCB_ATOM_PIXMAP || xcb_get_property_value_length(r.get()) != 4)
            return std::nullopt;
        return *static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
    }
    void setPixmapProperty(const char* name, uint32_t pixmap) const {
        xcb_change_property(FConnection, XCB_PROP_MODE_REPLACE, root(), atom(name), XCB_ATOM_PIXMAP,
                            32, 1, &pixmap);
    }
    bool drawableExists(uint32_t drawable) const {
        xcb_generic_error_t* error = nullptr;
        auto r = reply(
            xcb_get_geometry_reply(FConnection, xcb_get_geometry(FConnection, drawable), &error));
        free(error);
        return r != nullptr;
    }

    // The root window's raw pixel values, decoded the slow, obvious way from the server's pixel
    // format (for depth 24 these are 0xRRGGBB).
    std::vector<uint32_t> captureRoot(int* bitsPerPixel) const {
        const int width = FScreen->width_in_pixels;
        const int height = FScreen->height_in_pixels;
        auto image =
            reply(xcb_get_image_reply(FConnection,
                                      xcb_get_image(FConnection, XCB_IMAGE_FORMAT_Z_PIXMAP, root(),
                                                    0, 0, uint16_t(width), uint16_t(height), ~0u),
                                      nullptr));
        std::vector<uint32_t> pixels;
        if (!image)
            return pixels;
        const xcb_setup_t* setup = xcb_get_setup(FConnection);
        int bpp = 0, pad = 0;
        for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
            if (it.data->depth == FScreen->root_depth) {
                bpp = it.data->bits_per_pixel;
                pad = it.data->scanline_pad;
            }
        *bitsPerPixel = bpp;
        const int stride = (width * bpp + pad - 1) / pad * pad / 8;
        const uint8_t* data = xcb_get_image_data(image.get());
        const bool msb = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint8_t* p = data + y * stride + x * (bpp / 8);
                uint32_t value = 0;
                for (int b = 0; b < bpp / 8; ++b)
                    value |= uint32_t(p[b]) << (msb ? 8 * (bpp / 8 - 1 - b) : 8 * b);
                pixels.push_back(value);
            }
        return pixels;
    }

private:
    xcb_connection_t* FConnection = nullptr;
    xcb_screen_t* FScreen = nullptr;
};

class X11RootWallpaperTest : public ::testing::Test {
protected:
    void start(int width, int height, int depth) {
        FServer = std::make_unique<platformtest::XServer>(width, height, depth);
        if (!FServer->started())
            GTEST_SKIP() << qPrintable(FServer->error());
        FContext.env = QProcessEnvironment();
        FContext.env.insert(QStringLiteral("DISPLAY"), FServer->display());
    }
    QString writeImage(int width, int height, uint32_t (*pixel)(int, int),
                       const QString& name = QStringLiteral("wall.bmp")) {
        const QString path = FDir.path() + QLatin1Char('/') + name;
        EXPECT_TRUE(platformtest::writeFile(path, platformtest::makeBmp(width, height, pixel)));
        return path;
    }

    QTemporaryDir FDir;
    std::unique_ptr<platformtest::XServer> FServer;
    Context FContext;
};

} // namespace

TEST_F(X11RootWallpaperTest, RootShowsTheImagePixelForPixel) {
    start(320, 200, 24);
    if (IsSkipped())
        return;
    // Small requests, so that the image goes in many strips and rows are split into columns.
    FContext.maxX11RequestBytes = 1000;
    setX11RootWallpaper(FContext, writeImage(320, 200, pattern));

    Client client(FServer->display());
    ASSERT_TRUE(client.ok());
    const auto rootPmap = client.pixmapProperty("_XROOTPMAP_ID");
    ASSERT_TRUE(rootPmap.has_value());
    EXPECT_EQ(client.pixmapProperty("ESETROOT_PMAP_ID"), rootPmap);
    EXPECT_TRUE(client.drawableExists(*rootPmap)) << "the pixmap must outlive the setter";

    int bpp = 0;
    const std::vector<uint32_t> pixels = client.captureRoot(&bpp);
    ASSERT_EQ(pixels.size(), 320u * 200u);
    ASSERT_EQ(bpp, 32);
    int mismatches = 0;
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 320; ++x)
            if ((pixels[size_t(y) * 320 + size_t(x)] & 0xFFFFFF) != pattern(x, y) &&
                ++mismatches <= 5)
                ADD_FAILURE() << "pixel " << x << "," << y << " is " << std::hex
                              << pixels[size_t(y) * 320 + size_t(x)] << " not " << pattern(x, y);
    EXPECT_EQ(mismatches, 0);
}

TEST_F(X11RootWallpaperTest, SmallerImageIsCentredOnBlack) {
    start(64, 48, 24);
    if (IsSkipped())
        return;
    setX11RootWallpaper(FContext, writeImage(31, 20, pattern));
    Client client(FServer->display());
    int bpp = 0;
    const std::vector<uint32_t> pixels = client.captureRoot(&bpp);
    ASSERT_EQ(pixels.size(), 64u * 48u);
    const int ox = (64 - 31) / 2, oy = (48 - 20) / 2;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const bool inside = x >= ox && x < ox + 31 && y >= oy && y < oy + 20;
            const uint32_t expected = inside ? pattern(x - ox, y - oy) : 0;
            ASSERT_EQ(pixels[size_t(y) * 64 + size_t(x)] & 0xFFFFFF, expected)
                << "at " << x << "," << y;
        }
}

TEST_F(X11RootWallpaperTest, SixteenBitRootGetsTheTopBitsOfEachChannel) {
    start(40, 30, 16);
    if (IsSkipped())
        return;
    setX11RootWallpaper(FContext, writeImage(40, 30, pattern));
    Client client(FServer->display());
    int bpp = 0;
    const std::vector<uint32_t> pixels = client.captureRoot(&bpp);
    ASSERT_EQ(bpp, 16);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            const uint32_t rgb = pattern(x, y);
            const uint32_t expected =
                ((rgb >> 19) & 0x1F) << 11 | ((rgb >> 10) & 0x3F) << 5 | ((rgb >> 3) & 0x1F);
            ASSERT_EQ(pixels[size_t(y) * 40 + size_t(x)], expected) << "at " << x << "," << y;
        }
}

TEST_F(X11RootWallpaperTest, SecondCallFreesTheFirstPixmap) {
    start(64, 48, 24);
    if (IsSkipped())
        return;
    const QString image = writeImage(64, 48, pattern);
    setX11RootWallpaper(FContext, image);
    Client client(FServer->display());
    const auto first = client.pixmapProperty("_XROOTPMAP_ID");
    ASSERT_TRUE(first.has_value());
    setX11RootWallpaper(FContext, image);
    const auto second = client.pixmapProperty("_XROOTPMAP_ID");
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(*first, *second);
    EXPECT_FALSE(client.drawableExists(*first));
    EXPECT_TRUE(client.drawableExists(*second));
}

TEST_F(X11RootWallpaperTest, ThirdPartyPixmapIsFreedOnlyWhenBothPropertiesAgree) {
    start(64, 48, 24);
    if (IsSkipped())
        return;
    const QString image = writeImage(64, 48, pattern);
    // Another setter that retained its pixmap; `esetroot` says whether it also set
    // ESETROOT_PMAP_ID (and so agreed to have it freed by the next setter).
    auto otherSetter = [this](bool esetroot) {
        Client other(FServer->display());
        const uint32_t pixmap = xcb_generate_id(other.c());
        xcb_create_pixmap(other.c(), other.screen()->root_depth, pixmap, other.root(), 8, 8);
        other.setPixmapProperty("_XROOTPMAP_ID", pixmap);
        if (esetroot)
            other.setPixmapProperty("ESETROOT_PMAP_ID", pixmap);
        else
            xcb_delete_property(other.c(), other.root(), other.atom("ESETROOT_PMAP_ID"));
        xcb_set_close_down_mode(other.c(), XCB_CLOSE_DOWN_RETAIN_PERMANENT);
        free(xcb_get_input_focus_reply(other.c(), xcb_get_input_focus(other.c()), nullptr));
        return pixmap;
    };
    Client client(FServer->display());

    const uint32_t agreed = otherSetter(true);
    ASSERT_TRUE(client.drawableExists(agreed));
    setX11RootWallpaper(FContext, image);
    EXPECT_FALSE(client.drawableExists(agreed));

    const uint32_t lone = otherSetter(false);
    setX11RootWallpaper(FContext, image);
    EXPECT_TRUE(client.drawableExists(lone)) << "only _XROOTPMAP_ID: not ours to free";
    const auto current = client.pixmapProperty("_XROOTPMAP_ID");
    ASSERT_TRUE(current.has_value());
    EXPECT_EQ(client.pixmapProperty("ESETROOT_PMAP_ID"), current);

    // Disagreeing properties: neither pixmap is freed.
    const uint32_t mismatched = otherSetter(true);
    client.setPixmapProperty("ESETROOT_PMAP_ID", *current);
    free(xcb_get_input_focus_reply(client.c(), xcb_get_input_focus(client.c()), nullptr));
    setX11RootWallpaper(FContext, image);
    EXPECT_TRUE(client.drawableExists(mismatched));
    EXPECT_TRUE(client.drawableExists(*current));
}

TEST_F(X11RootWallpaperTest, FailuresSayWhatFailed) {
    start(32, 32, 24);
    if (IsSkipped())
        return;
    try {
        setX11RootWallpaper(FContext, FDir.path() + QStringLiteral("/none.bmp"));
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("cannot read the image"))) << e.what();
    }
    const QString image = writeImage(4, 4, pattern);
    Context noDisplay;
    noDisplay.env = QProcessEnvironment();
    try {
        setX11RootWallpaper(noDisplay, image);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("DISPLAY is not set"))) << e.what();
    }
    noDisplay.env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":9999"));
    try {
        setX11RootWallpaper(noDisplay, image);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("cannot open the X display :9999"));
    }
}

TEST_F(X11RootWallpaperTest, OutputNamesComeFromRandR) {
    start(64, 48, 24);
    if (IsSkipped())
        return;
#ifdef TAPESTRIX_HAVE_XCB_RANDR
    const QStringList outputs = x11ConnectedOutputs(FContext.env);
    EXPECT_FALSE(outputs.isEmpty());
    for (const QString& name : outputs)
        EXPECT_FALSE(name.isEmpty());
#endif
    EXPECT_TRUE(x11ConnectedOutputs(QProcessEnvironment()).isEmpty());
}

#endif
