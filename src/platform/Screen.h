// The screen: starting Qt's platform (the window system), and the primary screen's size in physical
// pixels.
#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>

#include <functional>

// Qt's logical size of the primary screen times its device pixel ratio, read on the GUI thread
// (other threads ask it through the toolkit's synchronise queue). An empty size when there is no
// screen. Tests may install their own provider.
QSize primaryScreenPixelSize();
void setPrimaryScreenSizeProvider(std::function<QSize()> provider); // empty restores Qt's

// The Qt platform plugins to try, as a value of QT_QPA_PLATFORM (Qt tries them in turn): the
// user's QT_QPA_PLATFORM when set, else those Qt tries by itself (Wayland first in a Wayland
// session, then X11), then `fallback` when it is not empty ("offscreen" for work that needs no
// screen).
QByteArray platformPluginList(const QByteArray& fallback);

// Guards the making of the GUI application object. Qt ends the process with abort() when it can
// start none of the platform plugins it tries; while a guard exists, that end becomes `report`
// (given what went wrong with each plugin tried) and exit code 1. Qt's other messages go on to the
// message handler installed before. Made and destroyed on the main thread, one at a time.
class TPlatformStartGuard {
public:
    explicit TPlatformStartGuard(std::function<void(const QString& problems)> report);
    ~TPlatformStartGuard();
    TPlatformStartGuard(const TPlatformStartGuard&) = delete;
    TPlatformStartGuard& operator=(const TPlatformStartGuard&) = delete;
};

// What went wrong with each platform plugin that Qt could not start at the last guarded start,
// for example "wayland: the plugin is not installed (Debian package qt6-wayland); xcb: cannot
// reach the display (DISPLAY is not set)". Empty when the first plugin tried started.
QString platformStartProblems();
