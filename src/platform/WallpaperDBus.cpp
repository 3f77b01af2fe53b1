// The desktops reached over the session bus: KDE Plasma, XFCE (xfconf), Deepin and the desktop
// portal's wallpaper interface.
#include "platform/WallpaperBackends.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>
#include <QVariantMap>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace wallpaper {

namespace {

QString describeError(const QDBusMessage& reply) {
    return reply.errorMessage().isEmpty()
               ? reply.errorName()
               : reply.errorName() + QStringLiteral(": ") + reply.errorMessage();
}

bool serviceMissing(const QDBusMessage& reply) {
    return reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
           reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
}

// Calls a method and returns its reply; raises with `what` and the bus's error on failure.
QDBusMessage callMethod(const Context& context, const QDBusConnection& bus, const QString& service,
                        const QString& path, const QString& interface, const QString& method,
                        const QVariantList& arguments, const QString& what) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    const QDBusMessage reply = bus.call(message, QDBus::Block, context.timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        if (serviceMissing(reply))
            throw Exception(
                QStringLiteral("%1: %2 is not running on the session bus").arg(what, service));
        throw Exception(QStringLiteral("%1: %2").arg(what, describeError(reply)));
    }
    return reply;
}

// ---------------------------------------------------------------------------------------------
// xfconf

const QString kXfconfService = QStringLiteral("org.xfce.Xfconf");
const QString kXfconfPath = QStringLiteral("/org/xfce/Xfconf");
const QString kXfconfInterface = QStringLiteral("org.xfce.Xfconf");
const QString kXfceChannel = QStringLiteral("xfce4-desktop");
constexpr int kXfceImageStyleCentred = 1;

QVariantMap xfconfProperties(const Context& context, const QDBusConnection& bus,
                             const QString& base) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        kXfconfService, kXfconfPath, kXfconfInterface, QStringLiteral("GetAllProperties"));
    message.setArguments({kXfceChannel, base});
    const QDBusMessage reply = bus.call(message, QDBus::Block, context.timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        // A channel or base without properties is an error to xfconfd, not an empty answer.
        if (reply.errorName().startsWith(QLatin1String("org.xfce.Xfconf.Error")))
            return {};
        if (serviceMissing(reply))
            throw Exception(QStringLiteral("the xfconf service (%1) is not available on the "
                                           "session bus")
                                .arg(kXfconfService));
        throw Exception(QStringLiteral("reading the xfconf channel %1: %2")
                            .arg(kXfceChannel, describeError(reply)));
    }
    if (reply.arguments().isEmpty())
        return {};
    return qdbus_cast<QVariantMap>(reply.arguments().constFirst());
}

void xfconfSet(const Context& context, const QDBusConnection& bus, const QString& property,
               const QVariant& value) {
    callMethod(context, bus, kXfconfService, kXfconfPath, kXfconfInterface,
               QStringLiteral("SetProperty"),
               {kXfceChannel, property, QVariant::fromValue(QDBusVariant(value))},
               QStringLiteral("setting %1 in xfconf").arg(property));
}

QVariant xfconfGet(const Context& context, const QDBusConnection& bus, const QString& property) {
    const QDBusMessage reply = callMethod(
        context, bus, kXfconfService, kXfconfPath, kXfconfInterface, QStringLiteral("GetProperty"),
        {kXfceChannel, property}, QStringLiteral("reading %1 back from xfconf").arg(property));
    QVariant value = reply.arguments().value(0);
    if (value.canConvert<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

// ---------------------------------------------------------------------------------------------
// The wallpaper portal

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kPortalWallpaper = QStringLiteral("org.freedesktop.portal.Wallpaper");
const QString kPortalRequest = QStringLiteral("org.freedesktop.portal.Request");

// The path of the Request object the portal makes for a call with `token`: known before the
// call, so that its Response cannot come before anyone listens.
QString portalRequestPath(const QString& uniqueName, const QString& token) {
    QString sender = uniqueName.startsWith(QLatin1Char(':')) ? uniqueName.mid(1) : uniqueName;
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return kPortalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

QString portalRefusal(uint code) {
    switch (code) {
    case 1:
        return QStringLiteral("the wallpaper was not set: the request was cancelled (response 1)");
    case 2:
        return QStringLiteral("the portal refused to set the wallpaper (response 2)");
    default:
        return QStringLiteral("the portal answered with the unknown response %1").arg(code);
    }
}

// An open descriptor of the file for the portal to read; closed with the object.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const QString& path)
        : FFd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC)) {
        if (FFd < 0)
            throw Exception(QStringLiteral("cannot open %1: %2")
                                .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    }
    ~ReadOnlyFile() { ::close(FFd); }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    int fd() const { return FFd; }

private:
    int FFd;
};

} // namespace

