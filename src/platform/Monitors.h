// The connected monitors: where each sits on the desktop and how many physical pixels it has.
// Read from Qt's screens by default; another platform (or a test) installs its own provider.
#pragma once

#include <QRect>
#include <QString>

#include <functional>
#include <vector>

struct TMonitor {
    QString Name;       // the output's name ("HDMI-1", "eDP-1")
    QRect Geometry;     // Qt's geometry in device-independent pixels
    QRect Pixels;       // position and size on the desktop in physical pixels
    double Ratio = 1.0; // device pixels per device-independent pixel
    bool Primary = false;

    bool operator==(const TMonitor&) const = default;
};

// The monitors ordered left to right, then top to bottom (by their physical top-left corners).
// Read on the GUI thread (other threads ask it through the toolkit's synchronise queue); empty
// when there is no screen.
std::vector<TMonitor> monitorList();
// Replaces the source of monitorList (tests); an empty function restores Qt's.
void setMonitorProvider(std::function<std::vector<TMonitor>()> provider);

// Sorts monitors left to right, then top to bottom; equal corners keep their order.
void sortMonitors(std::vector<TMonitor>& monitors);
// The bounding box of every monitor's physical rectangle (empty for none).
QRect desktopBounds(const std::vector<TMonitor>& monitors);
// The primary monitor (the first one when none is marked), or nullptr for none.
const TMonitor* primaryMonitor(const std::vector<TMonitor>& monitors);

// Physical rectangles from Qt's geometries. X11 keeps each screen's top-left corner in device
// pixels and scales only its size (`nativeOrigin`); elsewhere positions are device-independent:
// they are scaled by the largest ratio, and a monitor that would then overlap its left or upper
// neighbour is moved to its edge, so that the physical layout keeps the logical one's order and
// adjacency.
void placeMonitors(std::vector<TMonitor>& monitors, bool nativeOrigin);

// One line per monitor, as `tapestrix-compose --list-monitors` prints them:
// "HDMI-1 1920x1080+0+0 scale 1 primary".
QString describeMonitors(const std::vector<TMonitor>& monitors);
