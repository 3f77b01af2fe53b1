// The Linux desktops' wallpaper setters. Each backend makes one image file the wallpaper of one
// kind of desktop and raises Exception with what failed (without the desktop's name: the caller
// adds it). LinuxDesktopWallpaper picks the backends from the session's environment.
#pragma once

#include "platform/DesktopWallpaper.h"
#include "toolkit/SysUtils.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <functional>
#include <optional>

class QDBusConnection;

namespace wallpaper {

enum class Desktop {
    Gnome,    // GNOME, Unity, Budgie: org.gnome.desktop.background
    Cinnamon, // org.cinnamon.desktop.background
    Mate,     // org.mate.background
    Kde,      // Plasma 5 and 6: plasmashell's script interface
    Xfce,     // xfconf channel xfce4-desktop
    Lxqt,     // pcmanfm-qt
    Lxde,     // pcmanfm
    Sway,     // swaymsg output * bg
    Hyprland, // hyprpaper through hyprctl
    Wlroots,  // any other layer-shell compositor: a swaybg process
    Deepin,   // the Appearance service
    X11Root,  // the root window's background pixmap
    Portal,   // the desktop portal's org.freedesktop.portal.Wallpaper (sandboxes, other Wayland)
};

// The desktop's name as messages show it ("GNOME", "X11 root window").
QString desktopName(Desktop desktop);

// How the GNOME-family backends reach GSettings.
enum class GSettingsAccess {
    Automatic, // the GIO library when built with it, else the gsettings tool
    Library,   // GIO in this process (reads this process's environment, not Context::env)
    Tool,      // the gsettings tool, run with Context::env
};

struct Context {
    // The environment the session is detected from, buses are found in and tools run with.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Longest wait for a tool or a D-Bus reply.
    int timeoutMs = 10000;
    GSettingsAccess gsettings = GSettingsAccess::Automatic;
    // The connected outputs' names ("HDMI-1"); by default asked of the X server (RandR).
    std::function<QStringList()> outputs;
    // Largest X request the root-window setter sends (0: the server's maximum).
    std::size_t maxX11RequestBytes = 0;
    // The file whose presence tells that the program runs in a sandbox (Flatpak's).
    QString sandboxMarker = QStringLiteral("/.flatpak-info");
    // Longest wait for the wallpaper portal's answer, which may wait for the user.
    int portalResponseTimeoutMs = 60000;

    QStringList connectedOutputs() const;
};

// ---------------------------------------------------------------------------------------------
// The backends. `path` is an absolute path of an image file.

void setGnomeWallpaper(const Context& context, const QString& path);
void setCinnamonWallpaper(const Context& context, const QString& path);
void setMateWallpaper(const Context& context, const QString& path);
void setKdeWallpaper(const Context& context, const QString& path);
void setXfceWallpaper(const Context& context, const QString& path);
void setLxqtWallpaper(const Context& context, const QString& path);
void setLxdeWallpaper(const Context& context, const QString& path);
void setSwayWallpaper(const Context& context, const QString& path);
void setHyprlandWallpaper(const Context& context, const QString& path);
void setWlrootsWallpaper(const Context& context, const QString& path);
void setDeepinWallpaper(const Context& context, const QString& path);
void setX11RootWallpaper(const Context& context, const QString& path);
// Hands the portal the open file (it copies it), asks for the background only and no preview,
// and waits for the Response of the request: 0 is success, 1 and 2 a refusal.
void setPortalWallpaper(const Context& context, const QString& path);

// The backends for more than one monitor. Every path in `files` is absolute and exists. The
// GNOME family shows the desktop-wide file spanned across the monitors; KDE Plasma, XFCE, sway,
// Hyprland, swaybg and Deepin give each monitor its own file; LXDE stretches the desktop-wide
// file across the screens; the root window holds the desktop-wide file at its place.
void setGnomeWallpapers(const Context& context, const TWallpaperFiles& files);
void setCinnamonWallpapers(const Context& context, const TWallpaperFiles& files);
void setMateWallpapers(const Context& context, const TWallpaperFiles& files);
void setKdeWallpapers(const Context& context, const TWallpaperFiles& files);
void setXfceWallpapers(const Context& context, const TWallpaperFiles& files);
void setLxdeWallpapers(const Context& context, const TWallpaperFiles& files);
void setSwayWallpapers(const Context& context, const TWallpaperFiles& files);
void setHyprlandWallpapers(const Context& context, const TWallpaperFiles& files);
void setWlrootsWallpapers(const Context& context, const TWallpaperFiles& files);
void setDeepinWallpapers(const Context& context, const TWallpaperFiles& files);
void setX11RootWallpapers(const Context& context, const TWallpaperFiles& files);

// ---------------------------------------------------------------------------------------------
// Helpers shared by the backends (and their tests).

// "file:///..." with every byte outside the unreserved set percent-encoded.
QString fileUri(const QString& path);

// The Plasma script that makes `uri` every desktop's centred, unscaled wallpaper.
QString plasmaWallpaperScript(const QString& uri);
// The Plasma script that gives each desktop the file of its screen: the monitor whose
// device-independent top-left corner is that of the screen's geometry, else the primary one.
QString plasmaMonitorsScript(const TWallpaperFiles& files);

// GVariant text format for a string ('...' with \ and ' escaped) and back. gvariantUnquote
// returns nullopt for text that is not one quoted string.
QString gvariantQuote(const QString& text);
std::optional<QString> gvariantUnquote(const QString& text);

// pcmanfm-qt's settings file for the desktop of the session in `env`:
// $XDG_CONFIG_HOME/pcmanfm-qt/<profile>/settings.conf, the profile being that of the pcmanfm-qt
// drawing that session's desktop, or "lxqt".
QString lxqtSettingsFile(const QProcessEnvironment& env);

// A word of sway's command language: double-quoted with " and \ escaped.
QString swayQuote(const QString& text);

struct ToolResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
// Runs a program found on Context::env's PATH with an argument vector (no shell), waits at most
// Context::timeoutMs and kills it then. Raises Exception when it is missing, cannot start, times
// out or crashes; returns its exit code and output otherwise.
ToolResult runTool(const Context& context, const QString& program, const QStringList& arguments);
// runTool that also raises when the exit code is not 0, with the tool's error output.
ToolResult runToolChecked(const Context& context, const QString& program,
                          const QStringList& arguments);
// The program's full path on Context::env's PATH, or empty.
QString findTool(const Context& context, const QString& program);

// A private connection to the session bus named in Context::env (DBUS_SESSION_BUS_ADDRESS, else
// $XDG_RUNTIME_DIR/bus), closed when the object goes. Raises Exception when there is none.
class SessionBus {
public:
    explicit SessionBus(const Context& context);
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;
    QDBusConnection connection() const;

private:
    QString FName;
};

// The connected outputs' names from the X server on $DISPLAY of `env` (RandR); empty when there
// is no display or no RandR.
QStringList x11ConnectedOutputs(const QProcessEnvironment& env);

} // namespace wallpaper
