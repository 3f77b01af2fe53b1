// Any other X11 session: the image becomes the root window's background pixmap, set over a
// connection of our own the way established root-window setters do it, so that compositors and
// pseudo-transparent programs find it under _XROOTPMAP_ID. Also the X server's output names.
#include "platform/WallpaperBackends.h"

#include "toolkit/codecs/BmpCodec.h"

#include <QFile>
#include <QPoint>

#ifdef TAPESTRIX_HAVE_XCB
#include <xcb/xcb.h>
#ifdef TAPESTRIX_HAVE_XCB_RANDR
#include <xcb/randr.h>
#endif
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace wallpaper {

#ifndef TAPESTRIX_HAVE_XCB

void setX11RootWallpaper(const Context&, const QString&) {
    throw Exception(QStringLiteral("this build has no X11 support (libxcb)"));
}

void setX11RootWallpapers(const Context&, const TWallpaperFiles&) {
    throw Exception(QStringLiteral("this build has no X11 support (libxcb)"));
}

QStringList x11ConnectedOutputs(const QProcessEnvironment&) {
    return {};
}

#else

namespace {

struct ConnectionDeleter {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <typename T> Reply<T> reply(T* pointer) {
    return Reply<T>(pointer, &std::free);
}

struct Display {
    Connection connection;
    xcb_screen_t* screen = nullptr;
};

Display openDisplay(const QProcessEnvironment& env) {
    const QByteArray name = env.value(QStringLiteral("DISPLAY")).toLocal8Bit();
    if (name.isEmpty())
        throw Exception(QStringLiteral("no X display (DISPLAY is not set)"));
    int screenNumber = 0;
    Display display;
    display.connection.reset(xcb_connect(name.constData(), &screenNumber));
    if (xcb_connection_has_error(display.connection.get()))
        throw Exception(
            QStringLiteral("cannot open the X display %1").arg(QString::fromLocal8Bit(name)));
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(display.connection.get()));
    for (int i = 0; it.rem > 0 && i < screenNumber; ++i)
        xcb_screen_next(&it);
    if (it.rem <= 0)
        throw Exception(QStringLiteral("the X display %1 has no screen %2")
                            .arg(QString::fromLocal8Bit(name))
                            .arg(screenNumber));
    display.screen = it.data;
    return display;
}

QString describeError(const xcb_generic_error_t* error, const char* request) {
    return QStringLiteral("the X server refused %1 (error code %2)")
        .arg(QLatin1String(request))
        .arg(int(error->error_code));
}

void check(xcb_connection_t* connection, xcb_void_cookie_t cookie, const char* request) {
    if (auto error = reply(xcb_request_check(connection, cookie)))
        throw Exception(describeError(error.get(), request));
}

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    auto answer = reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, uint16_t(strlen(name)), name), nullptr));
    if (!answer)
        throw Exception(QStringLiteral("the X server did not intern %1").arg(QLatin1String(name)));
    return answer->atom;
}

std::optional<xcb_pixmap_t> pixmapProperty(xcb_connection_t* connection, xcb_window_t root,
                                           xcb_atom_t atom) {
    auto answer = reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, root, atom, XCB_ATOM_PIXMAP, 0, 1), nullptr));
    if (!answer || answer->type != XCB_ATOM_PIXMAP || answer->format != 32 ||
        xcb_get_property_value_length(answer.get()) != 4)
        return std::nullopt;
    return *static_cast<const xcb_pixmap_t*>(xcb_get_property_value(answer.get()));
}

// How the server wants pixels of the root's depth laid out in a Z-format image.
struct PixelLayout {
    int bitsPerPixel = 0;
    int scanlinePad = 0; // bits
    bool msbFirst = false;
    uint32_t masks[3] = {}; // red, green, blue

    int strideFor(int width) const {
        const int bits = width * bitsPerPixel;
        return (bits + scanlinePad - 1) / scanlinePad * (scanlinePad / 8);
    }
};

