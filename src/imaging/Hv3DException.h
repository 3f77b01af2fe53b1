// The imaging error: shows an error box with its message as it is raised, waits until the box is
// dismissed, and is then thrown like any other error.
//
// Where the box appears is up to the installed presenter. A program with windows installs one
// that carries the box to the GUI thread and waits for it there; tools without a window system
// print the message on stderr (the console presenter, also the default); tests record it.
#pragma once

#include "toolkit/SysUtils.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Shows one error message and returns when the user has dismissed it. Runs on the thread that
// raises the error.
using THv3DPresenter = std::function<void(const QString& message)>;

class THv3DException : public Exception {
public:
    // Shows the message through the current presenter and returns when it has been dismissed;
    // throw the object afterwards. Copies do not show the message again.
    explicit THv3DException(const QString& message);

    // prefix + the operating system's text for errorNumber (trailing full stops, spaces and line
    // breaks removed) + ").", as in "THvBitmap32.ToBitmap error (Cannot allocate memory).".
    static QString ErrorMessage(const QString& prefix, int errorNumber);
};

// Installs the presenter every later error uses and returns the one it replaces. An empty one
// restores the console presenter.
THv3DPresenter SetHv3DPresenter(THv3DPresenter presenter);

// Writes "Error: " and the message as one line on stderr.
void Hv3DConsolePresenter(const QString& message);

// Records every message instead of showing it, with the thread that raised it; installed for
// its lifetime, restoring the previous presenter afterwards. For tests.
class THv3DRecordingPresenter {
public:
    THv3DRecordingPresenter();
    ~THv3DRecordingPresenter();
    THv3DRecordingPresenter(const THv3DRecordingPresenter&) = delete;
    THv3DRecordingPresenter& operator=(const THv3DRecordingPresenter&) = delete;

    QStringList Messages() const;
    std::vector<std::thread::id> Threads() const;

private:
    mutable std::mutex FMutex;
    QStringList FMessages;
    std::vector<std::thread::id> FThreads;
    THv3DPresenter FPrevious;
};
