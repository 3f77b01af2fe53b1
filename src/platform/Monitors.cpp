#include "platform/Monitors.h"

#include "toolkit/Classes.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace {

std::mutex gMutex;
std::function<std::vector<TMonitor>()> gProvider;

int Scaled(int value, double ratio) {
    return int(std::lround(value * ratio));
}

std::vector<TMonitor> QtMonitors() {
    std::vector<TMonitor> monitors;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return monitors;
    const QScreen* primary = QGuiApplication::primaryScreen();
    for (const QScreen* screen : QGuiApplication::screens()) {
        TMonitor monitor;
        monitor.Name = screen->name();
        monitor.Geometry = screen->geometry();
        monitor.Ratio = screen->devicePixelRatio();
        monitor.Primary = screen == primary;
        monitors.push_back(monitor);
    }
    placeMonitors(monitors, QGuiApplication::platformName() == QLatin1String("xcb"));
    sortMonitors(monitors);
    return monitors;
}

} // namespace

void setMonitorProvider(std::function<std::vector<TMonitor>()> provider) {
    std::lock_guard<std::mutex> lock(gMutex);
    gProvider = std::move(provider);
}

std::vector<TMonitor> monitorList() {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (gProvider) {
            std::vector<TMonitor> monitors = gProvider();
            sortMonitors(monitors);
            return monitors;
        }
    }
    std::vector<TMonitor> monitors;
    TThread::RunOnMainThread([&monitors] { monitors = QtMonitors(); });
    return monitors;
}

void sortMonitors(std::vector<TMonitor>& monitors) {
    std::stable_sort(monitors.begin(), monitors.end(), [](const TMonitor& a, const TMonitor& b) {
        if (a.Pixels.x() != b.Pixels.x())
            return a.Pixels.x() < b.Pixels.x();
        return a.Pixels.y() < b.Pixels.y();
    });
}

QRect desktopBounds(const std::vector<TMonitor>& monitors) {
    QRect bounds;
    for (const TMonitor& monitor : monitors)
        bounds = bounds.united(monitor.Pixels);
    return bounds;
}

const TMonitor* primaryMonitor(const std::vector<TMonitor>& monitors) {
    for (const TMonitor& monitor : monitors)
        if (monitor.Primary)
            return &monitor;
    return monitors.empty() ? nullptr : &monitors.front();
}

void placeMonitors(std::vector<TMonitor>& monitors, bool nativeOrigin) {
    double largest = 1.0;
    for (const TMonitor& monitor : monitors)
        largest = std::max(largest, monitor.Ratio);
    for (TMonitor& monitor : monitors) {
        const QSize size(Scaled(monitor.Geometry.width(), monitor.Ratio),
                         Scaled(monitor.Geometry.height(), monitor.Ratio));
        const QPoint origin = nativeOrigin ? monitor.Geometry.topLeft()
                                           : QPoint(Scaled(monitor.Geometry.x(), largest),
                                                    Scaled(monitor.Geometry.y(), largest));
        monitor.Pixels = QRect(origin, size);
    }
    if (nativeOrigin)
        return;
    // A monitor of a smaller ratio has fewer pixels than the space its position leaves it:
    // gaps are closed where the logical rectangles touched.
    std::vector<TMonitor*> order;
    for (TMonitor& monitor : monitors)
        order.push_back(&monitor);
    std::stable_sort(order.begin(), order.end(), [](const TMonitor* a, const TMonitor* b) {
        return a->Geometry.x() + a->Geometry.y() < b->Geometry.x() + b->Geometry.y();
    });
    for (size_t i = 0; i < order.size(); ++i) {
        TMonitor& m = *order[i];
        for (size_t j = 0; j < i; ++j) {
            const TMonitor& n = *order[j];
            const QRect& g = m.Geometry;
            const QRect& h = n.Geometry;
            const bool rowsMeet = g.top() <= h.bottom() && h.top() <= g.bottom();
            const bool columnsMeet = g.left() <= h.right() && h.left() <= g.right();
            if (rowsMeet && g.left() == h.left() + h.width())
                m.Pixels.moveLeft(n.Pixels.left() + n.Pixels.width());
            if (columnsMeet && g.top() == h.top() + h.height())
                m.Pixels.moveTop(n.Pixels.top() + n.Pixels.height());
        }
    }
}

QString describeMonitors(const std::vector<TMonitor>& monitors) {
    QString text;
    for (const TMonitor& monitor : monitors) {
        text += QStringLiteral("%1 %2x%3%4%5%6%7 scale %8%9\n")
                    .arg(monitor.Name)
                    .arg(monitor.Pixels.width())
                    .arg(monitor.Pixels.height())
                    .arg(monitor.Pixels.x() < 0 ? QString() : QStringLiteral("+"))
                    .arg(monitor.Pixels.x())
                    .arg(monitor.Pixels.y() < 0 ? QString() : QStringLiteral("+"))
                    .arg(monitor.Pixels.y())
                    .arg(monitor.Ratio)
                    .arg(monitor.Primary ? QStringLiteral(" primary") : QString());
    }
    return text;
}