PixelLayout pixelLayout(xcb_connection_t* connection, const xcb_screen_t* screen) {
    const xcb_setup_t* setup = xcb_get_setup(connection);
    PixelLayout layout;
    layout.msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == screen->root_depth) {
            layout.bitsPerPixel = it.data->bits_per_pixel;
            layout.scanlinePad = it.data->scanline_pad;
        }
    }
    const xcb_visualtype_t* visual = nullptr;
    for (auto depth = xcb_screen_allowed_depths_iterator(screen); depth.rem > 0 && !visual;
         xcb_depth_next(&depth)) {
        for (auto it = xcb_depth_visuals_iterator(depth.data); it.rem > 0;
             xcb_visualtype_next(&it)) {
            if (it.data->visual_id == screen->root_visual) {
                visual = it.data;
                break;
            }
        }
    }
    if (!visual || (visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR &&
                    visual->_class != XCB_VISUAL_CLASS_DIRECT_COLOR))
        throw Exception(QStringLiteral("the root window's visual is not a true-colour one"));
    const int bpp = layout.bitsPerPixel;
    if (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        throw Exception(QStringLiteral("the root window's depth %1 uses %2 bits per pixel, "
                                       "which is not supported")
                            .arg(int(screen->root_depth))
                            .arg(bpp));
    layout.masks[0] = visual->red_mask;
    layout.masks[1] = visual->green_mask;
    layout.masks[2] = visual->blue_mask;
    return layout;
}

// An 8-bit channel placed into a mask: its top bits, shifted to the mask's place.
uint32_t placeChannel(uint32_t value8, uint32_t mask) {
    if (mask == 0)
        return 0;
    int shift = 0;
    while (!(mask & (1u << shift)))
        ++shift;
    int bits = 0;
    while (shift + bits < 32 && (mask & (1u << (shift + bits))))
        ++bits;
    const uint32_t scaled = bits >= 8 ? value8 << (bits - 8) : value8 >> (8 - bits);
    return (scaled << shift) & mask;
}

// The server's pixel for each 8-bit value of each channel.
struct ChannelTables {
    uint32_t red[256], green[256], blue[256];
    explicit ChannelTables(const PixelLayout& layout) {
        for (uint32_t v = 0; v < 256; ++v) {
            red[v] = placeChannel(v, layout.masks[0]);
            green[v] = placeChannel(v, layout.masks[1]);
            blue[v] = placeChannel(v, layout.masks[2]);
        }
    }
};

