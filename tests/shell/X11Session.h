// A desktop session of the tests' own for the end-to-end tests: an Xvfb server on a free display,
// the openbox window manager and a notification area (trayer), with private home, configuration,
// data and runtime folders; an X client for looking at windows, the root window's pixmap and
// the notification area; xdotool for the mouse and the keyboard.
#pragma once

#include "support/Xvfb.h"

#include <memory>

#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace shelltest {

// True when the program is on PATH.
bool haveProgram(const QString& program);

// Runs the event loop of this process (when there is one) until done() or the timeout.
bool waitUntil(const std::function<bool()>& done, int timeoutMs, int stepMs = 50);

struct TWindowInfo {
    uint32_t id = 0;
    QRect geometry; // in root coordinates
    bool viewable = false;
    bool overrideRedirect = false;
    QString title;
    uint32_t topLevel = 0; // the child of the root window it lies in
};

class X11Session {
public:
    // Starts Xvfb (width x height x 24), openbox and, with tray, trayer; waits until each is ready.
    X11Session(int width, int height, bool tray);
    ~X11Session();
    X11Session(const X11Session&) = delete;
    X11Session& operator=(const X11Session&) = delete;

    // Empty when the session is up; otherwise why not (a missing program, a start that failed).
    QString error() const { return FError; }
    QString display() const { return FDisplay; }
    int width() const { return FWidth; }
    int height() const { return FHeight; }

    // The private folders.
    QString home() const { return FDir.path() + QStringLiteral("/home"); }
    QString configHome() const { return FDir.path() + QStringLiteral("/config"); }
    QString dataHome() const { return FDir.path() + QStringLiteral("/data"); }
    QString runtimeDir() const { return FDir.path() + QStringLiteral("/runtime"); }
    // The environment for a program of this session: the display, the private folders, no
    // desktop named (the wallpaper goes to the root window), no session bus.
    QProcessEnvironment environment() const;

    // Windows whose WM_CLASS instance is `instance`, at any depth below the root window.
    std::vector<TWindowInfo> windowsOf(const QString& instance) const;
    // Viewable top-level windows of `instance` larger than 100 x 100 (main windows, dialogs).
    std::vector<TWindowInfo> bigWindowsOf(const QString& instance) const;
    // Viewable windows of `instance` embedded in the notification area.
    std::vector<TWindowInfo> trayIconsOf(const QString& instance) const;
    // The window _NET_ACTIVE_WINDOW names, 0 when none.
    uint32_t activeWindow() const;
    // Whether a notification area owns the tray selection of screen 0.
    bool trayPresent() const;
    // The pixmap _XROOTPMAP_ID names, when it names one.
    std::optional<uint32_t> rootPixmap() const;
    // The pixmap's contents (0xRRGGBB pixels at the screen's size); null when unreadable.
    QImage pixmapImage(uint32_t pixmap) const;
    // The root window's pixmap as an image; null when there is none.
    QImage rootImage() const;

    // Ends the X server, as when the display goes away under its programs (the window manager
    // and the notification area go with it). Nothing else of the session works afterwards.
    void stopServer();

    // xdotool with the session's display; true when it exited with 0.
    bool xdotool(const QStringList& arguments) const;
    // Clicks `button` at the centre of the window's rectangle.
    bool clickAt(const TWindowInfo& window, int button) const;

private:
    bool startServer();
    bool startHelper(QProcess& process, const QString& program, const QStringList& arguments);
    uint32_t trayWindow() const;
    uint32_t atom(const char* name) const;

    QTemporaryDir FDir;
    std::unique_ptr<testsupport::XvfbServer> FServer; // after the clients: stopped last
    QProcess FWindowManager;
    QProcess FTray;
    QString FDisplay;
    QString FError;
    int FWidth;
    int FHeight;
    struct Connection;
    std::unique_ptr<Connection> FX;
};

// How many pixels of two images of the same size differ; -1 when the sizes differ.
int64_t differingPixels(const QImage& a, const QImage& b);

} // namespace shelltest
