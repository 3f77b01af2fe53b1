// The desktops whose only interface is a command-line tool: LXQt and LXDE (their file managers
// draw the desktop), sway, Hyprland (hyprpaper) and other layer-shell compositors (swaybg).
#include "platform/WallpaperBackends.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <sys/types.h>

namespace wallpaper {

void setLxqtWallpaper(const Context& context, const QString& path) {
    runToolChecked(context, QStringLiteral("pcmanfm-qt"),
                   {QStringLiteral("--set-wallpaper"), path, QStringLiteral("--wallpaper-mode"),
                    QStringLiteral("center")});
}

void setLxdeWallpaper(const Context& context, const QString& path) {
    runToolChecked(
        context, QStringLiteral("pcmanfm"),
        {QStringLiteral("--set-wallpaper=") + path, QStringLiteral("--wallpaper-mode=center")});
}

void setSwayWallpaper(const Context& context, const QString& path) {
    // swaymsg joins its arguments into one command line that sway splits again: the path is
    // quoted so that spaces in it survive.
    runToolChecked(context, QStringLiteral("swaymsg"),
                   {QStringLiteral("output"), QStringLiteral("*"), QStringLiteral("bg"),
                    swayQuote(path), QStringLiteral("center")});
}

namespace {

// hyprctl exits 0 even when hyprpaper refuses; its answer says "ok" on success.
void hyprpaperRequest(const Context& context, const QStringList& arguments) {
    const ToolResult result = runToolChecked(context, QStringLiteral("hyprctl"), arguments);
    const QString answer = QString::fromUtf8(result.out).trimmed();
    if (!answer.startsWith(QLatin1String("ok"), Qt::CaseInsensitive))
        throw Exception(QStringLiteral("hyprctl %1 was refused: %2")
                            .arg(arguments.join(QLatin1Char(' ')),
                                 answer.isEmpty() ? QStringLiteral("no answer") : answer));
}

QStringList hyprlandMonitors(const Context& context) {
    QStringList names;
    try {
        const ToolResult result = runToolChecked(
            context, QStringLiteral("hyprctl"), {QStringLiteral("-j"), QStringLiteral("monitors")});
        const QJsonArray monitors = QJsonDocument::fromJson(result.out).array();
        for (const QJsonValue& monitor : monitors) {
            const QString name = monitor.toObject().value(QStringLiteral("name")).toString();
            if (!name.isEmpty())
                names << name;
        }
    } catch (const Exception&) {
        // Without the list, hyprpaper's empty monitor name stands for every monitor.
    }
    return names;
}

} // namespace

void setHyprlandWallpaper(const Context& context, const QString& path) {
    hyprpaperRequest(context, {QStringLiteral("hyprpaper"), QStringLiteral("preload"), path});
    QStringList monitors = hyprlandMonitors(context);
    if (monitors.isEmpty())
        monitors << QString();
    for (const QString& monitor : monitors)
        hyprpaperRequest(context, {QStringLiteral("hyprpaper"), QStringLiteral("wallpaper"),
                                   monitor + QLatin1Char(',') + path});
    // Frees the previous image's memory in hyprpaper; the new wallpaper is set either way.
    try {
        hyprpaperRequest(context, {QStringLiteral("hyprpaper"), QStringLiteral("unload"),
                                   QStringLiteral("unused")});
    } catch (const Exception&) {
    }
}

namespace {

// Remembers the swaybg this program started, across calls and across runs (a file in the
// session's runtime folder), so that the next change ends it.
QString swaybgPidFile(const Context& context) {
    const QString runtime = context.env.value(QStringLiteral("XDG_RUNTIME_DIR"));
    return runtime.isEmpty() ? QString() : runtime + QStringLiteral("/tapestrix-swaybg.pid");
}

bool isSwaybg(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return pid > 0 && comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "swaybg";
}

// Running and not a zombie (a detached process is reaped by whoever adopted it, maybe late).
bool isAlive(qint64 pid) {
    if (pid <= 0 || ::kill(pid_t(pid), 0) != 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 || close + 2 >= text.size() || text.at(close + 2) != 'Z';
}

} // namespace

void setWlrootsWallpaper(const Context& context, const QString& path) {
    static QMutex mutex;
    static qint64 lastPid = 0;
    QMutexLocker lock(&mutex);

    const QString program = findTool(context, QStringLiteral("swaybg"));
    if (program.isEmpty())
        throw Exception(QStringLiteral("swaybg is not installed (not found on PATH)"));
    const QString pidFile = swaybgPidFile(context);
    qint64 previous = lastPid;
    if (!pidFile.isEmpty()) {
        QFile file(pidFile);
        if (file.open(QIODevice::ReadOnly))
            previous = file.readAll().trimmed().toLongLong();
    }

    // swaybg draws for as long as it runs, so it must outlive this call and this program.
    QProcess process;
    process.setProcessEnvironment(context.env);
    process.setProgram(program);
    process.setArguments({QStringLiteral("-o"), QStringLiteral("*"), QStringLiteral("-i"), path,
                          QStringLiteral("-m"), QStringLiteral("center")});
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        throw Exception(QStringLiteral("swaybg could not be started"));
    // One that cannot reach the compositor ends at once; give it a moment to show that.
    for (int waited = 0; waited < 300 && isAlive(pid); waited += 50)
        QThread::msleep(50);
    if (!isAlive(pid))
        throw Exception(QStringLiteral("swaybg ended at once (does the compositor support the "
                                       "layer-shell protocol?)"));

    if (previous != pid && isSwaybg(previous))
        ::kill(pid_t(previous), SIGTERM);
    lastPid = pid;
    if (!pidFile.isEmpty()) {
        QFile file(pidFile);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(QByteArray::number(pid) + '\n');
    }
}

} // namespace wallpaper
