// The Linux setter's order of attempts, its error texts and the alternating file names.
#include "platform/LinuxDesktopWallpaper.h"

#include "PlatformTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>

using namespace wallpaper;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Records which backends ran with which file; those listed in `failing` raise.
struct Recorder {
    std::vector<std::pair<Desktop, QString>> calls;
    std::map<Desktop, QString> failing;

    std::function<Backend(Desktop)> backends() {
        return [this](Desktop desktop) -> Backend {
            return [this, desktop](const Context&, const QString& path) {
                calls.emplace_back(desktop, path);
                auto it = failing.find(desktop);
                if (it != failing.end())
                    throw Exception(it->second);
            };
        };
    }
};

Context xfceContext() {
    Context context;
    context.env = QProcessEnvironment();
    context.env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("XFCE"));
    context.env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":9"));
    context.sandboxMarker = QString(); // not in a sandbox, wherever the tests run
    return context;
}

class LinuxDesktopWallpaperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        FPath = FDir.path() + QStringLiteral("/Tapestrix.bmp");
        ASSERT_TRUE(platformtest::writeFile(FPath, "first"));
    }
    QStringList files() const { return QDir(FDir.path()).entryList(QDir::Files, QDir::Name); }

    QTemporaryDir FDir;
    QString FPath;
};

} // namespace

TEST_F(LinuxDesktopWallpaperTest, FirstWorkingBackendWinsAndFailuresMoveOn) {
    Recorder recorder;
    recorder.failing[Desktop::Xfce] = QStringLiteral("xfconf is gone");
    LinuxDesktopWallpaper setter(xfceContext(), recorder.backends());
    setter.setDesktopWallpaper(FPath);
    ASSERT_EQ(recorder.calls.size(), 2u);
    EXPECT_EQ(recorder.calls[0].first, Desktop::Xfce);
    EXPECT_EQ(recorder.calls[1].first, Desktop::X11Root);
    EXPECT_EQ(recorder.calls[0].second, recorder.calls[1].second);
}

TEST_F(LinuxDesktopWallpaperTest, InASandboxThePortalIsAskedFirst) {
    Recorder recorder;
    recorder.failing[Desktop::Portal] = QStringLiteral("the portal refused");
    Context context = xfceContext();
    context.sandboxMarker = FDir.path() + QStringLiteral("/.flatpak-info");
    ASSERT_TRUE(platformtest::writeFile(context.sandboxMarker, "[Application]\n"));
    LinuxDesktopWallpaper setter(context, recorder.backends());
    setter.setDesktopWallpaper(FPath);
    ASSERT_EQ(recorder.calls.size(), 2u);
    EXPECT_EQ(recorder.calls[0].first, Desktop::Portal);
    EXPECT_EQ(recorder.calls[1].first, Desktop::Xfce);
}

TEST_F(LinuxDesktopWallpaperTest, EveryChangeHandsTheDesktopANewNameAndRemovesTheOld) {
    Recorder recorder;
    LinuxDesktopWallpaper setter(xfceContext(), recorder.backends());
    const auto [first, second] = alternateNames(FPath);
    EXPECT_EQ(first, FDir.path() + QStringLiteral("/Tapestrix-1.bmp"));
    EXPECT_EQ(second, FDir.path() + QStringLiteral("/Tapestrix-2.bmp"));

    setter.setDesktopWallpaper(FPath);
    {
        // The wallpaper file is replaced as the program saves it (a new file renamed over it):
        // the name the desktop shows keeps its picture (it may be a second link to the file).
        QSaveFile replaced(FPath);
        ASSERT_TRUE(replaced.open(QIODevice::WriteOnly));
        replaced.write("second");
        ASSERT_TRUE(replaced.commit());
    }
    EXPECT_EQ(readAll(first), "first");
    setter.setDesktopWallpaper(FPath);
    setter.setDesktopWallpaper(FPath); // the same content again still changes the name
    ASSERT_EQ(recorder.calls.size(), 3u);
    EXPECT_EQ(recorder.calls[0].second, first);
    EXPECT_EQ(recorder.calls[1].second, second);
    EXPECT_EQ(recorder.calls[2].second, first);
    EXPECT_EQ(files(),
              QStringList({QStringLiteral("Tapestrix-1.bmp"), QStringLiteral("Tapestrix.bmp")}));
    EXPECT_EQ(readAll(first), "second");
    EXPECT_EQ(readAll(FPath), "second"); // the wallpaper file itself stays as written
}