// Fills a pixmap of the screen's size with the picture (rows of blue, green, red read from the
// BMP file), unscaled with its top-left corner at `place` (centred when there is none), black
// around it, in as many put requests as the request-size limit needs.
void fillPixmap(xcb_connection_t* connection, const xcb_screen_t* screen, xcb_pixmap_t pixmap,
                xcb_gcontext_t gc, const TBmpReader& picture, const PixelLayout& layout,
                std::size_t maxRequestBytes, std::optional<QPoint> place) {
    const int width = screen->width_in_pixels;
    const int height = screen->height_in_pixels;
    const int offsetX = place ? place->x() : (width - picture.Width()) / 2;
    const int offsetY = place ? place->y() : (height - picture.Height()) / 2;
    const ChannelTables tables(layout);

    // PutImage's header, with room for the BIG-REQUESTS length.
    constexpr std::size_t kHeader = 28;
    const std::size_t budget = maxRequestBytes > kHeader ? maxRequestBytes - kHeader : 0;
    int chunkWidth = width;
    if (std::size_t(layout.strideFor(width)) > budget) {
        // Rows wider than one request: split them into columns too.
        chunkWidth = int(
            std::min<std::size_t>(budget * 8 / unsigned(layout.bitsPerPixel), std::size_t(width)));
        while (chunkWidth > 1 && std::size_t(layout.strideFor(chunkWidth)) > budget)
            --chunkWidth;
        chunkWidth = std::max(chunkWidth, 1);
    }
    const std::size_t stride = std::size_t(layout.strideFor(chunkWidth));
    if (stride > budget)
        throw Exception(QStringLiteral("the X server's request size limit is too small"));
    // A few megabytes per request keep the buffer small and the server busy meanwhile.
    const std::size_t requestBytes = std::min<std::size_t>(budget, std::size_t(4) << 20);
    const int chunkRows =
        int(std::clamp<std::size_t>(requestBytes / stride, 1, std::size_t(height)));

    const int bytesPerPixel = layout.bitsPerPixel / 8;
    const bool plain32 = bytesPerPixel == 4 && !layout.msbFirst;
    std::vector<uint8_t> buffer;
    std::vector<uint8_t> row(std::size_t(std::max(picture.Width(), 1)) * 3);
    std::vector<uint32_t> scratch;
    int rowRead = -1;
    std::vector<xcb_void_cookie_t> cookies;
    for (int y0 = 0; y0 < height; y0 += chunkRows) {
        const int rows = std::min(chunkRows, height - y0);
        for (int x0 = 0; x0 < width; x0 += chunkWidth) {
            const int columns = std::min(chunkWidth, width - x0);
            const int rowBytes = layout.strideFor(columns);
            buffer.assign(std::size_t(rowBytes) * std::size_t(rows), 0);
            // The picture's columns in this chunk.
            const int first = std::max(x0, offsetX),
                      last = std::min(x0 + columns, offsetX + picture.Width());
            for (int r = 0; r < rows; ++r) {
                const int sy = y0 + r - offsetY;
                if (sy < 0 || sy >= picture.Height() || first >= last)
                    continue; // outside the picture: black
                if (sy != rowRead) {
                    picture.ReadRowBgr(sy, row.data(), scratch);
                    rowRead = sy;
                }
                uint8_t* out = buffer.data() + std::size_t(r) * std::size_t(rowBytes);
                for (int x = first; x < last; ++x) {
                    const uint8_t* bgr = row.data() + 3 * std::size_t(x - offsetX);
                    const uint32_t pixel =
                        tables.red[bgr[2]] | tables.green[bgr[1]] | tables.blue[bgr[0]];
                    uint8_t* p = out + std::size_t(x - x0) * std::size_t(bytesPerPixel);
                    if (plain32) {
                        std::memcpy(p, &pixel, 4); // little-endian, as the server wants
                        continue;
                    }
                    for (int b = 0; b < bytesPerPixel; ++b) {
                        const int shift = layout.msbFirst ? 8 * (bytesPerPixel - 1 - b) : 8 * b;
                        p[b] = uint8_t(pixel >> shift);
                    }
                }
            }
            cookies.push_back(xcb_put_image_checked(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap,
                                                    gc, uint16_t(columns), uint16_t(rows),
                                                    int16_t(x0), int16_t(y0), 0, screen->root_depth,
                                                    uint32_t(buffer.size()), buffer.data()));
        }
    }
    for (xcb_void_cookie_t cookie : cookies)
        check(connection, cookie, "PutImage");
}

} // namespace