// Receives the Response of one portal request. The signal is delivered to this object's thread,
// which waits for it in an event loop of its own (the drawing thread has none otherwise).
class PortalResponse : public QObject {
    Q_OBJECT
public:
    explicit PortalResponse(const QDBusConnection& bus) : FBus(bus) {}
    ~PortalResponse() override {
        for (const QString& path : FPaths)
            FBus.disconnect(QString(), path, kPortalRequest, QStringLiteral("Response"), this,
                            SLOT(Received(QDBusMessage)));
    }
    void Listen(const QString& path) {
        if (FPaths.contains(path))
            return;
        FPaths << path;
        // The sender is left open: the portal answers from its own unique name.
        FBus.connect(QString(), path, kPortalRequest, QStringLiteral("Response"), this,
                     SLOT(Received(QDBusMessage)));
    }
    // The response code, or nothing when none came within the time.
    std::optional<uint> Wait(int timeoutMs) {
        if (!FCode) {
            QTimer::singleShot(timeoutMs, &FLoop, &QEventLoop::quit);
            FLoop.exec();
        }
        return FCode;
    }

private slots:
    void Received(const QDBusMessage& message) {
        if (FCode || !FPaths.contains(message.path()))
            return;
        FCode = message.arguments().value(0).toUInt();
        FLoop.quit();
    }

private:
    QDBusConnection FBus;
    QStringList FPaths;
    QEventLoop FLoop;
    std::optional<uint> FCode;
};

void setPortalWallpaper(const Context& context, const QString& path) {
    SessionBus session(context);
    QDBusConnection bus = session.connection();
    if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
        throw Exception(QStringLiteral("the session bus cannot pass file descriptors"));
    const ReadOnlyFile file(path);

    const QString token = QStringLiteral("tapestrix%1").arg(QRandomGenerator::global()->generate());
    PortalResponse response(bus);
    const QString expected = portalRequestPath(bus.baseService(), token);
    response.Listen(expected);

    QDBusMessage message = QDBusMessage::createMethodCall(
        kPortalService, kPortalPath, kPortalWallpaper, QStringLiteral("SetWallpaperFile"));
    const QVariantMap options{{QStringLiteral("handle_token"), token},
                              {QStringLiteral("show-preview"), false},
                              {QStringLiteral("set-on"), QStringLiteral("background")}};
    message.setArguments(
        {QString(), QVariant::fromValue(QDBusUnixFileDescriptor(file.fd())), options});
    const QDBusMessage reply = bus.call(message, QDBus::Block, context.timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        if (serviceMissing(reply))
            throw Exception(QStringLiteral("the desktop portal (%1) is not running on the "
                                           "session bus")
                                .arg(kPortalService));
        if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
            reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface"))
            throw Exception(QStringLiteral("the desktop portal offers no %1 interface (%2)")
                                .arg(kPortalWallpaper, describeError(reply)));
        throw Exception(
            QStringLiteral("%1.SetWallpaperFile: %2").arg(kPortalWallpaper, describeError(reply)));
    }
    // Portals before version 0.9 chose the request's path themselves.
    QString handle = qvariant_cast<QDBusObjectPath>(reply.arguments().value(0)).path();
    if (handle.isEmpty())
        handle = expected;
    response.Listen(handle);

    const std::optional<uint> code = response.Wait(context.portalResponseTimeoutMs);
    if (!code) {
        bus.call(QDBusMessage::createMethodCall(kPortalService, handle, kPortalRequest,
                                                QStringLiteral("Close")),
                 QDBus::Block, context.timeoutMs);
        throw Exception(QStringLiteral("the desktop portal did not answer within %1 seconds")
                            .arg(context.portalResponseTimeoutMs / 1000.0));
    }
    if (*code != 0)
        throw Exception(portalRefusal(*code));
}

void setKdeWallpaper(const Context& context, const QString& path) {
    SessionBus bus(context);
    callMethod(context, bus.connection(), QStringLiteral("org.kde.plasmashell"),
               QStringLiteral("/PlasmaShell"), QStringLiteral("org.kde.PlasmaShell"),
               QStringLiteral("evaluateScript"), {plasmaWallpaperScript(fileUri(path))},
               QStringLiteral("plasmashell's evaluateScript"));
}

void setKdeWallpapers(const Context& context, const TWallpaperFiles& files) {
    SessionBus bus(context);
    callMethod(context, bus.connection(), QStringLiteral("org.kde.plasmashell"),
               QStringLiteral("/PlasmaShell"), QStringLiteral("org.kde.PlasmaShell"),
               QStringLiteral("evaluateScript"), {plasmaMonitorsScript(files)},
               QStringLiteral("plasmashell's evaluateScript"));
}

