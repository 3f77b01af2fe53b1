// The program entry. A second start only hands the running instance its request (show the main
// window unless --change-now or --show asks otherwise) and ends; otherwise the application title is
// set, the startup form (tray icon), the main window and the About dialog are created in that
// order, the event loop runs, and the forms are destroyed in the reverse order.
#include "about/FormAbout.h"
#include "mainwindow/MainForm.h"
#include "platform/SingleInstance.h"
#include "shell/CommandLine.h"
#include "shell/SessionEnd.h"
#include "shell/Startup.h"
#include "toolkit/widgets/AppEvents.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

// How long an automatic start at logon waits for the panel's notification area before it shows
// the main window instead.
constexpr int kLogonTrayGraceMs = 10000;

} // namespace

int main(int argc, char** argv) {
    // The program icon lives in the GUI library's resources; a static library's resources are
    // linked in only when named.
    Q_INIT_RESOURCE(tapestrix);

    const TProgramOptions options = ParseProgramOptions(argc, argv);
    if (options.Help || options.Version) {
        std::fputs(qPrintable(options.Help ? ProgramHelpText() : ProgramVersionText()), stdout);
        return 0;
    }

    // Before anything is set up: a running instance gets the request (without --change-now or
    // --show the restore request, whatever the command line) and this start ends.
    auto instance = std::make_unique<TSingleInstance>();
    switch (StartOrForward(*instance, options)) {
    case TSingleInstance::TStartResult::Forwarded:
        return 0;
    case TSingleInstance::TStartResult::NoAnswer:
        std::fprintf(stderr, "Tapestrix is already running but does not answer.\n");
        return 1;
    case TSingleInstance::TStartResult::Unavailable:
        std::fprintf(stderr, "Tapestrix: %s; starting without the check for a running instance.\n",
                     qPrintable(instance->Error()));
        break;
    case TSingleInstance::TStartResult::Primary:
        break;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tapestrix"));
    SetApplicationTitle(QStringLiteral("Tapestrix")); // not the display name: see AppEvents.h
    QApplication::setDesktopFileName(QStringLiteral("org.example.Tapestrix"));
    QApplication::setWindowIcon(ProgramIcon());
    // Hiding the main window must not end the program: only Exit and an automatic start that
    // exits do.
    QApplication::setQuitOnLastWindowClosed(false);
    InstallImagingErrorBox();
    if (instance->IsPrimary() && !instance->Listen())
        std::fprintf(stderr, "Tapestrix: %s; a second start will not find this one.\n",
                     qPrintable(instance->Error()));

    std::unique_ptr<TfrmTapestrixStartup> startup;
    std::unique_ptr<TForm1> mainForm;
    std::unique_ptr<TfrmAbout> about;
    try {
        startup = std::make_unique<TfrmTapestrixStartup>();
        frmTapestrixStartup = startup.get();
        mainForm = std::make_unique<TForm1>();
        Form1 = mainForm.get();
        about = std::make_unique<TfrmAbout>();
        frmAbout = about.get();
    } catch (const std::exception& error) {
        ApplicationShowException(error);
        return 1;
    }
    // Second starts that arrived meanwhile have waited for this.
    const auto handleRequest = [](TSingleInstance::TRequest request) {
        if (frmTapestrixStartup)
            frmTapestrixStartup->HandleRequest(request);
    };
    instance->SetRequestHandler(handleRequest);
    // Without a notification area the program must not live hidden.
    startup->EnsureReachable(mainForm->StartedWithAutoStart() ? kLogonTrayGraceMs : 0);
    // Nobody else ran to do what this start was asked.
    for (const TSingleInstance::TRequest request : options.Requests)
        QTimer::singleShot(0, startup.get(), [=] { handleRequest(request); });

    // Logging out, SIGTERM, SIGHUP or a lost display without Exit: save as Exit does, and end.
    auto sessionEnd = std::make_unique<TSessionEnd>([] { Form1->SaveState(); },
                                                    [] { Form1->BtnExitClick(nullptr); });

    const int status = app.exec();
    sessionEnd.reset();

    instance->SetRequestHandler(nullptr);
    about.reset();
    frmAbout = nullptr;
    mainForm.reset();
    Form1 = nullptr;
    startup.reset();
    frmTapestrixStartup = nullptr;
    instance.reset();
    return status;
}
