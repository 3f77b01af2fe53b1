#include "platform/Screen.h"

#include "toolkit/Classes.h"

#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>
#include <QStringList>

#include <cmath>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {
std::mutex gMutex;
std::function<QSize()> gProvider;

QSize QtPrimaryScreenSize() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app)
        return QSize();
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return QSize();
    const QSize logical = screen->size();
    const qreal ratio = screen->devicePixelRatio();
    return QSize(int(std::lround(logical.width() * ratio)),
                 int(std::lround(logical.height() * ratio)));
}
} // namespace

void setPrimaryScreenSizeProvider(std::function<QSize()> provider) {
    std::lock_guard<std::mutex> lock(gMutex);
    gProvider = std::move(provider);
}

QSize primaryScreenPixelSize() {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (gProvider)
            return gProvider();
    }
    QSize size;
    TThread::RunOnMainThread([&size] { size = QtPrimaryScreenSize(); });
    return size;
}

QByteArray platformPluginList(const QByteArray& fallback) {
    QByteArray list = qgetenv("QT_QPA_PLATFORM");
    if (list.isEmpty()) {
        const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
                             qgetenv("XDG_SESSION_TYPE") == "wayland";
        list = wayland ? "wayland;xcb" : "xcb";
    }
    if (!fallback.isEmpty())
        list += ';' + fallback;
    return list;
}

namespace {

struct TStartGuardState {
    QtMessageHandler Previous = nullptr;
    std::function<void(const QString&)> Report;
    QStringList Problems;
};
TStartGuardState* gGuard = nullptr;
QString gLastProblems;

QString displayOf(const QString& plugin) {
    const char* variable = plugin.startsWith(QLatin1String("wayland")) ? "WAYLAND_DISPLAY"
                           : plugin == QLatin1String("xcb")            ? "DISPLAY"
                                                                       : nullptr;
    if (!variable)
        return QString();
    const QString value = qEnvironmentVariable(variable);
    return value.isEmpty() ? QStringLiteral(" (%1 is not set)").arg(QLatin1String(variable))
                           : QStringLiteral(" (%1=%2)").arg(QLatin1String(variable), value);
}

void guardedMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    // Qt's notes on each plugin it tries in vain: "Could not find the Qt platform plugin "x" in
    // ..." (not installed) and "Could not load the Qt platform plugin "x" in ... even though it
    // was found." (it could not start, mostly for want of its display).
    static const QRegularExpression pluginNote(
        QStringLiteral("Could not (find|load) the Qt platform plugin \"([^\"]*)\""));
    if (const QRegularExpressionMatch note = pluginNote.match(text); note.hasMatch()) {
        const QString plugin = note.captured(2);
        QString problem = plugin + QStringLiteral(": ");
        if (note.captured(1) == QLatin1String("find")) {
            problem += QStringLiteral("the plugin is not installed");
            if (plugin.startsWith(QLatin1String("wayland")))
                problem += QStringLiteral(" (Debian package qt6-wayland)");
        } else {
            problem += QStringLiteral("cannot reach the display") + displayOf(plugin);
        }
        gGuard->Problems << problem;
        gLastProblems = gGuard->Problems.join(QStringLiteral("; "));
    }
    if (type == QtFatalMsg && text.contains(QLatin1String("platform plugin"))) {
        gGuard->Report(gLastProblems.isEmpty() ? text.trimmed() : gLastProblems);
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(1);
    }
    if (gGuard->Previous)
        gGuard->Previous(type, context, text);
}

} // namespace

TPlatformStartGuard::TPlatformStartGuard(std::function<void(const QString&)> report) {
    gGuard = new TStartGuardState;
    gGuard->Report = std::move(report);
    gLastProblems.clear();
    gGuard->Previous = qInstallMessageHandler(guardedMessage);
}

TPlatformStartGuard::~TPlatformStartGuard() {
    qInstallMessageHandler(gGuard->Previous);
    delete gGuard;
    gGuard = nullptr;
}

QString platformStartProblems() {
    return gLastProblems;
}
