// Which backends a session's environment selects, in which order.
#include "platform/DesktopDetect.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

using namespace wallpaper;

namespace {

QProcessEnvironment env(std::initializer_list<std::pair<const char*, const char*>> values) {
    QProcessEnvironment result;
    for (const auto& [name, value] : values)
        result.insert(QLatin1String(name), QLatin1String(value));
    return result;
}

struct Case {
    const char* label;
    QProcessEnvironment env;
    std::vector<Desktop> expected;
};

QString names(const std::vector<Desktop>& desktops) {
    QStringList list;
    for (Desktop d : desktops)
        list << desktopName(d);
    return list.join(QStringLiteral(", "));
}

} // namespace

TEST(DesktopDetect, EnvironmentTable) {
    using D = Desktop;
    const Case cases[] = {
        {"GNOME on Wayland",
         env({{"XDG_CURRENT_DESKTOP", "GNOME"},
              {"XDG_SESSION_TYPE", "wayland"},
              {"WAYLAND_DISPLAY", "wayland-0"},
              {"DISPLAY", ":0"}}),
         {D::Gnome}},
        {"Ubuntu's list, compared case-insensitively",
         env({{"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}, {"DISPLAY", ":0"}}),
         {D::Gnome}},
        {"Budgie then GNOME",
         env({{"XDG_CURRENT_DESKTOP", "Budgie:GNOME"}, {"DISPLAY", ":0"}}),
         {D::Gnome}},
        {"Unity", env({{"XDG_CURRENT_DESKTOP", "Unity"}, {"DISPLAY", ":0"}}), {D::Gnome}},
        {"Cinnamon",
         env({{"XDG_CURRENT_DESKTOP", "X-Cinnamon"}, {"DISPLAY", ":0"}}),
         {D::Cinnamon}},
        {"MATE falls back to the root window",
         env({{"XDG_CURRENT_DESKTOP", "MATE"}, {"DISPLAY", ":0"}}),
         {D::Mate, D::X11Root}},
        {"KDE on X11", env({{"XDG_CURRENT_DESKTOP", "KDE"}, {"DISPLAY", ":0"}}), {D::Kde}},
        {"KDE named only by the session",
         env({{"XDG_SESSION_DESKTOP", "plasmawayland"}, {"WAYLAND_DISPLAY", "wayland-0"}}),
         {D::Kde}},
        {"XFCE", env({{"XDG_CURRENT_DESKTOP", "XFCE"}, {"DISPLAY", ":0"}}), {D::Xfce, D::X11Root}},
        {"xfce in lower case",
         env({{"XDG_CURRENT_DESKTOP", "xfce"}, {"XDG_SESSION_TYPE", "x11"}, {"DISPLAY", ":1"}}),
         {D::Xfce, D::X11Root}},
        {"LXQt", env({{"XDG_CURRENT_DESKTOP", "LXQt"}, {"DISPLAY", ":0"}}), {D::Lxqt, D::X11Root}},
        {"LXDE by DESKTOP_SESSION",
         env({{"DESKTOP_SESSION", "LXDE"}, {"DISPLAY", ":0"}}),
         {D::Lxde, D::X11Root}},
        {"sway by its socket only",
         env({{"SWAYSOCK", "/run/user/1000/sway-ipc.sock"}, {"WAYLAND_DISPLAY", "wayland-1"}}),
         {D::Sway, D::Wlroots}},
        {"sway named and by socket, once",
         env({{"XDG_CURRENT_DESKTOP", "sway"},
              {"SWAYSOCK", "/tmp/s"},
              {"XDG_SESSION_TYPE", "wayland"}}),
         {D::Sway, D::Wlroots}},
        {"Hyprland by its signature",
         env({{"HYPRLAND_INSTANCE_SIGNATURE", "abc"}, {"WAYLAND_DISPLAY", "wayland-1"}}),
         {D::Hyprland}},
        {"Deepin", env({{"XDG_CURRENT_DESKTOP", "Deepin"}, {"DISPLAY", ":0"}}), {D::Deepin}},
        {"river is a wlroots compositor",
         env({{"XDG_CURRENT_DESKTOP", "river"}, {"WAYLAND_DISPLAY", "wayland-1"}}),
         {D::Wlroots}},
        {"unknown Wayland compositor: swaybg, then the portal",
         env({{"XDG_CURRENT_DESKTOP", "SomethingNew"}, {"XDG_SESSION_TYPE", "wayland"}}),
         {D::Wlroots, D::Portal}},
        {"a plain window manager on X11",
         env({{"XDG_CURRENT_DESKTOP", "i3"}, {"DISPLAY", ":0"}}),
         {D::X11Root}},
        {"nothing but DISPLAY", env({{"DISPLAY", ":7"}}), {D::X11Root}},
        {"XWayland's DISPLAY does not make a Wayland session X11",
         env({{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}}),
         {D::Wlroots, D::Portal}},
        {"an X11 session type wins over a stray WAYLAND_DISPLAY",
         env({{"XDG_SESSION_TYPE", "x11"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}}),
         {D::X11Root}},
        {"two desktops named: both, in order, then the fallback",
         env({{"XDG_CURRENT_DESKTOP", "LXQt:XFCE"},
              {"DESKTOP_SESSION", "lxqt"},
              {"DISPLAY", ":0"}}),
         {D::Lxqt, D::Xfce, D::X11Root}},
        {"a named desktop that paints its own background stops the fallback",
         env({{"XDG_CURRENT_DESKTOP", "XFCE:GNOME"}, {"DISPLAY", ":0"}}),
         {D::Xfce, D::Gnome}},
        {"empty entries in the list are ignored",
         env({{"XDG_CURRENT_DESKTOP", "::KDE:"}, {"DISPLAY", ":0"}}),
         {D::Kde}},
        {"no display at all", env({{"XDG_CURRENT_DESKTOP", "i3"}}), {}},
        {"a known desktop without a display is still tried",
         env({{"XDG_CURRENT_DESKTOP", "GNOME"}}),
         {D::Gnome}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(names(detectDesktops(c.env)), names(c.expected)) << c.label;
}

TEST(DesktopDetect, InASandboxThePortalComesFirst) {
    using D = Desktop;
    const Case cases[] = {
        {"GNOME",
         env({{"XDG_CURRENT_DESKTOP", "GNOME"}, {"DISPLAY", ":0"}}),
         {D::Portal, D::Gnome}},
        {"XFCE",
         env({{"XDG_CURRENT_DESKTOP", "XFCE"}, {"DISPLAY", ":0"}}),
         {D::Portal, D::Xfce, D::X11Root}},
        {"unknown Wayland compositor, the portal once",
         env({{"XDG_SESSION_TYPE", "wayland"}}),
         {D::Portal, D::Wlroots}},
        {"no display: the portal alone", env({}), {D::Portal}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(names(detectDesktops(c.env, true)), names(c.expected)) << c.label;
}

TEST(DesktopDetect, SessionDescriptionNamesDesktopAndSessionType) {
    EXPECT_EQ(describeSession(env({{"XDG_CURRENT_DESKTOP", "XFCE"}, {"DISPLAY", ":0"}})),
              QStringLiteral("XFCE (X11 session)"));
    EXPECT_EQ(describeSession(env({{"DESKTOP_SESSION", "lxqt"}, {"DISPLAY", ":0"}})),
              QStringLiteral("lxqt (X11 session)"));
    EXPECT_EQ(describeSession(env({{"SWAYSOCK", "/s"}, {"WAYLAND_DISPLAY", "w"}})),
              QStringLiteral("sway (Wayland session)"));
    EXPECT_EQ(describeSession(env({{"DISPLAY", ":0"}})),
              QStringLiteral("an unknown desktop (X11 session)"));
    EXPECT_TRUE(describeSession(env({})).contains(QStringLiteral("no graphical session")));
}
