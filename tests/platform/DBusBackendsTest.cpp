// The desktops reached over the session bus, on a private bus: a fake plasmashell and Deepin
// service that record what they receive, and the real xfconfd.
#include "platform/WallpaperBackends.h"

#include "PlatformTestSupport.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QThread>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

using namespace wallpaper;

namespace {

// Records every call and answers it with an empty string or the error it was told to give.
class FakeObject : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return QString(); }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        std::lock_guard<std::mutex> lock(FMutex);
        FReceived.push_back(message);
        connection.send(FErrorName.isEmpty() ? message.createReply(QVariant(QString()))
                                             : message.createErrorReply(FErrorName, FErrorText));
        return true;
    }
    std::vector<QDBusMessage> received() const {
        std::lock_guard<std::mutex> lock(FMutex);
        return FReceived;
    }
    void failWith(const QString& name, const QString& text) {
        std::lock_guard<std::mutex> lock(FMutex);
        FErrorName = name;
        FErrorText = text;
    }

private:
    mutable std::mutex FMutex;
    std::vector<QDBusMessage> FReceived;
    QString FErrorName, FErrorText;
};

using FakeService = platformtest::FakeService<FakeObject>;

class DBusBackendsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FBus.started())
            GTEST_SKIP() << qPrintable(FBus.error());
        FContext.env = FBus.environment();
        FContext.timeoutMs = 10000;
    }
    QString failureOf(void (*backend)(const Context&, const QString&), const Context& c,
                      const QString& path) {
        try {
            backend(c, path);
        } catch (const Exception& e) {
            return e.Message();
        }
        return QString();
    }

    platformtest::PrivateBus FBus;
    Context FContext;
};

} // namespace

TEST_F(DBusBackendsTest, PlasmaReceivesTheWallpaperScript) {
    FakeService plasma(FBus.address(), QStringLiteral("org.kde.plasmashell"),
                       QStringLiteral("/PlasmaShell"));
    ASSERT_TRUE(plasma.ok());
    const QString path = QStringLiteral("/home/u/.local/share/Tapestrix-2.bmp");
    setKdeWallpaper(FContext, path);
    const auto received = plasma.object().received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].interface(), QStringLiteral("org.kde.PlasmaShell"));
    EXPECT_EQ(received[0].member(), QStringLiteral("evaluateScript"));
    ASSERT_EQ(received[0].arguments().size(), 1);
    const QString script = received[0].arguments()[0].toString();
    EXPECT_EQ(script, plasmaWallpaperScript(QStringLiteral("file://") + path));
    EXPECT_TRUE(script.contains(QStringLiteral("\"file:///home/u/.local/share/Tapestrix-2.bmp\"")));
    EXPECT_TRUE(script.contains(QStringLiteral("org.kde.image")));
    EXPECT_TRUE(script.contains(QStringLiteral("\"FillMode\", 6")));
}

TEST_F(DBusBackendsTest, PlasmaRefusalAndAbsenceAreReported) {
    EXPECT_TRUE(failureOf(setKdeWallpaper, FContext, QStringLiteral("/x.bmp"))
                    .contains(QStringLiteral("org.kde.plasmashell is not running")));
    FakeService plasma(FBus.address(), QStringLiteral("org.kde.plasmashell"),
                       QStringLiteral("/PlasmaShell"));
    plasma.object().failWith(QStringLiteral("org.kde.plasmashell.Error"),
                             QStringLiteral("Widgets are locked"));
    const QString failure = failureOf(setKdeWallpaper, FContext, QStringLiteral("/x.bmp"));
    EXPECT_TRUE(failure.contains(QStringLiteral("Widgets are locked"))) << qPrintable(failure);
}

TEST_F(DBusBackendsTest, DeepinSetsEveryMonitorAndFallsBackToTheOlderService) {
    FakeService deepin(FBus.address(), QStringLiteral("com.deepin.daemon.Appearance"),
                       QStringLiteral("/com/deepin/daemon/Appearance"));
    ASSERT_TRUE(deepin.ok());
    FContext.outputs = [] {
        return QStringList{QStringLiteral("eDP-1"), QStringLiteral("HDMI-1")};
    };
    setDeepinWallpaper(FContext, QStringLiteral("/w/T-1.bmp"));
    const auto received = deepin.object().received();
    ASSERT_EQ(received.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(received[i].member(), QStringLiteral("SetMonitorBackground"));
        EXPECT_EQ(received[i].arguments().value(1).toString(), QStringLiteral("file:///w/T-1.bmp"));
    }
    EXPECT_EQ(received[0].arguments().value(0).toString(), QStringLiteral("eDP-1"));
    EXPECT_EQ(received[1].arguments().value(0).toString(), QStringLiteral("HDMI-1"));
}

TEST_F(DBusBackendsTest, DeepinWithoutServiceNamesBoth) {
    const QString failure = failureOf(setDeepinWallpaper, FContext, QStringLiteral("/w.bmp"));
    EXPECT_TRUE(failure.contains(QStringLiteral("org.deepin.dde.Appearance1")))
        << qPrintable(failure);
    EXPECT_TRUE(failure.contains(QStringLiteral("com.deepin.daemon.Appearance")));
}

// ---------------------------------------------------------------------------------------------
// XFCE against the real xfconfd, started by the private bus on demand.

