#include "shell/Startup.h"

#include "mainwindow/MainForm.h"
#include "toolkit/widgets/AppEvents.h"
#include "worker/BackWallpaper.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QTimer>

TfrmTapestrixStartup* frmTapestrixStartup = nullptr;
TForm1* Form1 = nullptr;

namespace {

// A picture for the icon when neither the icon theme nor the resources have one: a landscape
// in a frame, so that the notification area never shows an empty slot.
QIcon DrawnIcon() {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF frame(0.5, size * 0.125 + 0.5, size - 1.0, size * 0.75 - 1.0);
        p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1));
        p.setBrush(QColor(0x4A, 0x90, 0xD9));
        p.drawRect(frame);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xF5, 0xC2, 0x11));
        p.drawEllipse(QPointF(size * 0.7, size * 0.35), size * 0.1, size * 0.1);
        p.setBrush(QColor(0x3C, 0x8D, 0x2F));
        const QPointF hills[] = {{frame.left(), frame.bottom()},
                                 {size * 0.35, size * 0.45},
                                 {size * 0.6, size * 0.7},
                                 {size * 0.75, size * 0.55},
                                 {frame.right(), frame.bottom()}};
        p.drawPolygon(hills, 5);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

QIcon ProgramIcon() {
    // The program's own pictures from the resources; the installed theme icon otherwise.
    QIcon icon;
    for (const char* path :
         {":/icons/tapestrix-16.png", ":/icons/tapestrix-48.png", ":/icons/tapestrix-256.png"}) {
        if (QFile::exists(QString::fromLatin1(path)))
            icon.addFile(QString::fromLatin1(path));
    }
    if (!icon.isNull())
        return icon;
    return QIcon::fromTheme(QStringLiteral("tapestrix"), DrawnIcon());
}

void InstallImagingErrorBox() {
    InstallHv3DGuiPresenter(ApplicationShowExceptionMessage);
}

TfrmTapestrixStartup::TfrmTapestrixStartup(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("frmTapestrixStartup"));
    Image1 = ProgramIcon();
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(100);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(Timer1); });
    CreateMenu();
    TrayIcon = new QSystemTrayIcon(this);
    TrayIcon->setContextMenu(TrayMenu);
    connect(TrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { TrayCallback(reason); });
    FormCreate(this);
    Timer1->start();
}

TfrmTapestrixStartup::~TfrmTapestrixStartup() {
    FormDestroy(this);
    if (frmTapestrixStartup == this)
        frmTapestrixStartup = nullptr;
}

void TfrmTapestrixStartup::CreateMenu() {
    TrayMenu = new QMenu(this);
    TrayMenu->setObjectName(QStringLiteral("TrayMenu"));
    auto item = [this](QAction*& action, const char* name, const QString& caption) {
        action =
            caption == QLatin1String("-") ? TrayMenu->addSeparator() : TrayMenu->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
    };
    item(Cancelmenu1, "Cancelmenu1", QStringLiteral("Hide this menu"));
    item(N3, "N3", QStringLiteral("-"));
    item(Showmainwindow1, "Showmainwindow1", QStringLiteral("&Show main window"));
    item(About1, "About1", QStringLiteral("&About..."));
    item(N1, "N1", QStringLiteral("-"));
    item(Changewallpapernow1, "Changewallpapernow1", QStringLiteral("Change background &now"));
    item(N2, "N2", QStringLiteral("-"));
    item(Exit1, "Exit1", QStringLiteral("E&xit"));
    // The default item, drawn in bold.
    QFont bold = Showmainwindow1->font();
    bold.setBold(true);
    Showmainwindow1->setFont(bold);
    TrayMenu->setDefaultAction(Showmainwindow1);

    // "Hide this menu" does nothing: choosing any item closes the menu.
    connect(Showmainwindow1, &QAction::triggered, this, [this] {
        try {
            Showmainwindow1Click(Showmainwindow1);
        } catch (...) {
            // Showing the window from the tray: errors are swallowed.
        }
    });
    connect(About1, &QAction::triggered, this, [this] { About1Click(About1); });
    connect(Changewallpapernow1, &QAction::triggered, this,
            Guarded([this] { Changewallpapernow1Click(Changewallpapernow1); }));
    connect(Exit1, &QAction::triggered, this, Guarded([this] { Exit1Click(Exit1); }));
}

