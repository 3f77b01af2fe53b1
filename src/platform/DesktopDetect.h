// Which desktop the session runs, from its environment, as the backends to try in order.
#pragma once

#include "platform/WallpaperBackends.h"

#include <QProcessEnvironment>
#include <QString>

#include <vector>

namespace wallpaper {

// The backends to try, in order: the desktops named by XDG_CURRENT_DESKTOP (a colon-separated
// list, compared case-insensitively), XDG_SESSION_DESKTOP and DESKTOP_SESSION, then sway
// (SWAYSOCK) and Hyprland (HYPRLAND_INSTANCE_SIGNATURE); each desktop once. Then a last resort
// unless a desktop that always paints its own background was named: swaybg on Wayland (and
// after it the wallpaper portal when no desktop was recognised), the root window on X11. In a
// sandbox the wallpaper portal comes first of all: only it reaches outside. Empty when nothing
// applies (no display at all, no sandbox).
std::vector<Desktop> detectDesktops(const QProcessEnvironment& env, bool sandboxed = false);

enum class SessionType { X11, Wayland, None };
// Wayland when XDG_SESSION_TYPE says so, or when it names neither and WAYLAND_DISPLAY is set;
// else X11 when DISPLAY is set.
SessionType sessionType(const QProcessEnvironment& env);

// The session as messages name it: "XFCE (X11 session)", "an unknown desktop (Wayland
// session)", "no graphical session".
QString describeSession(const QProcessEnvironment& env);

} // namespace wallpaper