namespace {

// Gives every workspace's last-image of each monitor the file `pathOf` names for that monitor's
// name (xfdesktop names them after the outputs: monitorHDMI-1), centred. An output of `outputs`
// without entries gets that of workspace 0: every such output with `everyOutput`, else only
// when the channel has no entries at all.
void setXfce(const Context& context, const QStringList& outputs, bool everyOutput,
             const std::function<QString(const QString& monitor)>& pathOf) {
    SessionBus bus(context);
    static const QRegularExpression lastImage(
        QStringLiteral("^/backdrop/screen0/monitor([^/]+)/workspace[0-9]+/last-image$"));
    QStringList properties;
    const QVariantMap existing =
        xfconfProperties(context, bus.connection(), QStringLiteral("/backdrop"));
    QStringList monitorsSeen;
    for (auto it = existing.cbegin(); it != existing.cend(); ++it) {
        const QRegularExpressionMatch match = lastImage.match(it.key());
        if (match.hasMatch()) {
            properties << it.key();
            monitorsSeen << match.captured(1);
        }
    }
    // A desktop that never had a wallpaper chosen, or a monitor new to it: an entry per output,
    // named as xfdesktop names them.
    for (const QString& output : outputs)
        if ((everyOutput || monitorsSeen.isEmpty()) && !monitorsSeen.contains(output))
            properties
                << QStringLiteral("/backdrop/screen0/monitor%1/workspace0/last-image").arg(output);
    const auto monitorOf = [](const QString& property) {
        return lastImage.match(property).captured(1);
    };
    for (const QString& property : properties) {
        const QString folder = property.left(property.lastIndexOf(QLatin1Char('/')));
        xfconfSet(context, bus.connection(), folder + QStringLiteral("/image-style"),
                  QVariant(kXfceImageStyleCentred));
        xfconfSet(context, bus.connection(), property, QVariant(pathOf(monitorOf(property))));
    }
    for (const QString& property : properties) {
        const QString path = pathOf(monitorOf(property));
        const QVariant value = xfconfGet(context, bus.connection(), property);
        if (value.toString() != path)
            throw Exception(QStringLiteral("xfconf did not keep %1 (it reads '%2')")
                                .arg(property, value.toString()));
    }
}

} // namespace

void setXfceWallpaper(const Context& context, const QString& path) {
    QStringList outputs = context.connectedOutputs();
    if (outputs.isEmpty())
        outputs << QStringLiteral("0");
    setXfce(context, outputs, false, [&path](const QString&) { return path; });
}

void setXfceWallpapers(const Context& context, const TWallpaperFiles& files) {
    QStringList outputs;
    for (const TMonitorFile& monitor : files.Monitors)
        outputs << monitor.Monitor.Name;
    setXfce(context, outputs, true, [&files](const QString& name) {
        for (const TMonitorFile& monitor : files.Monitors)
            if (monitor.Monitor.Name == name)
                return monitor.Path;
        return files.Primary; // an entry of a monitor not connected now, or a numbered one
    });
}

namespace {

// Each output's picture through the Appearance service (under its name since Deepin 23, or the
// older one); without outputs, the one picture of every monitor.
void setDeepin(const Context& context, const QString& path,
               const std::vector<std::pair<QString, QString>>& outputFiles) {
    SessionBus bus(context);
    struct Service {
        const char* name;
        const char* path;
    };
    // The service's name since Deepin 23, then the older one.
    constexpr Service kServices[] = {
        {"org.deepin.dde.Appearance1", "/org/deepin/dde/Appearance1"},
        {"com.deepin.daemon.Appearance", "/com/deepin/daemon/Appearance"},
    };
    QStringList failures;
    for (const Service& service : kServices) {
        const QString name = QLatin1String(service.name);
        try {
            if (outputFiles.empty()) {
                callMethod(context, bus.connection(), name, QLatin1String(service.path), name,
                           QStringLiteral("Set"), {QStringLiteral("background"), fileUri(path)},
                           name + QStringLiteral(".Set"));
            } else {
                for (const auto& [output, file] : outputFiles)
                    callMethod(context, bus.connection(), name, QLatin1String(service.path), name,
                               QStringLiteral("SetMonitorBackground"), {output, fileUri(file)},
                               name + QStringLiteral(".SetMonitorBackground(") + output +
                                   QLatin1Char(')'));
            }
            return;
        } catch (const Exception& e) {
            failures << e.Message();
        }
    }
    throw Exception(failures.join(QStringLiteral("; ")));
}

} // namespace

void setDeepinWallpaper(const Context& context, const QString& path) {
    std::vector<std::pair<QString, QString>> outputFiles;
    for (const QString& output : context.connectedOutputs())
        outputFiles.emplace_back(output, path);
    setDeepin(context, path, outputFiles);
}

void setDeepinWallpapers(const Context& context, const TWallpaperFiles& files) {
    std::vector<std::pair<QString, QString>> outputFiles;
    for (const TMonitorFile& monitor : files.Monitors)
        outputFiles.emplace_back(monitor.Monitor.Name, monitor.Path);
    setDeepin(context, files.Primary, outputFiles);
}

} // namespace wallpaper

#include "WallpaperDBus.moc"
