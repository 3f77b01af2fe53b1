// The desktops whose only interface is a command-line tool: LXQt and LXDE (their file managers
// draw the desktop), sway, Hyprland (hyprpaper) and other layer-shell compositors (swaybg).
#include "platform/WallpaperBackends.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QSettings>
#include <QThread>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace wallpaper {

namespace {

// The configuration profile of the pcmanfm-qt that draws the desktop of the session in `env`
// (found by its display among this user's processes); LXQt's own, "lxqt", when none runs.
QString lxqtDesktopProfile(const QProcessEnvironment& env) {
    const QString display = env.value(QStringLiteral("DISPLAY"));
    const QString wayland = env.value(QStringLiteral("WAYLAND_DISPLAY"));
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& pid : pids) {
        const QString proc = QStringLiteral("/proc/") + pid;
        QFile comm(proc + QStringLiteral("/comm"));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "pcmanfm-qt" ||
            QFileInfo(proc).ownerId() != ::getuid())
            continue;
        QFile environ(proc + QStringLiteral("/environ"));
        QFile cmdline(proc + QStringLiteral("/cmdline"));
        if (!environ.open(QIODevice::ReadOnly) || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> variables = environ.readAll().split('\0');
        const bool sameSession =
            (!display.isEmpty() && variables.contains("DISPLAY=" + display.toLocal8Bit())) ||
            (!wayland.isEmpty() && variables.contains("WAYLAND_DISPLAY=" + wayland.toLocal8Bit()));
        const QList<QByteArray> arguments = cmdline.readAll().split('\0');
        if (!sameSession || !arguments.contains("--desktop"))
            continue;
        QString profile = QStringLiteral("default"); // pcmanfm-qt's own default
        for (qsizetype i = 1; i < arguments.size(); ++i) {
            if (arguments[i].startsWith("--profile="))
                profile = QString::fromLocal8Bit(arguments[i].mid(10));
            else if ((arguments[i] == "--profile" || arguments[i] == "-p") &&
                     i + 1 < arguments.size())
                profile = QString::fromLocal8Bit(arguments[++i]);
        }
        return profile;
    }
    return QStringLiteral("lxqt");
}

} // namespace

QString lxqtSettingsFile(const QProcessEnvironment& env) {
    QString config = env.value(QStringLiteral("XDG_CONFIG_HOME"));
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = env.value(QStringLiteral("HOME")) + QStringLiteral("/.config");
    return config + QStringLiteral("/pcmanfm-qt/") + lxqtDesktopProfile(env) +
           QStringLiteral("/settings.conf");
}

void setLxqtWallpaper(const Context& context, const QString& path) {
    runToolChecked(context, QStringLiteral("pcmanfm-qt"),
                   {QStringLiteral("--set-wallpaper"), path, QStringLiteral("--wallpaper-mode"),
                    QStringLiteral("center")});
    // pcmanfm-qt draws the new mode but saves only the file, so the desktop's next start would
    // go back to its saved mode (for instance "none", colour only): the mode is saved here, in
    // pcmanfm-qt's own settings file. A pcmanfm-qt that ends normally writes the mode it started
    // with over it again; one that starts later, or ends without saving, keeps the centred one.
    // The wallpaper is set either way, so a file that cannot be written is no failure.
    QSettings settings(lxqtSettingsFile(context.env), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Desktop"));
    settings.setValue(QStringLiteral("Wallpaper"), path);
    settings.setValue(QStringLiteral("WallpaperMode"), QStringLiteral("center"));
    settings.endGroup();
    settings.sync();
}

void setLxdeWallpaper(const Context& context, const QString& path) {
    runToolChecked(
        context, QStringLiteral("pcmanfm"),
        {QStringLiteral("--set-wallpaper=") + path, QStringLiteral("--wallpaper-mode=center")});
}

void setLxdeWallpapers(const Context& context, const TWallpaperFiles& files) {
    // pcmanfm keeps one picture for every screen; its "screen" mode stretches it across all.
    runToolChecked(context, QStringLiteral("pcmanfm"),
                   {QStringLiteral("--set-wallpaper=") + files.Desktop,
                    QStringLiteral("--wallpaper-mode=screen")});
}

void setSwayWallpapers(const Context& context, const TWallpaperFiles& files) {
    for (const TMonitorFile& monitor : files.Monitors)
        runToolChecked(context, QStringLiteral("swaymsg"),
                       {QStringLiteral("output"), swayQuote(monitor.Monitor.Name),
                        QStringLiteral("bg"), swayQuote(monitor.Path), QStringLiteral("center")});
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

namespace {

// The files preloaded, then each monitor's shown (`shown` is asked after the preloads); an
// empty monitor name stands for every monitor.
void setHyprpaper(const Context& context, const QStringList& files,
                  const std::function<std::vector<std::pair<QString, QString>>()>& shown) {
    for (const QString& path : files)
        hyprpaperRequest(context, {QStringLiteral("hyprpaper"), QStringLiteral("preload"), path});
    for (const auto& [monitor, path] : shown())
        hyprpaperRequest(context, {QStringLiteral("hyprpaper"), QStringLiteral("wallpaper"),
                                   monitor + QLatin1Char(',') + path});
    // Frees the previous images' memory in hyprpaper; the new wallpaper is set either way.
    try {
        hyprpaperRequest(context, {QStringLiteral("hyprpaper"), QStringLiteral("unload"),
                                   QStringLiteral("unused")});
    } catch (const Exception&) {
    }
}

} // namespace

void setHyprlandWallpaper(const Context& context, const QString& path) {
    setHyprpaper(context, {path}, [&] {
        QStringList monitors = hyprlandMonitors(context);
        if (monitors.isEmpty())
            monitors << QString();
        std::vector<std::pair<QString, QString>> shown;
        for (const QString& monitor : monitors)
            shown.emplace_back(monitor, path);
        return shown;
    });
}

void setHyprlandWallpapers(const Context& context, const TWallpaperFiles& files) {
    QStringList paths;
    std::vector<std::pair<QString, QString>> shown;
    for (const TMonitorFile& monitor : files.Monitors) {
        if (!paths.contains(monitor.Path))
            paths << monitor.Path;
        shown.emplace_back(monitor.Monitor.Name, monitor.Path);
    }
    setHyprpaper(context, paths, [&shown] { return shown; });
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

namespace {

// Starts a swaybg with `arguments` in place of the one started before.
void runSwaybg(const Context& context, const QStringList& arguments) {
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
    process.setArguments(arguments);
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

} // namespace

void setWlrootsWallpaper(const Context& context, const QString& path) {
    runSwaybg(context, {QStringLiteral("-o"), QStringLiteral("*"), QStringLiteral("-i"), path,
                        QStringLiteral("-m"), QStringLiteral("center")});
}

void setWlrootsWallpapers(const Context& context, const TWallpaperFiles& files) {
    // One swaybg draws every output; each -o starts the options of one output.
    QStringList arguments;
    for (const TMonitorFile& monitor : files.Monitors)
        arguments << QStringLiteral("-o") << monitor.Monitor.Name << QStringLiteral("-i")
                  << monitor.Path << QStringLiteral("-m") << QStringLiteral("center");
    runSwaybg(context, arguments);
}

} // namespace wallpaper