namespace {

void setRoot(const Context& context, const QString& path, std::optional<QPoint> place) {
    // The wallpaper file is read row by row from the page cache, never decoded whole.
    QFile file(path);
    const uchar* bytes = file.open(QIODevice::ReadOnly) ? file.map(0, file.size()) : nullptr;
    if (!bytes)
        throw Exception(QStringLiteral("cannot read the image %1").arg(path));
    std::unique_ptr<TBmpReader> picture;
    try {
        picture = std::make_unique<TBmpReader>(bytes, size_t(file.size()), path);
    } catch (const Exception& e) {
        throw Exception(QStringLiteral("cannot read the image %1: %2").arg(path, e.Message()));
    }
    Display display = openDisplay(context.env);
    xcb_connection_t* c = display.connection.get();
    const xcb_screen_t* screen = display.screen;
    const xcb_window_t root = screen->root;
    const PixelLayout layout = pixelLayout(c, screen);

    std::size_t maxRequest = std::size_t(xcb_get_maximum_request_length(c)) * 4;
    if (context.maxX11RequestBytes > 0)
        maxRequest = std::min(maxRequest, context.maxX11RequestBytes);

    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    check(c,
          xcb_create_pixmap_checked(c, screen->root_depth, pixmap, root, screen->width_in_pixels,
                                    screen->height_in_pixels),
          "CreatePixmap");
    const xcb_gcontext_t gc = xcb_generate_id(c);
    check(c, xcb_create_gc_checked(c, gc, pixmap, 0, nullptr), "CreateGC");
    fillPixmap(c, screen, pixmap, gc, *picture, layout, maxRequest, place);
    xcb_free_gc(c, gc);

    // The previous setter's pixmap lives on in its retained resources. Both properties naming it
    // mark a setter that retained them for this purpose; anything else is left alone.
    const xcb_atom_t rootPmap = internAtom(c, "_XROOTPMAP_ID");
    const xcb_atom_t esetrootPmap = internAtom(c, "ESETROOT_PMAP_ID");
    const auto previous = pixmapProperty(c, root, rootPmap);
    const auto previousEsetroot = pixmapProperty(c, root, esetrootPmap);
    if (previous && previousEsetroot && *previous == *previousEsetroot && *previous != pixmap &&
        *previous != XCB_NONE) {
        // Already gone when that client's resources were freed otherwise: not an error.
        free(xcb_request_check(c, xcb_kill_client_checked(c, *previous)));
    }

    check(c,
          xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, root, rootPmap, XCB_ATOM_PIXMAP, 32,
                                      1, &pixmap),
          "ChangeProperty _XROOTPMAP_ID");
    check(c,
          xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, root, esetrootPmap, XCB_ATOM_PIXMAP,
                                      32, 1, &pixmap),
          "ChangeProperty ESETROOT_PMAP_ID");
    check(c, xcb_change_window_attributes_checked(c, root, XCB_CW_BACK_PIXMAP, &pixmap),
          "ChangeWindowAttributes");
    check(c, xcb_clear_area_checked(c, 0, root, 0, 0, 0, 0), "ClearArea");
    // The pixmap must outlive this connection; the next setter frees it.
    check(c, xcb_set_close_down_mode_checked(c, XCB_CLOSE_DOWN_RETAIN_PERMANENT),
          "SetCloseDownMode");
}

} // namespace

void setX11RootWallpaper(const Context& context, const QString& path) {
    setRoot(context, path, std::nullopt);
}

void setX11RootWallpapers(const Context& context, const TWallpaperFiles& files) {
    // The monitors' places are root window coordinates.
    setRoot(context, files.Desktop, files.Bounds.topLeft());
}

QStringList x11ConnectedOutputs(const QProcessEnvironment& env) {
    QStringList names;
#ifdef TAPESTRIX_HAVE_XCB_RANDR
    try {
        Display display = openDisplay(env);
        xcb_connection_t* c = display.connection.get();
        const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
        if (!randr || !randr->present)
            return names;
        auto version =
            reply(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr));
        if (!version || (version->major_version == 1 && version->minor_version < 3))
            return names;
        auto resources = reply(xcb_randr_get_screen_resources_current_reply(
            c, xcb_randr_get_screen_resources_current(c, display.screen->root), nullptr));
        if (!resources)
            return names;
        const xcb_randr_output_t* outputs =
            xcb_randr_get_screen_resources_current_outputs(resources.get());
        const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
        for (int i = 0; i < count; ++i) {
            auto info = reply(xcb_randr_get_output_info_reply(
                c, xcb_randr_get_output_info(c, outputs[i], resources->config_timestamp), nullptr));
            if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED ||
                info->crtc == XCB_NONE)
                continue;
            names << QString::fromUtf8(
                reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                xcb_randr_get_output_info_name_length(info.get()));
        }
    } catch (const Exception&) {
    }
#else
    Q_UNUSED(env);
#endif
    return names;
}

#endif

} // namespace wallpaper
