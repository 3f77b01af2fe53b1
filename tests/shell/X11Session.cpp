#include "X11Session.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <functional>
#include <sys/stat.h>

#ifdef TAPESTRIX_HAVE_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#endif

namespace shelltest {

bool haveProgram(const QString& program) {
    return !QStandardPaths::findExecutable(program).isEmpty();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs, int stepMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, stepMs);
        QThread::msleep(uint32_t(stepMs));
    }
    return true;
}

int64_t differingPixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size())
        return -1;
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    int64_t count = 0;
    for (int row = 0; row < x.height(); ++row) {
        const auto* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const auto* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col)
            count += (p[col] & 0xFFFFFF) != (q[col] & 0xFFFFFF);
    }
    return count;
}

#ifdef TAPESTRIX_HAVE_XCB

namespace {
template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <typename T> Reply<T> reply(T* pointer) {
    return Reply<T>(pointer, &std::free);
}
} // namespace

struct X11Session::Connection {
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    ~Connection() {
        if (c)
            xcb_disconnect(c);
    }
};

X11Session::X11Session(int width, int height, bool tray) : FWidth(width), FHeight(height) {
    for (const char* program : {"Xvfb", "openbox", "xdotool"}) {
        if (!haveProgram(QString::fromLatin1(program))) {
            FError = QStringLiteral("%1 is not installed").arg(QLatin1String(program));
            return;
        }
    }
    if (tray && !haveProgram(QStringLiteral("trayer"))) {
        FError = QStringLiteral("trayer (the notification area) is not installed");
        return;
    }
    for (const QString& dir : {home(), configHome(), dataHome(), runtimeDir()})
        QDir().mkpath(dir);
    ::chmod(QFile::encodeName(runtimeDir()).constData(), 0700);
    if (!startServer())
        return;
    FX = std::make_unique<Connection>();
    FX->c = xcb_connect(FDisplay.toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(FX->c)) {
        FError = QStringLiteral("cannot connect to the test's X server");
        return;
    }
    FX->screen = xcb_setup_roots_iterator(xcb_get_setup(FX->c)).data;

    // openbox announces itself through _NET_SUPPORTING_WM_CHECK on the root window.
    if (!startHelper(FWindowManager, QStringLiteral("openbox"), {QStringLiteral("--sm-disable")}))
        return;
    const uint32_t check = atom("_NET_SUPPORTING_WM_CHECK");
    const bool wmUp = waitUntil(
        [&] {
            auto r = reply(xcb_get_property_reply(
                FX->c, xcb_get_property(FX->c, 0, FX->screen->root, check, XCB_ATOM_WINDOW, 0, 1),
                nullptr));
            return r && xcb_get_property_value_length(r.get()) == 4;
        },
        15000);
    if (!wmUp) {
        FError = QStringLiteral("openbox did not start");
        return;
    }
    if (!tray)
        return;
    if (!startHelper(FTray, QStringLiteral("trayer"),
                     {QStringLiteral("--edge"), QStringLiteral("bottom"), QStringLiteral("--align"),
                      QStringLiteral("right"), QStringLiteral("--widthtype"),
                      QStringLiteral("request"), QStringLiteral("--height"), QStringLiteral("32"),
                      QStringLiteral("--SetDockType"), QStringLiteral("true"),
                      QStringLiteral("--transparent"), QStringLiteral("false")}))
        return;
    if (!waitUntil([this] { return trayPresent(); }, 15000))
        FError = QStringLiteral("trayer did not take the notification area");
}

X11Session::~X11Session() {
    FX.reset();
    for (QProcess* p : {&FTray, &FWindowManager}) {
        if (p->state() == QProcess::NotRunning)
            continue;
        p->terminate();
        if (!p->waitForFinished(5000)) {
            p->kill();
            p->waitForFinished(3000);
        }
    }
}

void X11Session::stopServer() {
    FX.reset();
    FServer.reset();
}

bool X11Session::startServer() {
    FServer = std::make_unique<testsupport::XvfbServer>(FWidth, FHeight, 24);
    if (!FServer->Started()) {
        FError = FServer->Error();
        return false;
    }
    FDisplay = FServer->Display();
    return true;
}

bool X11Session::startHelper(QProcess& process, const QString& program,
                             const QStringList& arguments) {
    process.setProcessEnvironment(environment());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        FError = QStringLiteral("%1 did not start").arg(program);
        return false;
    }
    return true;
}

