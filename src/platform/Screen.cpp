#include "platform/Screen.h"

#include "toolkit/Classes.h"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>
#include <mutex>

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
