// The startup form: the program's first form, never seen, which owns the icon in the
// notification area (the tray icon) and its menu, turns the icon's clicks into commands and
// answers a second start's request to show the running instance.
//
// The form never appears on the screen: it is never shown (on X11 and Wayland a zero-size window
// far off-screen would still be placed by the window manager and listed by the task bar). Its
// Timer1 still switches itself off after its first tick.
//
// When the desktop offers no notification area, a program living only as an icon could not be
// reached; EnsureReachable then shows the main window instead.
#pragma once

#include "platform/SingleInstance.h"

#include <QIcon>
#include <QString>
#include <QSystemTrayIcon>
#include <QWidget>

class QAction;
class QMenu;
class QTimer;
class TForm1;

class TfrmTapestrixStartup : public QWidget {
    Q_OBJECT
public:
    // Runs FormCreate: adds the tray icon and sets the caption.
    explicit TfrmTapestrixStartup(QWidget* parent = nullptr);
    // Runs FormDestroy: removes the tray icon.
    ~TfrmTapestrixStartup() override;

    // The icon in the notification area and its picture (Image1 holds the program icon).
    QIcon Image1;
    QSystemTrayIcon* TrayIcon = nullptr;
    QTimer* Timer1 = nullptr; // 100 ms, hides the form once
    QMenu* TrayMenu = nullptr;
    QAction* Cancelmenu1 = nullptr;         // "Hide this menu"
    QAction* N3 = nullptr;                  // separator
    QAction* Showmainwindow1 = nullptr;     // "&Show main window", the default item
    QAction* About1 = nullptr;              // "&About..."
    QAction* N1 = nullptr;                  // separator
    QAction* Changewallpapernow1 = nullptr; // "Change background &now"
    QAction* N2 = nullptr;                  // separator
    QAction* Exit1 = nullptr;               // "E&xit"

    void FormCreate(QObject* Sender);
    void FormDestroy(QObject* Sender);
    void Timer1Timer(QObject* Sender);
    void Showmainwindow1Click(QObject* Sender);
    void About1Click(QObject* Sender);
    void Changewallpapernow1Click(QObject* Sender);
    void Exit1Click(QObject* Sender);

    // A click on the tray icon: the left button shows the main window; the right button's menu
    // is opened by the tray itself at the pointer. Errors are swallowed.
    void TrayCallback(QSystemTrayIcon::ActivationReason reason);
    // A second start of the program asks to see this instance: the icon is removed and added
    // again (the notification area may have lost it), then the main window is shown.
    void RestoreInstance();
    // A request of a later start (or of this start's command line): Restore runs
    // RestoreInstance, ChangeNow the tray menu's "Change background now", whose errors go to the
    // application's error display.
    void HandleRequest(TSingleInstance::TRequest request);

    // Whether the desktop has a notification area for the icon now.
    static bool TrayAvailable();
    // Shows the main window when there is no notification area. With a grace period the check
    // waits that long for one to appear (a panel that starts after the program at logon) before
    // showing the window. Nothing happens once the application was asked to end.
    void EnsureReachable(int graceMs);

    // The tip: the application title, at most 63 characters.
    static QString TrayTip();

    // The main window this form works on; Form1 when none was given (tests give their own).
    void SetMainWindow(TForm1* form) { FMainWindow = form; }
    TForm1* MainWindow() const;

private:
    void AddTrayIcon();
    void RemoveTrayIcon();
    void CreateMenu();

    TForm1* FMainWindow = nullptr;
    bool FDestroyed = false;
};

// The program's three forms, filled once by the program entry in this order.
extern TfrmTapestrixStartup* frmTapestrixStartup;
extern TForm1* Form1;

// The program icon (the same picture at every size the resources hold).
QIcon ProgramIcon();

// The imaging errors' box (THv3DException) is the application's error box, shown on the GUI
// thread while the thread that raised the error waits for it to be dismissed. The program entry
// installs it once the application object exists.
void InstallImagingErrorBox();
