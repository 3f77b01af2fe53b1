// The end of the desktop session without the program's Exit: logging out, SIGTERM or SIGHUP, the
// display connection going away. Each keeps what was changed in this run, as Exit does.
//
// - The session manager's requests to save (commit data, save state) run Save; the session may
//   still go on (the user can cancel the logout). Its request to end (the application's quit
//   event) runs End.
// - SIGTERM and SIGHUP are taken through the event loop (a pipe the handler writes to) and run
//   End. A second signal while the first is still being handled ends the program at once.
// - When the display connection is lost, Qt ends the process from inside the event loop; the
//   watcher runs End and then Save on the way out, since the program's own end (which saves
//   once more, with the window placement) no longer comes.
//
// While the session ends nobody may be there to answer a message box, and without a display none
// can be shown: the errors of Save and End then go to standard error instead.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

class TSessionEnd : public QObject {
    Q_OBJECT
public:
    // save: writes the settings and the window placement. end: what Exit does (writes the
    // settings, stops a drawing, ends the event loop). One watcher at a time, on the GUI thread,
    // created while the application object exists.
    TSessionEnd(std::function<void()> save, std::function<void()> end, QObject* parent = nullptr);
    ~TSessionEnd() override;

    // Writes an error of the session's end to standard error: "<application title>: message".
    static void ReportToStandardError(const QString& message);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnSignal();
    void RunSave();
    void RunEnd();
    static void AtExit();

    std::function<void()> FSave;
    std::function<void()> FEnd;
    QSocketNotifier* FNotifier = nullptr;
    bool FEnding = false;
};