TEST_F(LinuxDesktopWallpaperTest, AnotherSetterRunNewerStateIsPickedUp) {
    // A second program instance (or a restart) finds the name in use from the files alone.
    Recorder recorder;
    LinuxDesktopWallpaper(xfceContext(), recorder.backends()).setDesktopWallpaper(FPath);
    LinuxDesktopWallpaper(xfceContext(), recorder.backends()).setDesktopWallpaper(FPath);
    ASSERT_EQ(recorder.calls.size(), 2u);
    EXPECT_NE(recorder.calls[0].second, recorder.calls[1].second);
}

TEST_F(LinuxDesktopWallpaperTest, FailureNamesTheDesktopAndEveryAttemptAndKeepsTheShownCopy) {
    Recorder recorder;
    LinuxDesktopWallpaper setter(xfceContext(), recorder.backends());
    setter.setDesktopWallpaper(FPath);
    const QString shown = recorder.calls.back().second;

    recorder.failing[Desktop::Xfce] = QStringLiteral("xfconf is gone");
    recorder.failing[Desktop::X11Root] = QStringLiteral("cannot open the X display :9");
    try {
        setter.setDesktopWallpaper(FPath);
        FAIL() << "all backends failing must raise";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Cannot set the desktop wallpaper on XFCE (X11 "
                                              "session): XFCE: xfconf is gone; X11 root window: "
                                              "cannot open the X display :9"));
    }
    // The copy the desktop still shows stays; the unused new one is gone.
    EXPECT_EQ(files(), QStringList({QFileInfo(shown).fileName(), QStringLiteral("Tapestrix.bmp")}));
}

TEST_F(LinuxDesktopWallpaperTest, NoDesktopAndMissingFileAreReported) {
    Recorder recorder;
    Context none;
    none.env = QProcessEnvironment();
    none.sandboxMarker = QString();
    try {
        LinuxDesktopWallpaper(none, recorder.backends()).setDesktopWallpaper(FPath);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral(
            "Cannot set the desktop wallpaper on an unknown desktop (no graphical session")))
            << e.what();
        EXPECT_TRUE(e.Message().endsWith(QStringLiteral("no supported desktop was found")));
    }
    try {
        LinuxDesktopWallpaper(xfceContext(), recorder.backends())
            .setDesktopWallpaper(FDir.path() + QStringLiteral("/missing.bmp"));
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("does not exist"))) << e.what();
    }
    EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(LinuxDesktopWallpaperTest, LinksAtTheAlternateNamesAreReplacedNotWrittenThrough) {
    // Both alternates are links to files elsewhere; the desktop is handed each name in turn.
    const QString elsewhere = FDir.path() + QStringLiteral("/elsewhere");
    QDir().mkpath(elsewhere);
    const auto [first, second] = alternateNames(FPath);
    for (const QString& name : {first, second}) {
        const QString victim = elsewhere + QLatin1Char('/') + QFileInfo(name).fileName();
        ASSERT_TRUE(platformtest::writeFile(victim, "precious"));
        ASSERT_TRUE(QFile::link(victim, name));
    }
    Recorder recorder;
    LinuxDesktopWallpaper setter(xfceContext(), recorder.backends());
    setter.setDesktopWallpaper(FPath);
    ASSERT_TRUE(platformtest::writeFile(FPath, "second"));
    setter.setDesktopWallpaper(FPath);
    ASSERT_EQ(recorder.calls.size(), 2u);
    EXPECT_NE(recorder.calls[0].second, recorder.calls[1].second);
    const QString shown = recorder.calls[1].second;
    EXPECT_FALSE(QFileInfo(shown).isSymLink());
    EXPECT_EQ(readAll(shown), "second");
    for (const char* name : {"Tapestrix-1.bmp", "Tapestrix-2.bmp"})
        EXPECT_EQ(readAll(elsewhere + QLatin1Char('/') + QLatin1String(name)), "precious") << name;
}

TEST_F(LinuxDesktopWallpaperTest, UnwritableFolderHandsTheFileItself) {
    Recorder recorder;
    QFile::setPermissions(FDir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    if (QFile(FDir.path() + QStringLiteral("/probe")).open(QIODevice::WriteOnly))
        GTEST_SKIP() << "running with rights that ignore folder permissions";
    LinuxDesktopWallpaper(xfceContext(), recorder.backends()).setDesktopWallpaper(FPath);
    QFile::setPermissions(FDir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0].second, FPath);
}

TEST(LinuxDesktopWallpaperFactory, PlatformInstanceIsTheLinuxSetter) {
    auto instance = createPlatformDesktopWallpaper();
    EXPECT_NE(dynamic_cast<LinuxDesktopWallpaper*>(instance.get()), nullptr);
}
