#include "toolkit/widgets/AppEvents.h"

#include "toolkit/SysUtils.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QMetaObject>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

// Made before main and gone only after every exit handler registered later has run (the
// session's end saves from one).
std::function<void(const QString&)> gExceptionDisplay;
QString gTitle;
std::function<void()> gTerminateAction;

std::function<void(const QString&)>& ExceptionDisplay() {
    return gExceptionDisplay;
}

QString& Title() {
    return gTitle;
}

std::function<void()>& TerminateAction() {
    return gTerminateAction;
}

std::atomic<bool> gTerminateRequested{false};

} // namespace

QString ExceptionMessage(const std::exception& error) {
    if (const auto* e = dynamic_cast<const Exception*>(&error))
        return e->Message();
    return QString::fromLocal8Bit(error.what());
}

void ApplicationShowExceptionMessage(const QString& message) {
    if (ExceptionDisplay()) {
        ExceptionDisplay()(message);
        return;
    }
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), message, QMessageBox::Ok);
    box.exec();
}

void ApplicationShowException(const std::exception& error) {
    ApplicationShowExceptionMessage(ExceptionMessage(error));
}

std::function<void(const QString&)>
SetExceptionDisplay(std::function<void(const QString&)> display) {
    return std::exchange(ExceptionDisplay(), std::move(display));
}

QString ApplicationTitle() {
    return Title().isEmpty() ? QCoreApplication::applicationName() : Title();
}

void SetApplicationTitle(const QString& title) {
    Title() = title;
}

void RunGuarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        ApplicationShowException(error);
    } catch (...) {
        ApplicationShowExceptionMessage(QStringLiteral("Unknown error"));
    }
}

void ApplicationTerminate() {
    gTerminateRequested.store(true);
    if (TerminateAction()) {
        TerminateAction()();
        return;
    }
    // Queued, so that a request made before the message loop runs (an automatic start that
    // exits, while the main window is being created) still ends the loop when it starts.
    // exit() and not quit(): quit() first asks every window to close and gives up when one
    // refuses, as the main window does (it only hides).
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

bool ApplicationTerminateRequested() {
    return gTerminateRequested.load();
}

void SetTerminateAction(std::function<void()> action) {
    TerminateAction() = std::move(action);
}

void ResetApplicationTerminate() {
    gTerminateRequested.store(false);
}

void RunOffTheGuiThread(std::function<void()> work) {
    struct TShared {
        std::function<void()> Work;
        std::exception_ptr Error;
        std::atomic<bool> Done{false};
    };
    auto shared = std::make_shared<TShared>();
    shared->Work = std::move(work);
    std::thread([shared] {
        try {
            shared->Work();
        } catch (...) {
            shared->Error = std::current_exception();
        }
        shared->Done.store(true);
    }).detach();
    // Most work ends at once: the program takes no events in between.
    for (int i = 0; i < 100 && !shared->Done.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!shared->Done.load()) {
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (shared->Done.load() || ApplicationTerminateRequested())
                loop.quit();
        });
        poll.start(20);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!shared->Done.load())
        throw EAbort(QStringLiteral("The program is ending"));
    if (shared->Error)
        std::rethrow_exception(shared->Error);
}
