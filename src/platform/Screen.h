// The screen: whether a window system answers, and the primary screen's size in physical pixels.
#pragma once

#include <QSize>

#include <functional>

// Qt's logical size of the primary screen times its device pixel ratio, read on the GUI thread
// (other threads ask it through the toolkit's synchronise queue). An empty size when there is no
// screen. Tests may install their own provider.
QSize primaryScreenPixelSize();
void setPrimaryScreenSizeProvider(std::function<QSize()> provider); // empty restores Qt's

// True when a window system answers (a Wayland display is named, or the X display accepts a
// connection). Without one, programs that need no screen use Qt's offscreen platform.
bool windowSystemAvailable();
