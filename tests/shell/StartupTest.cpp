// The startup form on its own: its menu, its icon and tip, the commands it passes to the main
// window, the restore of a second start, and the fallback when there is no notification area.
#include "shell/Startup.h"
#include "imaging/Hv3DException.h"
#include "mainwindow/MainForm.h"
#include "platform/DesktopWallpaper.h"
#include "toolkit/Classes.h"
#include "toolkit/registry/Registry.h"
#include "toolkit/widgets/AppEvents.h"
#include "worker/BackWallpaper.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class RecordingWallpaper : public IDesktopWallpaper {
public:
    void setDesktopWallpaper(const QString& path) override {
        std::lock_guard<std::mutex> lock(FMutex);
        FPaths << path;
    }
    QStringList paths() const {
        std::lock_guard<std::mutex> lock(FMutex);
        return FPaths;
    }

private:
    mutable std::mutex FMutex;
    QStringList FPaths;
};

bool pumpUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        FOldData = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(FDir.path() + QStringLiteral("/data")));
        SetRegistryRootDir(HKEY_CURRENT_USER, FDir.path() + QStringLiteral("/config"));
        FWallpaper = std::make_shared<RecordingWallpaper>();
        setDesktopWallpaperBackend(FWallpaper);
        SetTerminateAction([this] { ++FTerminates; });
        SetExceptionDisplay([this](const QString& message) { FErrors << message; });
        ResetApplicationTerminate();
        SetApplicationTitle(QStringLiteral("Tapestrix"));
        FForm = std::make_unique<TForm1>(false);
        FStartup = std::make_unique<TfrmTapestrixStartup>();
        FStartup->SetMainWindow(FForm.get());
    }
    void TearDown() override {
        FStartup.reset();
        FForm.reset();
        SetTerminateAction({});
        SetExceptionDisplay({});
        ResetApplicationTerminate();
        setDesktopWallpaperBackend(nullptr);
        SetRegistryRootDir(HKEY_CURRENT_USER, QString());
        qputenv("XDG_DATA_HOME", FOldData);
    }

    QTemporaryDir FDir;
    QByteArray FOldData;
    std::shared_ptr<RecordingWallpaper> FWallpaper;
    int FTerminates = 0;
    QStringList FErrors;
    std::unique_ptr<TForm1> FForm;
    std::unique_ptr<TfrmTapestrixStartup> FStartup;
};

} // namespace

TEST_F(Startup, TrayMenuHoldsTheItemsInOrderWithShowAsTheBoldDefault) {
    const QList<QAction*> actions = FStartup->TrayMenu->actions();
    const QStringList expected = {QStringLiteral("Hide this menu"),
                                  QString(),
                                  QStringLiteral("&Show main window"),
                                  QStringLiteral("&About..."),
                                  QString(),
                                  QStringLiteral("Change background &now"),
                                  QString(),
                                  QStringLiteral("E&xit")};
    const QStringList names = {QStringLiteral("Cancelmenu1"),
                               QStringLiteral("N3"),
                               QStringLiteral("Showmainwindow1"),
                               QStringLiteral("About1"),
                               QStringLiteral("N1"),
                               QStringLiteral("Changewallpapernow1"),
                               QStringLiteral("N2"),
                               QStringLiteral("Exit1")};
    ASSERT_EQ(actions.size(), expected.size());
    for (int i = 0; i < actions.size(); ++i) {
        EXPECT_EQ(actions[i]->isSeparator(), expected[i].isEmpty()) << i;
        if (!expected[i].isEmpty()) {
            EXPECT_EQ(actions[i]->text(), expected[i]);
        }
        EXPECT_EQ(actions[i]->objectName(), names[i]);
    }
    EXPECT_EQ(FStartup->TrayMenu->defaultAction(), FStartup->Showmainwindow1);
    EXPECT_TRUE(FStartup->Showmainwindow1->font().bold());
    EXPECT_FALSE(FStartup->Exit1->font().bold());
    EXPECT_EQ(FStartup->TrayIcon->contextMenu(), FStartup->TrayMenu);
}

