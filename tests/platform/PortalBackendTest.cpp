// The wallpaper portal backend against a portal of the tests' own on a private bus: what the
// portal receives (the open file and the options), its refusals, its silence and its absence.
#include "platform/WallpaperBackends.h"

#include "PlatformTestSupport.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

using namespace wallpaper;

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");

// The portal: answers SetWallpaperFile with the request's path, then sends that request's
// Response with the code it was told (none when the code is negative), or fails the call with
// the error it was told. Records what it received.
class FakePortal : public QDBusVirtualObject {
public:
    struct Call {
        QString member;
        QString path;
        QString parentWindow;
        QByteArray content; // of the file descriptor
        QVariantMap options;
    };

    QString introspect(const QString&) const override { return QString(); }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        std::lock_guard<std::mutex> lock(FMutex);
        Call call{message.member(), message.path(), {}, {}, {}};
        if (message.member() != QLatin1String("SetWallpaperFile")) {
            FCalls.push_back(call);
            connection.send(message.createReply());
            return true;
        }
        const QVariantList arguments = message.arguments();
        call.parentWindow = arguments.value(0).toString();
        const auto fd = qvariant_cast<QDBusUnixFileDescriptor>(arguments.value(1));
        QFile file;
        if (fd.isValid() &&
            file.open(fd.fileDescriptor(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
            call.content = file.readAll();
        call.options = qdbus_cast<QVariantMap>(arguments.value(2));
        FCalls.push_back(call);
        if (!FErrorName.isEmpty()) {
            connection.send(message.createErrorReply(FErrorName, QStringLiteral("no")));
            return true;
        }
        QString sender = message.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString handle = kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') +
                               call.options.value(QStringLiteral("handle_token")).toString();
        connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(handle))));
        if (FResponse >= 0) {
            QDBusMessage response =
                QDBusMessage::createSignal(handle, QStringLiteral("org.freedesktop.portal.Request"),
                                           QStringLiteral("Response"));
            response << uint(FResponse) << QVariantMap();
            connection.send(response);
        }
        return true;
    }
    void answer(int response, const QString& errorName = QString()) {
        std::lock_guard<std::mutex> lock(FMutex);
        FResponse = response;
        FErrorName = errorName;
    }
    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> lock(FMutex);
        return FCalls;
    }

private:
    mutable std::mutex FMutex;
    std::vector<Call> FCalls;
    int FResponse = 0;
    QString FErrorName;
};

using Portal = platformtest::FakeService<FakePortal>;

class PortalBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FBus.started())
            GTEST_SKIP() << qPrintable(FBus.error());
        ASSERT_TRUE(FDir.isValid());
        FFile = FDir.path() + QStringLiteral("/Tapestrix-1.bmp");
        ASSERT_TRUE(platformtest::writeFile(FFile, platformtest::makeBmp(3, 2, [](int x, int y) {
                                                return uint32_t(x * 0x50 + y * 0x5000);
                                            })));
        FContext.env = FBus.environment();
        FContext.timeoutMs = 10000;
    }
    // The backend's error message, empty when it succeeded.
    QString failure(const QString& path) {
        try {
            setPortalWallpaper(FContext, path);
        } catch (const Exception& e) {
            return e.Message();
        }
        return QString();
    }

    platformtest::PrivateBus FBus{false}; // an installed portal is never started
    QTemporaryDir FDir;
    QString FFile;
    Context FContext;
};

} // namespace

TEST_F(PortalBackendTest, PortalReadsTheFileThroughTheDescriptorWithTheOptions) {
    Portal portal(FBus.address(), kService, kPath);
    ASSERT_TRUE(portal.ok());
    // As the drawing thread calls it: a plain thread without a Qt event loop of its own.
    platformtest::QtWarningRecorder recorder;
    QString error = QStringLiteral("not run");
    std::thread worker([&] { error = failure(FFile); });
    worker.join();
    recorder.stop();
    EXPECT_TRUE(error.isEmpty()) << qPrintable(error);
    EXPECT_TRUE(recorder.warnings().isEmpty()) << qPrintable(recorder.warnings().join('\n'));

    const auto calls = portal.object().calls();
    ASSERT_EQ(calls.size(), 1u);
    const FakePortal::Call& call = calls[0];
    EXPECT_EQ(call.member, QStringLiteral("SetWallpaperFile"));
    EXPECT_EQ(call.path, kPath);
    EXPECT_EQ(call.parentWindow, QString());
    QFile file(FFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(call.content, file.readAll());
    EXPECT_EQ(call.options.value(QStringLiteral("set-on")), QVariant(QStringLiteral("background")));
    EXPECT_EQ(call.options.value(QStringLiteral("show-preview")), QVariant(false));
    EXPECT_FALSE(call.options.value(QStringLiteral("handle_token")).toString().isEmpty());
}

TEST_F(PortalBackendTest, RefusalsSilenceAndErrorsAreReportedClearly) {
    struct Case {
        const char* label;
        int response;
        QString errorName;
        QString expected;
    };
    const Case cases[] = {
        {"cancelled", 1, {}, QStringLiteral("cancelled (response 1)")},
        {"refused", 2, {}, QStringLiteral("the portal refused to set the wallpaper (response 2)")},
        {"an unknown code", 7, {}, QStringLiteral("unknown response 7")},
        {"no wallpaper interface", 0, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
         QStringLiteral("offers no org.freedesktop.portal.Wallpaper interface")},
        {"another error", 0, QStringLiteral("org.freedesktop.portal.Error.NotAllowed"),
         QStringLiteral("org.freedesktop.portal.Error.NotAllowed: no")},
        {"no answer", -1, {}, QStringLiteral("did not answer within 0.3 seconds")},
    };
    Portal portal(FBus.address(), kService, kPath);
    ASSERT_TRUE(portal.ok());
    FContext.portalResponseTimeoutMs = 300;
    for (const Case& c : cases) {
        portal.object().answer(c.response, c.errorName);
        const QString error = failure(FFile);
        EXPECT_TRUE(error.contains(c.expected)) << c.label << ": " << qPrintable(error);
    }
    // The request left unanswered was closed.
    const auto calls = portal.object().calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().member, QStringLiteral("Close"));
    EXPECT_TRUE(calls.back().path.startsWith(kPath + QStringLiteral("/request/")));
}

TEST_F(PortalBackendTest, MissingPortalOrFileIsReported) {
    EXPECT_TRUE(failure(FFile).contains(
        QStringLiteral("the desktop portal (org.freedesktop.portal.Desktop) is not running")));
    Portal portal(FBus.address(), kService, kPath);
    ASSERT_TRUE(portal.ok());
    const QString missing = FDir.path() + QStringLiteral("/gone.bmp");
    EXPECT_TRUE(failure(missing).contains(QStringLiteral("cannot open ") + missing));
    EXPECT_TRUE(portal.object().calls().empty());
}
