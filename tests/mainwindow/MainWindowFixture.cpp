#include "MainWindowFixture.h"

#include "platform/Screen.h"
#include "toolkit/registry/Registry.h"
#include "toolkit/widgets/AppEvents.h"
#include "toolkit/widgets/Dialogs.h"
#include "worker/BackWallpaper.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QPainter>
#include <QThread>
#include <QTimer>

namespace mainwindowtest {

void MainWindowTest::SetUp() {
    ASSERT_TRUE(FDir.isValid());
    FConfigHome = FDir.filePath(QStringLiteral("config"));
    FDataHome = FDir.filePath(QStringLiteral("data"));
    FPictures = FDir.filePath(QStringLiteral("pictures"));
    QDir().mkpath(FConfigHome);
    QDir().mkpath(FDataHome);
    QDir().mkpath(FPictures);
    qputenv("XDG_CONFIG_HOME", FConfigHome.toLocal8Bit());
    qputenv("XDG_DATA_HOME", FDataHome.toLocal8Bit());
    SetRegistryRootDir(HKEY_CURRENT_USER, FConfigHome);
    QLocale::setDefault(QLocale::c());

    FDesktop = std::make_shared<RecordingDesktop>();
    setDesktopWallpaperBackend(FDesktop);
    setPrimaryScreenSizeProvider([] { return QSize(64, 48); });
    SetExceptionDisplay([this](const QString& message) { FErrors << message; });
    SetTerminateAction([this] { ++FTerminations; });
    ResetApplicationTerminate();
    TOpenDialog::SetExecuteHook([this](TOpenDialog& dialog) {
        FDialogDirs << dialog.InitialDir();
        FDialogNames << dialog.FileName();
        if (FDialogAnswers.empty())
            return false;
        const QString answer = FDialogAnswers.front();
        FDialogAnswers.pop_front();
        if (answer.isEmpty())
            return false;
        dialog.SetFileName(answer);
        return true;
    });
    TForm1::SetClock([this] { return FClock; });
}

void MainWindowTest::TearDown() {
    TForm1::SetClock(nullptr);
    TOpenDialog::SetExecuteHook(nullptr);
    SetTerminateAction(nullptr);
    SetExceptionDisplay(nullptr);
    ResetApplicationTerminate();
    setPrimaryScreenSizeProvider(nullptr);
    setDesktopWallpaperBackend(nullptr);
    SetRegistryRootDir(HKEY_CURRENT_USER, QString());
    qunsetenv("XDG_CONFIG_HOME");
    qunsetenv("XDG_DATA_HOME");
}

std::unique_ptr<TForm1> MainWindowTest::NewForm(bool autoStart) {
    auto form = std::make_unique<TForm1>(autoStart);
    form->Timer1->stop();
    form->Timer2->stop();
    return form;
}

void MainWindowTest::Destroy(std::unique_ptr<TForm1>& form) {
    form.reset();
}

bool MainWindowTest::PollUntilIdle(TForm1& form, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (form.FBack) {
        if (timer.elapsed() > timeoutMs)
            return false;
        form.Timer1Timer(nullptr);
        if (form.FBack)
            ProcessEvents(5);
    }
    return true;
}

void MainWindowTest::ProcessEvents(int ms) {
    QElapsedTimer timer;
    timer.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        TThread::CheckSynchronize();
        if (ms > 0)
            QThread::msleep(1);
    } while (timer.elapsed() < ms);
}

QString MainWindowTest::SettingsFile() const {
    return FConfigHome + QStringLiteral("/Halvern/Tapestrix.conf");
}

QString MainWindowTest::Read(const QString& section, const QString& ident) const {
    TRegIniFile ini(TForm1::kSettingsKey);
    return ini.ReadString(section, ident, QStringLiteral("<absent>"));
}

bool MainWindowTest::HasSection(const QString& section) const {
    TRegIniFile ini(TForm1::kSettingsKey);
    return ini.ReadSections().contains(section);
}

void MainWindowTest::Write(const QString& section, const QString& ident, const QString& value) {
    TRegIniFile ini(TForm1::kSettingsKey);
    ini.WriteString(section, ident, value);
}

void MainWindowTest::WritePreset(int index, const QString& fg, const QString& bg, bool tile) {
    TRegIniFile ini(TForm1::kSettingsKey);
    const QString section = QStringLiteral("Preset%1").arg(index);
    ini.WriteString(section, QStringLiteral("Foreground"), fg);
    ini.WriteString(section, QStringLiteral("Background"), bg);
    ini.WriteBool(section, QStringLiteral("Tile"), tile);
}

QString MainWindowTest::AutostartFile() const {
    return FConfigHome + QStringLiteral("/autostart/tapestrix.desktop");
}

} // namespace mainwindowtest
