#include "platform/DesktopDetect.h"

#include <QStringList>

#include <algorithm>
#include <optional>

namespace wallpaper {

namespace {

struct NameEntry {
    const char* name; // lower case
    Desktop desktop;
};

// Names seen in XDG_CURRENT_DESKTOP, XDG_SESSION_DESKTOP and DESKTOP_SESSION.
constexpr NameEntry kNames[] = {
    {"gnome", Desktop::Gnome},
    {"gnome-classic", Desktop::Gnome},
    {"gnome-flashback", Desktop::Gnome},
    {"gnome-xorg", Desktop::Gnome},
    {"gnome-wayland", Desktop::Gnome},
    {"ubuntu", Desktop::Gnome},
    {"ubuntu-wayland", Desktop::Gnome},
    {"ubuntu-xorg", Desktop::Gnome},
    {"unity", Desktop::Gnome},
    {"budgie", Desktop::Gnome},
    {"budgie-desktop", Desktop::Gnome},
    {"pantheon", Desktop::Gnome},
    {"pop", Desktop::Gnome},
    {"x-cinnamon", Desktop::Cinnamon},
    {"cinnamon", Desktop::Cinnamon},
    {"cinnamon2d", Desktop::Cinnamon},
    {"cinnamon-wayland", Desktop::Cinnamon},
    {"mate", Desktop::Mate},
    {"kde", Desktop::Kde},
    {"plasma", Desktop::Kde},
    {"plasmax11", Desktop::Kde},
    {"plasmawayland", Desktop::Kde},
    {"kde-plasma", Desktop::Kde},
    {"xfce", Desktop::Xfce},
    {"xfce4", Desktop::Xfce},
    {"xubuntu", Desktop::Xfce},
    {"lxqt", Desktop::Lxqt},
    {"lxde", Desktop::Lxde},
    {"lxde-pi", Desktop::Lxde},
    {"sway", Desktop::Sway},
    {"hyprland", Desktop::Hyprland},
    {"deepin", Desktop::Deepin},
    {"dde", Desktop::Deepin},
    {"river", Desktop::Wlroots},
    {"wayfire", Desktop::Wlroots},
    {"labwc", Desktop::Wlroots},
    {"niri", Desktop::Wlroots},
    {"hikari", Desktop::Wlroots},
};

std::optional<Desktop> desktopFromName(const QString& name) {
    const QString lower = name.trimmed().toLower();
    for (const NameEntry& entry : kNames)
        if (lower == QLatin1String(entry.name))
            return entry.desktop;
    return std::nullopt;
}

// Desktops whose shell paints the background itself and covers the root window or any layer
// beneath it: setting a root pixmap or starting swaybg there changes nothing a person sees.
bool paintsOwnBackground(Desktop desktop) {
    switch (desktop) {
    case Desktop::Gnome:
    case Desktop::Cinnamon:
    case Desktop::Kde:
    case Desktop::Deepin:
        return true;
    default:
        return false;
    }
}

} // namespace

SessionType sessionType(const QProcessEnvironment& env) {
    const QString type = env.value(QStringLiteral("XDG_SESSION_TYPE")).trimmed().toLower();
    if (type == QLatin1String("wayland"))
        return SessionType::Wayland;
    if (type != QLatin1String("x11") && !env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty())
        return SessionType::Wayland;
    if (!env.value(QStringLiteral("DISPLAY")).isEmpty())
        return SessionType::X11;
    return SessionType::None;
}

std::vector<Desktop> detectDesktops(const QProcessEnvironment& env, bool sandboxed) {
    std::vector<Desktop> result;
    auto add = [&result](Desktop desktop) {
        if (std::find(result.begin(), result.end(), desktop) == result.end())
            result.push_back(desktop);
    };
    if (sandboxed)
        add(Desktop::Portal);
    QStringList names = env.value(QStringLiteral("XDG_CURRENT_DESKTOP")).split(QLatin1Char(':'));
    names << env.value(QStringLiteral("XDG_SESSION_DESKTOP"))
          << env.value(QStringLiteral("DESKTOP_SESSION"));
    for (const QString& name : names)
        if (auto desktop = desktopFromName(name))
            add(*desktop);
    if (!env.value(QStringLiteral("SWAYSOCK")).isEmpty())
        add(Desktop::Sway);
    if (!env.value(QStringLiteral("HYPRLAND_INSTANCE_SIGNATURE")).isEmpty())
        add(Desktop::Hyprland);

    const bool covered = std::any_of(result.begin(), result.end(), paintsOwnBackground);
    const bool recognised = std::any_of(result.begin(), result.end(),
                                        [](Desktop desktop) { return desktop != Desktop::Portal; });
    switch (sessionType(env)) {
    case SessionType::Wayland:
        // Hyprland has no layer beneath hyprpaper's that swaybg could fill any better.
        if (!covered && std::find(result.begin(), result.end(), Desktop::Hyprland) == result.end())
            add(Desktop::Wlroots);
        // A desktop without a way of its own may still offer the portal's.
        if (!recognised)
            add(Desktop::Portal);
        break;
    case SessionType::X11:
        if (!covered)
            add(Desktop::X11Root);
        break;
    case SessionType::None:
        break;
    }
    return result;
}

QString describeSession(const QProcessEnvironment& env) {
    QString name;
    for (const char* variable : {"XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP", "DESKTOP_SESSION"}) {
        name = env.value(QLatin1String(variable)).trimmed();
        if (!name.isEmpty())
            break;
    }
    if (name.isEmpty()) {
        if (!env.value(QStringLiteral("SWAYSOCK")).isEmpty())
            name = QStringLiteral("sway");
        else if (!env.value(QStringLiteral("HYPRLAND_INSTANCE_SIGNATURE")).isEmpty())
            name = QStringLiteral("Hyprland");
        else
            name = QStringLiteral("an unknown desktop");
    }
    switch (sessionType(env)) {
    case SessionType::Wayland:
        return name + QStringLiteral(" (Wayland session)");
    case SessionType::X11:
        return name + QStringLiteral(" (X11 session)");
    case SessionType::None:
        break;
    }
    return name + QStringLiteral(" (no graphical session: neither DISPLAY nor WAYLAND_DISPLAY "
                                 "is set)");
}

QString desktopName(Desktop desktop) {
    switch (desktop) {
    case Desktop::Gnome:
        return QStringLiteral("GNOME");
    case Desktop::Cinnamon:
        return QStringLiteral("Cinnamon");
    case Desktop::Mate:
        return QStringLiteral("MATE");
    case Desktop::Kde:
        return QStringLiteral("KDE Plasma");
    case Desktop::Xfce:
        return QStringLiteral("XFCE");
    case Desktop::Lxqt:
        return QStringLiteral("LXQt");
    case Desktop::Lxde:
        return QStringLiteral("LXDE");
    case Desktop::Sway:
        return QStringLiteral("sway");
    case Desktop::Hyprland:
        return QStringLiteral("Hyprland");
    case Desktop::Wlroots:
        return QStringLiteral("swaybg");
    case Desktop::Deepin:
        return QStringLiteral("Deepin");
    case Desktop::X11Root:
        return QStringLiteral("X11 root window");
    case Desktop::Portal:
        return QStringLiteral("wallpaper portal");
    }
    return QStringLiteral("unknown");
}

} // namespace wallpaper
