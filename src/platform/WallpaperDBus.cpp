// The desktops reached over the session bus: KDE Plasma, XFCE (xfconf) and Deepin.
#include "platform/WallpaperBackends.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QRegularExpression>
#include <QVariantMap>

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

} // namespace

void setKdeWallpaper(const Context& context, const QString& path) {
    SessionBus bus(context);
    callMethod(context, bus.connection(), QStringLiteral("org.kde.plasmashell"),
               QStringLiteral("/PlasmaShell"), QStringLiteral("org.kde.PlasmaShell"),
               QStringLiteral("evaluateScript"), {plasmaWallpaperScript(fileUri(path))},
               QStringLiteral("plasmashell's evaluateScript"));
}

void setXfceWallpaper(const Context& context, const QString& path) {
    SessionBus bus(context);
    static const QRegularExpression lastImage(
        QStringLiteral("^/backdrop/screen0/monitor[^/]+/workspace[0-9]+/last-image$"));
    QStringList properties;
    const QVariantMap existing =
        xfconfProperties(context, bus.connection(), QStringLiteral("/backdrop"));
    for (auto it = existing.cbegin(); it != existing.cend(); ++it)
        if (lastImage.match(it.key()).hasMatch())
            properties << it.key();
    if (properties.isEmpty()) {
        // A desktop that never had a wallpaper chosen: one entry per connected output, named
        // as xfdesktop names them.
        QStringList outputs = context.connectedOutputs();
        if (outputs.isEmpty())
            outputs << QStringLiteral("0");
        for (const QString& output : outputs)
            properties
                << QStringLiteral("/backdrop/screen0/monitor%1/workspace0/last-image").arg(output);
    }
    for (const QString& property : properties) {
        const QString folder = property.left(property.lastIndexOf(QLatin1Char('/')));
        xfconfSet(context, bus.connection(), folder + QStringLiteral("/image-style"),
                  QVariant(kXfceImageStyleCentred));
        xfconfSet(context, bus.connection(), property, QVariant(path));
    }
    for (const QString& property : properties) {
        const QVariant value = xfconfGet(context, bus.connection(), property);
        if (value.toString() != path)
            throw Exception(QStringLiteral("xfconf did not keep %1 (it reads '%2')")
                                .arg(property, value.toString()));
    }
}

void setDeepinWallpaper(const Context& context, const QString& path) {
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
    const QString uri = fileUri(path);
    const QStringList outputs = context.connectedOutputs();
    QStringList failures;
    for (const Service& service : kServices) {
        const QString name = QLatin1String(service.name);
        try {
            if (outputs.isEmpty()) {
                callMethod(context, bus.connection(), name, QLatin1String(service.path), name,
                           QStringLiteral("Set"), {QStringLiteral("background"), uri},
                           name + QStringLiteral(".Set"));
            } else {
                for (const QString& output : outputs)
                    callMethod(context, bus.connection(), name, QLatin1String(service.path), name,
                               QStringLiteral("SetMonitorBackground"), {output, uri},
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

} // namespace wallpaper
