#include "shell/SessionEnd.h"

#include "toolkit/widgets/AppEvents.h"

#include <QEvent>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP};

// The read and write ends of the pipe the signal handler writes the signal number to.
int gSignalPipe[2] = {-1, -1};
volatile std::sig_atomic_t gSignalSeen = 0;
struct sigaction gPreviousActions[std::size(kSignals)];

// The watcher of this run, for the exit handler; touched on the GUI thread only.
TSessionEnd* gWatcher = nullptr;

extern "C" void OnEndSignal(int signalNumber) {
    if (gSignalSeen) {
        // The first one is still being handled (or the save hangs): end now, as the default
        // action would have at the first.
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
        return;
    }
    gSignalSeen = 1;
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(gSignalPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

TSessionEnd::TSessionEnd(std::function<void()> save, std::function<void()> end, QObject* parent)
    : QObject(parent), FSave(std::move(save)), FEnd(std::move(end)) {
    gSignalSeen = 0;
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        FNotifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, this);
        connect(FNotifier, &QSocketNotifier::activated, this, &TSessionEnd::OnSignal);
        struct sigaction action {};
        action.sa_handler = OnEndSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (size_t i = 0; i < std::size(kSignals); ++i) {
            ::sigaction(kSignals[i], nullptr, &gPreviousActions[i]);
            // A signal the program was started to ignore (nohup) stays ignored.
            if (gPreviousActions[i].sa_handler != SIG_IGN)
                ::sigaction(kSignals[i], &action, nullptr);
        }
    } else {
        ReportToStandardError(QStringLiteral("cannot watch for the end of the session (%1)")
                                  .arg(QString::fromLocal8Bit(std::strerror(errno))));
    }

    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::commitDataRequest, this, [this] { RunSave(); });
        connect(app, &QGuiApplication::saveStateRequest, this, [this] { RunSave(); });
        app->installEventFilter(this);
    }

    static const bool registered = std::atexit(&TSessionEnd::AtExit) == 0;
    (void)registered;
    gWatcher = this;
}

TSessionEnd::~TSessionEnd() {
    if (gWatcher == this)
        gWatcher = nullptr;
    if (FNotifier) {
        for (size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], &gPreviousActions[i], nullptr);
        delete FNotifier;
        ::close(gSignalPipe[0]);
        ::close(gSignalPipe[1]);
        gSignalPipe[0] = gSignalPipe[1] = -1;
    }
}

void TSessionEnd::ReportToStandardError(const QString& message) {
    const QByteArray line = (ApplicationTitle() + QStringLiteral(": ") + message).toLocal8Bit();
    std::fprintf(stderr, "%s\n", line.constData());
    std::fflush(stderr);
}

bool TSessionEnd::eventFilter(QObject* watched, QEvent* event) {
    // The session manager's request to end arrives as the application's quit event; without this
    // the main window, which only hides when it is closed, would keep the program running.
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
        RunEnd();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void TSessionEnd::OnSignal() {
    char bytes[16];
    while (::read(gSignalPipe[0], bytes, sizeof bytes) > 0) {
    }
    RunEnd();
}

void TSessionEnd::RunSave() {
    const auto previous = SetExceptionDisplay(&TSessionEnd::ReportToStandardError);
    RunGuarded(FSave);
    SetExceptionDisplay(previous);
}

void TSessionEnd::RunEnd() {
    if (FEnding)
        return;
    FEnding = true;
    // For the rest of the program's life: its end saves once more.
    SetExceptionDisplay(&TSessionEnd::ReportToStandardError);
    RunGuarded(FEnd);
}

void TSessionEnd::AtExit() {
    // Reached with a watcher only when the process ends from inside the event loop: Qt does so
    // when the display connection breaks. Everything the save touches was made before the
    // watcher registered this handler (the settings were read and the windows made), so it is
    // still there: exit handlers and static objects go in the reverse order of their making.
    TSessionEnd* watcher = gWatcher;
    if (!watcher || watcher->thread() != QThread::currentThread())
        return;
    gWatcher = nullptr;
    watcher->RunEnd();
    SetExceptionDisplay(&TSessionEnd::ReportToStandardError);
    RunGuarded(watcher->FSave);
}