TEST_F(Startup, FormIsNeverSeenAndItsIconCarriesTheTitle) {
    EXPECT_EQ(FStartup->windowTitle(), QStringLiteral("Tapestrix"));
    EXPECT_FALSE(FStartup->isVisible());
    EXPECT_TRUE(FStartup->Timer1->isActive());
    EXPECT_EQ(FStartup->Timer1->interval(), 100);
    pumpUntil([] { return false; }, 300);
    EXPECT_FALSE(FStartup->Timer1->isActive()) << "Timer1 switches itself off at its first tick";
    EXPECT_FALSE(FStartup->isVisible());
    EXPECT_FALSE(FStartup->TrayIcon->icon().isNull());
    EXPECT_EQ(FStartup->TrayIcon->toolTip(), QStringLiteral("Tapestrix"));
    EXPECT_TRUE(FStartup->TrayIcon->isVisible()) << "the icon is added at creation";
    EXPECT_FALSE(FForm->isVisible()) << "creating the forms shows nothing";
}

TEST_F(Startup, TipIsTheTitleCutToSixtyThreeCharacters) {
    const QString longTitle = QString(40, QLatin1Char('a')) + QString(30, QLatin1Char('b'));
    SetApplicationTitle(longTitle);
    EXPECT_EQ(TfrmTapestrixStartup::TrayTip(), longTitle.left(63));
    SetApplicationTitle(QString(63, QLatin1Char('c')));
    EXPECT_EQ(TfrmTapestrixStartup::TrayTip(), QString(63, QLatin1Char('c')));
    SetApplicationTitle(QStringLiteral("Tapestrix"));
}