QProcessEnvironment X11Session::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name :
         {"XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP", "DESKTOP_SESSION", "WAYLAND_DISPLAY",
          "DBUS_SESSION_BUS_ADDRESS", "SWAYSOCK", "HYPRLAND_INSTANCE_SIGNATURE",
          "QT_QPA_PLATFORMTHEME", "TAPESTRIX_TESTDATA", "XDG_CACHE_HOME"})
        env.remove(QString::fromLatin1(name));
    // Under AddressSanitizer the programs' exit statuses matter here, and the leak check at exit
    // would report what Qt and the X libraries keep until the end; leaks are the unit tests'.
    if (env.contains(QStringLiteral("ASAN_OPTIONS")))
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
    env.insert(QStringLiteral("DISPLAY"), FDisplay);
    env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("x11"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("HOME"), home());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
    return env;
}

uint32_t X11Session::atom(const char* name) const {
    auto r = reply(xcb_intern_atom_reply(
        FX->c, xcb_intern_atom(FX->c, 0, uint16_t(strlen(name)), name), nullptr));
    return r ? r->atom : XCB_NONE;
}

uint32_t X11Session::trayWindow() const {
    if (!FX)
        return 0;
    auto r = reply(xcb_get_selection_owner_reply(
        FX->c, xcb_get_selection_owner(FX->c, atom("_NET_SYSTEM_TRAY_S0")), nullptr));
    return r ? r->owner : 0;
}

bool X11Session::trayPresent() const {
    return trayWindow() != 0;
}

std::vector<TWindowInfo> X11Session::windowsOf(const QString& instance) const {
    std::vector<TWindowInfo> found;
    if (!FX)
        return found;
    const QByteArray wanted = instance.toLatin1();
    const uint32_t netWmName = atom("_NET_WM_NAME");
    const uint32_t utf8 = atom("UTF8_STRING");
    // Depth-first walk below the root, remembering the top-level window of each branch.
    std::function<void(uint32_t, uint32_t)> walk = [&](uint32_t window, uint32_t topLevel) {
        auto tree = reply(xcb_query_tree_reply(FX->c, xcb_query_tree(FX->c, window), nullptr));
        if (!tree)
            return;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const int count = xcb_query_tree_children_length(tree.get());
        for (int i = 0; i < count; ++i) {
            const uint32_t child = children[i];
            const uint32_t top = window == FX->screen->root ? child : topLevel;
            auto cls = reply(xcb_get_property_reply(
                FX->c,
                xcb_get_property(FX->c, 0, child, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256),
                nullptr));
            if (cls && xcb_get_property_value_length(cls.get()) > 0) {
                const char* value = static_cast<const char*>(xcb_get_property_value(cls.get()));
                if (QByteArray(value, int(strnlen(value, size_t(xcb_get_property_value_length(
                                                             cls.get()))))) == wanted) {
                    TWindowInfo info;
                    info.id = child;
                    info.topLevel = top;
                    auto attrs = reply(xcb_get_window_attributes_reply(
                        FX->c, xcb_get_window_attributes(FX->c, child), nullptr));
                    if (attrs) {
                        info.viewable = attrs->map_state == XCB_MAP_STATE_VIEWABLE;
                        info.overrideRedirect = attrs->override_redirect;
                    }
                    auto geo = reply(
                        xcb_get_geometry_reply(FX->c, xcb_get_geometry(FX->c, child), nullptr));
                    auto pos = reply(xcb_translate_coordinates_reply(
                        FX->c, xcb_translate_coordinates(FX->c, child, FX->screen->root, 0, 0),
                        nullptr));
                    if (geo && pos)
                        info.geometry = QRect(pos->dst_x, pos->dst_y, geo->width, geo->height);
                    auto name = reply(xcb_get_property_reply(
                        FX->c, xcb_get_property(FX->c, 0, child, netWmName, utf8, 0, 256),
                        nullptr));
                    if (name)
                        info.title = QString::fromUtf8(
                            static_cast<const char*>(xcb_get_property_value(name.get())),
                            xcb_get_property_value_length(name.get()));
                    found.push_back(info);
                }
            }
            walk(child, top);
        }
    };
    walk(FX->screen->root, 0);
    return found;
}

std::vector<TWindowInfo> X11Session::bigWindowsOf(const QString& instance) const {
    std::vector<TWindowInfo> big;
    for (const TWindowInfo& w : windowsOf(instance))
        if (w.viewable && w.geometry.width() > 100 && w.geometry.height() > 100)
            big.push_back(w);
    return big;
}