TForm1* TfrmTapestrixStartup::MainWindow() const {
    return FMainWindow ? FMainWindow : Form1;
}

QString TfrmTapestrixStartup::TrayTip() {
    QString title = ApplicationTitle();
    if (title.isEmpty())
        title = QStringLiteral("Tapestrix");
    return title.left(63);
}

bool TfrmTapestrixStartup::TrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TfrmTapestrixStartup::FormCreate(QObject*) {
    // Never shown; a size of zero is what the form would have if it were.
    setFixedSize(0, 0);
    AddTrayIcon();
    setWindowTitle(QStringLiteral("Tapestrix"));
}

void TfrmTapestrixStartup::FormDestroy(QObject*) {
    if (FDestroyed)
        return;
    FDestroyed = true;
    RemoveTrayIcon();
}

void TfrmTapestrixStartup::AddTrayIcon() {
    TrayIcon->setIcon(Image1);
    TrayIcon->setToolTip(TrayTip());
    TrayIcon->show();
}

void TfrmTapestrixStartup::RemoveTrayIcon() {
    TrayIcon->hide();
}

void TfrmTapestrixStartup::Timer1Timer(QObject*) {
    hide();
    Timer1->stop();
}

void TfrmTapestrixStartup::TrayCallback(QSystemTrayIcon::ActivationReason reason) {
    try {
        switch (reason) {
        case QSystemTrayIcon::Trigger:
        case QSystemTrayIcon::DoubleClick:
            Showmainwindow1Click(this);
            break;
        default:
            // The context menu is opened at the pointer by the tray itself.
            break;
        }
    } catch (...) {
        // Tray clicks report nothing.
    }
}

void TfrmTapestrixStartup::RestoreInstance() {
    try {
        RemoveTrayIcon();
    } catch (...) {
    }
    try {
        AddTrayIcon();
    } catch (...) {
    }
    RunGuarded([this] { Showmainwindow1Click(this); });
}

void TfrmTapestrixStartup::HandleRequest(TSingleInstance::TRequest request) {
    switch (request) {
    case TSingleInstance::TRequest::Restore:
        RestoreInstance();
        break;
    case TSingleInstance::TRequest::ChangeNow:
        RunGuarded([this] { Changewallpapernow1Click(Changewallpapernow1); });
        break;
    }
}

void TfrmTapestrixStartup::Showmainwindow1Click(QObject*) {
    if (TForm1* form = MainWindow())
        form->ShowInFront();
}

void TfrmTapestrixStartup::About1Click(QObject*) {
    try {
        if (TForm1* form = MainWindow())
            form->BtnAboutClick(About1);
    } catch (...) {
        // The About command from the tray reports nothing.
    }
}

void TfrmTapestrixStartup::Changewallpapernow1Click(QObject*) {
    if (TForm1* form = MainWindow())
        form->ChangeBackgroundNow();
}

void TfrmTapestrixStartup::Exit1Click(QObject* Sender) {
    if (TForm1* form = MainWindow())
        form->BtnExitClick(Sender);
}

void TfrmTapestrixStartup::EnsureReachable(int graceMs) {
    auto check = [this] {
        if (TrayAvailable() || ApplicationTerminateRequested())
            return;
        RunGuarded([this] { Showmainwindow1Click(this); });
    };
    if (graceMs <= 0 || TrayAvailable()) {
        check();
        return;
    }
    // Poll until a notification area appears or the grace period is over.
    auto* poll = new QTimer(this);
    const QDeadlineTimer deadline(graceMs);
    connect(poll, &QTimer::timeout, this, [poll, deadline, check] {
        if (!TrayAvailable() && !deadline.hasExpired())
            return;
        poll->deleteLater();
        poll->stop();
        check();
    });
    poll->start(250);
}