TEST_F(Startup, LeftClickOrDoubleClickShowsTheMainWindowOtherClicksDoNot) {
    FStartup->TrayCallback(QSystemTrayIcon::Context);
    FStartup->TrayCallback(QSystemTrayIcon::MiddleClick);
    FStartup->TrayCallback(QSystemTrayIcon::Unknown);
    EXPECT_FALSE(FForm->isVisible());
    FStartup->TrayCallback(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(FForm->isVisible());
    FForm->hide();
    FStartup->TrayCallback(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(FForm->isVisible());
}

TEST_F(Startup, RestoreRequestKeepsOneIconAndShowsTheMainWindow) {
    ASSERT_FALSE(FForm->isVisible());
    FStartup->RestoreInstance();
    EXPECT_TRUE(FStartup->TrayIcon->isVisible());
    EXPECT_TRUE(FForm->isVisible());
    FStartup->RestoreInstance(); // again while shown: still one icon, still shown
    EXPECT_TRUE(FStartup->TrayIcon->isVisible());
    EXPECT_TRUE(FForm->isVisible());
    EXPECT_EQ(FStartup->findChildren<QSystemTrayIcon*>().size(), 1);
    EXPECT_TRUE(FErrors.isEmpty());
}

TEST_F(Startup, ShowItemShowsAndExitSavesAndEnds) {
    FStartup->Showmainwindow1->trigger();
    EXPECT_TRUE(FForm->isVisible());
    FStartup->Exit1->trigger();
    EXPECT_EQ(FTerminates, 1);
    EXPECT_TRUE(QFile::exists(FDir.path() + QStringLiteral("/config/Halvern/Tapestrix.conf")));
    EXPECT_TRUE(FErrors.isEmpty()) << FErrors.join(QLatin1Char('\n')).toStdString();
}

TEST_F(Startup, ChangeNowAppliesTheNextPresetOfTheMainWindow) {
    FForm->FPresets = {TPreset{QString(), QStringLiteral("#FF"), false},
                       TPreset{QString(), QStringLiteral("#FF0000"), false}};
    FForm->FLastImage = 0;
    FStartup->Changewallpapernow1->trigger();
    EXPECT_EQ(FForm->FLastImage, 1);
    ASSERT_TRUE(pumpUntil([&] { return !FForm->FBack && !FWallpaper->paths().isEmpty(); }, 20000))
        << "the drawing did not reach the desktop";
    EXPECT_TRUE(FErrors.isEmpty()) << FErrors.join(QLatin1Char('\n')).toStdString();
}

TEST_F(Startup, RequestsOfALaterStartDoWhatTheTrayMenuDoes) {
    FForm->FPresets = {TPreset{QString(), QStringLiteral("#FF"), false},
                       TPreset{QString(), QStringLiteral("#FF0000"), false}};
    FForm->FLastImage = 1;
    FStartup->HandleRequest(TSingleInstance::TRequest::ChangeNow);
    EXPECT_EQ(FForm->FLastImage, 0) << "the next preset, wrapping round";
    EXPECT_FALSE(FForm->isVisible()) << "changing now shows no window";
    ASSERT_TRUE(pumpUntil([&] { return !FForm->FBack && !FWallpaper->paths().isEmpty(); }, 20000));
    FStartup->HandleRequest(TSingleInstance::TRequest::Restore);
    EXPECT_TRUE(FForm->isVisible());
    EXPECT_TRUE(FStartup->TrayIcon->isVisible());
    EXPECT_TRUE(FErrors.isEmpty()) << FErrors.join(QLatin1Char('\n')).toStdString();
}

TEST_F(Startup, CommandsWithoutAMainWindowDoNothing) {
    FStartup->SetMainWindow(nullptr);
    TForm1* saved = Form1;
    Form1 = nullptr;
    FStartup->TrayCallback(QSystemTrayIcon::Trigger);
    FStartup->RestoreInstance();
    for (QAction* action : FStartup->TrayMenu->actions())
        action->trigger();
    Form1 = saved;
    EXPECT_EQ(FTerminates, 0);
    EXPECT_FALSE(FForm->isVisible());
}

TEST_F(Startup, MainWindowIsReachedThroughForm1WhenNoneWasGiven) {
    FStartup->SetMainWindow(nullptr);
    TForm1* saved = Form1;
    Form1 = FForm.get();
    FStartup->TrayCallback(QSystemTrayIcon::Trigger);
    Form1 = saved;
    EXPECT_TRUE(FForm->isVisible());
}

TEST_F(Startup, WithoutANotificationAreaTheMainWindowIsShown) {
    if (TfrmTapestrixStartup::TrayAvailable())
        GTEST_SKIP() << "this platform has a notification area";
    FStartup->EnsureReachable(0);
    EXPECT_TRUE(FForm->isVisible());
}

TEST_F(Startup, NoNotificationAreaAfterTheGracePeriodShowsTheMainWindowThen) {
    if (TfrmTapestrixStartup::TrayAvailable())
        GTEST_SKIP() << "this platform has a notification area";
    FStartup->EnsureReachable(600);
    pumpUntil([] { return false; }, 300);
    EXPECT_FALSE(FForm->isVisible()) << "shown before the grace period ended";
    EXPECT_TRUE(pumpUntil([&] { return FForm->isVisible(); }, 3000));
}

TEST_F(Startup, ProgramThatIsEndingShowsNothingForWantOfANotificationArea) {
    if (TfrmTapestrixStartup::TrayAvailable())
        GTEST_SKIP() << "this platform has a notification area";
    ApplicationTerminate(); // an automatic start that exits
    FStartup->EnsureReachable(0);
    EXPECT_FALSE(FForm->isVisible());
}

TEST_F(Startup, ExitFromTheTrayEndsTheEventLoopWhileTheMainWindowShows) {
    // The main window refuses to close (it only hides), and other windows are open: the
    // application still ends.
    FStartup->Showmainwindow1->trigger();
    QWidget other;
    other.show();
    SetTerminateAction({});
    FStartup->Exit1->trigger();
    QTimer::singleShot(5000, [] { QCoreApplication::exit(7); }); // watchdog
    EXPECT_EQ(QApplication::exec(), 0);
}

TEST(ImagingErrorBox, ShowsTheApplicationsErrorBoxOnTheGuiThreadWhileTheRaiserWaits) {
    std::atomic<bool> raised{false};
    std::vector<std::thread::id> shownOn;
    QStringList messages;
    bool raiserWaited = false;
    SetExceptionDisplay([&](const QString& message) {
        shownOn.push_back(std::this_thread::get_id());
        messages << message;
        QThread::msleep(100); // the box is up for a while
        raiserWaited = !raised.load();
    });
    InstallImagingErrorBox();
    class Raiser : public TThread {
    public:
        explicit Raiser(std::atomic<bool>& raised) : FRaised(raised) {}

    protected:
        void RunJob() override {
            try {
                throw THv3DException(QStringLiteral("THvBitmap32.ToBitmap error (test)."));
            } catch (const THv3DException&) {
                FRaised.store(true);
            }
        }

    private:
        std::atomic<bool>& FRaised;
    } raiser(raised);
    raiser.Resume();
    raiser.WaitFor(); // serves the GUI thread's part meanwhile
    SetHv3DPresenter(nullptr);
    SetExceptionDisplay(nullptr);
    EXPECT_EQ(messages, QStringList{QStringLiteral("THvBitmap32.ToBitmap error (test).")});
    ASSERT_EQ(shownOn.size(), 1u);
    EXPECT_EQ(shownOn[0], std::this_thread::get_id());
    EXPECT_TRUE(raiserWaited) << "the error was raised before the box was dismissed";
    EXPECT_TRUE(raised.load());
}