std::vector<TWindowInfo> X11Session::trayIconsOf(const QString& instance) const {
    std::vector<TWindowInfo> icons;
    const uint32_t tray = trayWindow();
    if (!tray)
        return icons;
    // Embedded: a small window of the program inside a top-level window that is not its own
    // (the tray host's panel).
    const std::vector<TWindowInfo> all = windowsOf(instance);
    for (const TWindowInfo& w : all) {
        if (!w.viewable || w.geometry.width() > 64 || w.geometry.height() > 64)
            continue;
        bool ownTopLevel = false;
        for (const TWindowInfo& other : all)
            ownTopLevel = ownTopLevel || other.id == w.topLevel;
        if (!ownTopLevel && w.topLevel != w.id)
            icons.push_back(w);
    }
    return icons;
}

uint32_t X11Session::activeWindow() const {
    if (!FX)
        return 0;
    auto r = reply(
        xcb_get_property_reply(FX->c,
                               xcb_get_property(FX->c, 0, FX->screen->root,
                                                atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 0, 1),
                               nullptr));
    if (!r || xcb_get_property_value_length(r.get()) != 4)
        return 0;
    return *static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
}

std::optional<uint32_t> X11Session::rootPixmap() const {
    if (!FX)
        return std::nullopt;
    auto r = reply(xcb_get_property_reply(
        FX->c,
        xcb_get_property(FX->c, 0, FX->screen->root, atom("_XROOTPMAP_ID"), XCB_ATOM_PIXMAP, 0, 1),
        nullptr));
    if (!r || r->type != XCB_ATOM_PIXMAP || xcb_get_property_value_length(r.get()) != 4)
        return std::nullopt;
    return *static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
}

QImage X11Session::pixmapImage(uint32_t pixmap) const {
    auto geo = reply(xcb_get_geometry_reply(FX->c, xcb_get_geometry(FX->c, pixmap), nullptr));
    if (!geo || geo->depth != 24)
        return QImage();
    const int width = geo->width, height = geo->height;
    auto image =
        reply(xcb_get_image_reply(FX->c,
                                  xcb_get_image(FX->c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, 0, 0,
                                                uint16_t(width), uint16_t(height), ~0u),
                                  nullptr));
    if (!image)
        return QImage();
    const xcb_setup_t* setup = xcb_get_setup(FX->c);
    int bpp = 0, pad = 0;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
        if (it.data->depth == 24) {
            bpp = it.data->bits_per_pixel;
            pad = it.data->scanline_pad;
        }
    if (bpp != 32 && bpp != 24)
        return QImage();
    const int stride = (width * bpp + pad - 1) / pad * pad / 8;
    const uint8_t* data = xcb_get_image_data(image.get());
    const bool msb = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    QImage out(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = data + y * stride + x * (bpp / 8);
            uint32_t value = 0;
            for (int b = 0; b < bpp / 8; ++b)
                value |= uint32_t(p[b]) << (msb ? 8 * (bpp / 8 - 1 - b) : 8 * b);
            line[x] = 0xFF000000u | (value & 0xFFFFFF);
        }
    }
    return out;
}

QImage X11Session::rootImage() const {
    const auto pixmap = rootPixmap();
    return pixmap ? pixmapImage(*pixmap) : QImage();
}

bool X11Session::xdotool(const QStringList& arguments) const {
    QProcess p;
    p.setProcessEnvironment(environment());
    p.start(QStringLiteral("xdotool"), arguments);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool X11Session::clickAt(const TWindowInfo& window, int button) const {
    const QPoint centre = window.geometry.center();
    return xdotool({QStringLiteral("mousemove"), QString::number(centre.x()),
                    QString::number(centre.y()), QStringLiteral("sleep"), QStringLiteral("0.2"),
                    QStringLiteral("click"), QString::number(button)});
}

#else // no xcb: every session reports why it cannot run

struct X11Session::Connection {};
X11Session::X11Session(int width, int height, bool)
    : FError(QStringLiteral("the tests were built without xcb")), FWidth(width), FHeight(height) {}
X11Session::~X11Session() = default;
QProcessEnvironment X11Session::environment() const {
    return {};
}
std::vector<TWindowInfo> X11Session::windowsOf(const QString&) const {
    return {};
}
std::vector<TWindowInfo> X11Session::bigWindowsOf(const QString&) const {
    return {};
}
std::vector<TWindowInfo> X11Session::trayIconsOf(const QString&) const {
    return {};
}
uint32_t X11Session::activeWindow() const {
    return 0;
}
bool X11Session::trayPresent() const {
    return false;
}
std::optional<uint32_t> X11Session::rootPixmap() const {
    return std::nullopt;
}
QImage X11Session::pixmapImage(uint32_t) const {
    return {};
}
QImage X11Session::rootImage() const {
    return {};
}
bool X11Session::xdotool(const QStringList&) const {
    return false;
}
bool X11Session::clickAt(const TWindowInfo&, int) const {
    return false;
}
void X11Session::stopServer() {}

#endif

} // namespace shelltest
