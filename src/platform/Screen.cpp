#include "platform/Screen.h"

#include "toolkit/Classes.h"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>
#include <mutex>

#ifdef TAPESTRIX_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace {
std::mutex gMutex;
std::function<QSize()> gProvider;

QSize QtPrimaryScreenSize() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app)
        return QSize();
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return QSize();
    const QSize logical = screen->size();
    const qreal ratio = screen->devicePixelRatio();
    return QSize(int(std::lround(logical.width() * ratio)),
                 int(std::lround(logical.height() * ratio)));
}
} // namespace

void setPrimaryScreenSizeProvider(std::function<QSize()> provider) {
    std::lock_guard<std::mutex> lock(gMutex);
    gProvider = std::move(provider);
}

QSize primaryScreenPixelSize() {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (gProvider)
            return gProvider();
    }
    QSize size;
    TThread::RunOnMainThread([&size] { size = QtPrimaryScreenSize(); });
    return size;
}

bool windowSystemAvailable() {
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return false;
#ifdef TAPESTRIX_HAVE_XCB
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool ok = connection && !xcb_connection_has_error(connection);
    if (connection)
        xcb_disconnect(connection);
    return ok;
#else
    return true;
#endif
}
