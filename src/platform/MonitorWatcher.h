// Tells when the monitors have changed: a monitor connected or removed, or one that changed its
// resolution, place or scale. Qt reports such a change as a burst of signals; Changed is emitted
// once, when the burst has been quiet for a while and the monitors differ from those seen before.
#pragma once

#include "platform/Monitors.h"

#include <QObject>
#include <QTimer>

#include <vector>

class QScreen;

class TMonitorWatcher : public QObject {
    Q_OBJECT
public:
    // Starts watching Qt's screens (GUI thread, with a QGuiApplication).
    explicit TMonitorWatcher(QObject* parent = nullptr, int quietMs = 2000);
    const std::vector<TMonitor>& Monitors() const { return FMonitors; }

signals:
    void Changed();

private:
    void Watch(QScreen* screen);
    void Touched();
    void Settled();

    QTimer FQuiet;
    std::vector<TMonitor> FMonitors;
};
