#include "platform/MonitorWatcher.h"

#include <QGuiApplication>
#include <QScreen>

TMonitorWatcher::TMonitorWatcher(QObject* parent, int quietMs) : QObject(parent) {
    FQuiet.setSingleShot(true);
    FQuiet.setInterval(quietMs);
    connect(&FQuiet, &QTimer::timeout, this, &TMonitorWatcher::Settled);
    FMonitors = monitorList();
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app)
        return;
    connect(app, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
        Watch(screen);
        Touched();
    });
    connect(app, &QGuiApplication::screenRemoved, this, &TMonitorWatcher::Touched);
    connect(app, &QGuiApplication::primaryScreenChanged, this, &TMonitorWatcher::Touched);
    for (QScreen* screen : QGuiApplication::screens())
        Watch(screen);
}

void TMonitorWatcher::Watch(QScreen* screen) {
    // A change of scale comes as a change of the logical DPI or of the geometry.
    connect(screen, &QScreen::geometryChanged, this, &TMonitorWatcher::Touched);
    connect(screen, &QScreen::logicalDotsPerInchChanged, this, &TMonitorWatcher::Touched);
    connect(screen, &QScreen::physicalDotsPerInchChanged, this, &TMonitorWatcher::Touched);
}

void TMonitorWatcher::Touched() {
    FQuiet.start(); // restarts: the burst goes on
}

void TMonitorWatcher::Settled() {
    std::vector<TMonitor> now = monitorList();
    if (now == FMonitors)
        return;
    FMonitors = std::move(now);
    emit Changed();
}
