// The application's default error display and its terminate request.
//
// Qt does not let exceptions pass through its event loop, so every event handler that may raise
// is connected through Guarded(): an exception that escapes the handler is shown in a message box
// with its message, and the program goes on.
#pragma once

#include <QString>

#include <exception>
#include <functional>
#include <utility>

// Shows the error's message the way an error escaping an event handler is shown: a modal message
// box titled with the application's name. Exception's own message text is used when it is one.
void ApplicationShowException(const std::exception& error);
void ApplicationShowExceptionMessage(const QString& message);
// The error's message: Exception's own text, else what() read in the locale's encoding.
QString ExceptionMessage(const std::exception& error);
// Replaces the message box (tests record the messages instead; a program whose session ends
// writes them to standard error) and returns the display it replaces; an empty function restores
// the message box.
std::function<void(const QString& message)>
SetExceptionDisplay(std::function<void(const QString& message)> display);

// The application's title, the caption of the error box and the tip of the tray icon; the
// application's name until one is set. It is not Qt's application display name, which the X11
// platform appends to every window title ("About... — Tapestrix").
QString ApplicationTitle();
void SetApplicationTitle(const QString& title);

// Runs handler(); an exception that escapes it goes to the default error display.
void RunGuarded(const std::function<void()>& handler);

// Wraps a handler for QObject::connect: the returned functor takes no arguments and runs the
// handler under RunGuarded.
template <class F> auto Guarded(F handler) {
    return [handler = std::move(handler)]() { RunGuarded(handler); };
}

// Runs work on a thread of its own and waits for it: at first without taking events, then, if
// it takes longer (a read from a stalled network mount), in a local event loop that keeps the
// windows drawn and the program able to end, though user input waits. Returns work's result or
// re-raises its error; when the application is asked to end meanwhile, the work is left to
// finish by itself and EAbort is raised. work must not use the caller's objects.
void RunOffTheGuiThread(std::function<void()> work);

// Asks the application to end: the message loop ends as soon as it runs (at once when it is
// running, at its start when the request comes before it). Tests replace the action.
void ApplicationTerminate();
bool ApplicationTerminateRequested();
void SetTerminateAction(std::function<void()> action); // empty restores the default
void ResetApplicationTerminate();                      // tests: forget an earlier request