namespace {

class Xfconf {
public:
    explicit Xfconf(const QString& address)
        : FBus(QDBusConnection::connectToBus(address, QStringLiteral("xfconf-test"))) {}
    ~Xfconf() { QDBusConnection::disconnectFromBus(QStringLiteral("xfconf-test")); }
    bool set(const QString& property, const QVariant& value) {
        return call(QStringLiteral("SetProperty"), {QStringLiteral("xfce4-desktop"), property,
                                                    QVariant::fromValue(QDBusVariant(value))})
                   .type() == QDBusMessage::ReplyMessage;
    }
    QVariant get(const QString& property) {
        const QDBusMessage reply =
            call(QStringLiteral("GetProperty"), {QStringLiteral("xfce4-desktop"), property});
        if (reply.type() != QDBusMessage::ReplyMessage)
            return QVariant();
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }

private:
    QDBusMessage call(const QString& method, const QVariantList& arguments) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("org.xfce.Xfconf"), QStringLiteral("/org/xfce/Xfconf"),
            QStringLiteral("org.xfce.Xfconf"), method);
        message.setArguments(arguments);
        return FBus.call(message, QDBus::Block, 10000);
    }
    QDBusConnection FBus;
};

bool haveXfconfd() {
    return QFileInfo::exists(QStringLiteral("/usr/share/dbus-1/services/org.xfce.Xfconf.service"));
}

} // namespace

TEST_F(DBusBackendsTest, XfceUpdatesEveryExistingBackdropCentred) {
    if (!haveXfconfd())
        GTEST_SKIP() << "xfconfd is not installed (package xfconf)";
    Xfconf xfconf(FBus.address());
    const QString base = QStringLiteral("/backdrop/screen0/monitorVirtual-1/");
    ASSERT_TRUE(
        xfconf.set(base + QStringLiteral("workspace0/last-image"), QStringLiteral("/old.png")));
    ASSERT_TRUE(xfconf.set(base + QStringLiteral("workspace0/image-style"), 5));
    ASSERT_TRUE(xfconf.set(base + QStringLiteral("workspace0/color-style"), 0));
    ASSERT_TRUE(
        xfconf.set(base + QStringLiteral("workspace3/last-image"), QStringLiteral("/old.png")));
    ASSERT_TRUE(xfconf.set(QStringLiteral("/backdrop/single-workspace-mode"), true));

    FContext.outputs = [] { return QStringList{QStringLiteral("unused")}; };
    const QString path = QStringLiteral("/home/u/.local/share/Tapestrix-1.bmp");
    setXfceWallpaper(FContext, path);

    for (const char* workspace : {"workspace0", "workspace3"}) {
        const QString folder = base + QLatin1String(workspace);
        EXPECT_EQ(xfconf.get(folder + QStringLiteral("/last-image")).toString(), path) << workspace;
        EXPECT_EQ(xfconf.get(folder + QStringLiteral("/image-style")).toInt(), 1) << workspace;
    }
    EXPECT_EQ(xfconf.get(base + QStringLiteral("workspace0/color-style")).toInt(), 0);
    EXPECT_FALSE(xfconf.get(QStringLiteral("/backdrop/screen0/monitorunused/workspace0/last-image"))
                     .isValid())
        << "outputs are only used when no backdrop exists";
}

TEST_F(DBusBackendsTest, XfceCreatesBackdropsForConnectedOutputsWhenNoneExist) {
    if (!haveXfconfd())
        GTEST_SKIP() << "xfconfd is not installed (package xfconf)";
    FContext.outputs = [] {
        return QStringList{QStringLiteral("HDMI-1"), QStringLiteral("eDP-1")};
    };
    const QString path = QStringLiteral("/w/Tapestrix-2.bmp");
    setXfceWallpaper(FContext, path);
    Xfconf xfconf(FBus.address());
    for (const char* output : {"HDMI-1", "eDP-1"}) {
        const QString folder =
            QStringLiteral("/backdrop/screen0/monitor%1/workspace0/").arg(QLatin1String(output));
        EXPECT_EQ(xfconf.get(folder + QStringLiteral("last-image")).toString(), path) << output;
        EXPECT_EQ(xfconf.get(folder + QStringLiteral("image-style")).toInt(), 1) << output;
    }
}

TEST(DBusBackends, XfceWithoutSessionBusSaysSo) {
    Context context;
    context.env = QProcessEnvironment();
    try {
        setXfceWallpaper(context, QStringLiteral("/w.bmp"));
        FAIL();
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("no session bus"))) << e.what();
    }
}

TEST_F(DBusBackendsTest, CallsWorkFromAThreadQtDidNotStart) {
    // The drawing thread is a plain std::thread: no Qt event dispatcher there.
    FakeService plasma(FBus.address(), QStringLiteral("org.kde.plasmashell"),
                       QStringLiteral("/PlasmaShell"));
    ASSERT_TRUE(plasma.ok());
    platformtest::QtWarningRecorder recorder;
    QString failure = QStringLiteral("not run");
    std::thread worker(
        [&] { failure = failureOf(setKdeWallpaper, FContext, QStringLiteral("/t.bmp")); });
    worker.join();
    recorder.stop();
    EXPECT_TRUE(failure.isEmpty()) << qPrintable(failure);
    EXPECT_EQ(plasma.object().received().size(), 1u);
    const QStringList warnings = recorder.warnings();
    EXPECT_TRUE(warnings.isEmpty()) << qPrintable(warnings.join(QLatin1Char('\n')));
}
