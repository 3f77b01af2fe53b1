#include "platform/LinuxDesktopWallpaper.h"

#include "platform/DesktopDetect.h"
#include "platform/UserFolders.h"
#include "toolkit/SysUtils.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <unistd.h>

namespace wallpaper {

Backend defaultBackend(Desktop desktop) {
    switch (desktop) {
    case Desktop::Gnome:
        return setGnomeWallpaper;
    case Desktop::Cinnamon:
        return setCinnamonWallpaper;
    case Desktop::Mate:
        return setMateWallpaper;
    case Desktop::Kde:
        return setKdeWallpaper;
    case Desktop::Xfce:
        return setXfceWallpaper;
    case Desktop::Lxqt:
        return setLxqtWallpaper;
    case Desktop::Lxde:
        return setLxdeWallpaper;
    case Desktop::Sway:
        return setSwayWallpaper;
    case Desktop::Hyprland:
        return setHyprlandWallpaper;
    case Desktop::Wlroots:
        return setWlrootsWallpaper;
    case Desktop::Deepin:
        return setDeepinWallpaper;
    case Desktop::X11Root:
        return setX11RootWallpaper;
    case Desktop::Portal:
        return setPortalWallpaper;
    }
    return {};
}

MonitorsBackend defaultMonitorsBackend(Desktop desktop) {
    switch (desktop) {
    case Desktop::Gnome:
        return setGnomeWallpapers;
    case Desktop::Cinnamon:
        return setCinnamonWallpapers;
    case Desktop::Mate:
        return setMateWallpapers;
    case Desktop::Kde:
        return setKdeWallpapers;
    case Desktop::Xfce:
        return setXfceWallpapers;
    case Desktop::Lxde:
        return setLxdeWallpapers;
    case Desktop::Sway:
        return setSwayWallpapers;
    case Desktop::Hyprland:
        return setHyprlandWallpapers;
    case Desktop::Wlroots:
        return setWlrootsWallpapers;
    case Desktop::Deepin:
        return setDeepinWallpapers;
    case Desktop::X11Root:
        return setX11RootWallpapers;
    case Desktop::Lxqt:   // one picture, drawn on every screen
    case Desktop::Portal: // one picture; the portal's desktop decides
        break;
    }
    const Backend single = defaultBackend(desktop);
    if (!single)
        return {};
    return [single](const Context& context, const TWallpaperFiles& files) {
        single(context, files.Primary);
    };
}

std::pair<QString, QString> alternateNames(const QString& path) {
    const QFileInfo info(path);
    const QString stem = info.path() + QLatin1Char('/') + info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    return {stem + QStringLiteral("-1") + suffix, stem + QStringLiteral("-2") + suffix};
}

namespace {

// A second name for the file's contents: a hard link, renamed into place. The wallpaper file is
// only ever replaced (a new file renamed over it), never written in place, so the link keeps the
// contents it was made with. False where the file system has no hard links.
bool linkInPlace(const QString& path, const QString& target) {
    const QByteArray from = QFile::encodeName(path);
    const QByteArray to = QFile::encodeName(target);
    const QByteArray temporary = to + ".link-" + QByteArray::number(qint64(::getpid()));
    ::unlink(temporary.constData());
    if (::link(from.constData(), temporary.constData()) != 0)
        return false;
    if (::rename(temporary.constData(), to.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

bool copyInPlace(const QString& path, const QString& target) {
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    QSaveFile copy(target);
    if (!copy.open(QIODevice::WriteOnly))
        return false;
    while (!source.atEnd()) {
        const QByteArray block = source.read(1 << 20);
        if (block.isEmpty() || !WriteAll(copy, block.constData(), block.size())) {
            copy.cancelWriting();
            break;
        }
    }
    return copy.commit();
}

} // namespace

QString prepareAlternate(const QString& path) {
    const auto [first, second] = alternateNames(path);
    const QFileInfo firstInfo(first);
    const QFileInfo secondInfo(second);
    QString target = first;
    if (firstInfo.exists() &&
        (!secondInfo.exists() || secondInfo.lastModified() <= firstInfo.lastModified()))
        target = second;

    // Made under a temporary name and renamed, so the desktop never reads half a file; a symbolic
    // link at the name is replaced, never written through.
    removeSymbolicLink(target);
    if (!linkInPlace(path, target) && !copyInPlace(path, target))
        return path;
    // The copy is the newer of the two even where file times are coarse.
    QFile touched(target);
    if (touched.open(QIODevice::ReadWrite))
        touched.setFileTime(QDateTime::currentDateTimeUtc(), QFileDevice::FileModificationTime);
    return target;
}

void removeOtherAlternate(const QString& path, const QString& inUse) {
    const auto [first, second] = alternateNames(path);
    if (inUse == first)
        QFile::remove(second);
    else if (inUse == second)
        QFile::remove(first);
}

LinuxDesktopWallpaper::LinuxDesktopWallpaper()
    : FLiveEnvironment(true), FBackends(defaultBackend), FMonitorsBackends(defaultMonitorsBackend) {
}

LinuxDesktopWallpaper::LinuxDesktopWallpaper(
    Context context, std::function<Backend(Desktop)> backends,
    std::function<MonitorsBackend(Desktop)> monitorsBackends)
    : FContext(std::move(context)), FLiveEnvironment(false), FBackends(std::move(backends)),
      FMonitorsBackends(std::move(monitorsBackends)) {}

void LinuxDesktopWallpaper::setDesktopWallpaper(const QString& path) {
    Apply({path}, [this](const Context& context, Desktop desktop, const QStringList& handed) {
        const Backend backend = FBackends(desktop);
        if (!backend)
            throw Exception(QStringLiteral("not supported"));
        backend(context, handed.front());
    });
}

void LinuxDesktopWallpaper::setDesktopWallpapers(const TWallpaperFiles& files) {
    if (files.Monitors.size() <= 1) {
        setDesktopWallpaper(files.Primary);
        return;
    }
    // The files in a list: the primary, the desktop-wide one, then the monitors'.
    QStringList paths{files.Primary, files.Desktop};
    for (const TMonitorFile& monitor : files.Monitors)
        paths << monitor.Path;
    Apply(paths,
          [this, &files](const Context& context, Desktop desktop, const QStringList& handed) {
              const MonitorsBackend backend = FMonitorsBackends(desktop);
              if (!backend)
                  throw Exception(QStringLiteral("not supported"));
              TWallpaperFiles copies = files;
              copies.Primary = handed[0];
              copies.Desktop = handed[1];
              for (size_t i = 0; i < copies.Monitors.size(); ++i)
                  copies.Monitors[i].Path = handed[qsizetype(i) + 2];
              backend(context, copies);
          });
}

void LinuxDesktopWallpaper::Apply(
    const QStringList& paths,
    const std::function<void(const Context&, Desktop, const QStringList&)>& run) {
    std::lock_guard<std::mutex> lock(FMutex);
    Context context = FContext;
    if (FLiveEnvironment)
        context.env = QProcessEnvironment::systemEnvironment();
    const QString session = describeSession(context.env);
    auto fail = [&session](const QString& what) {
        throw Exception(
            QStringLiteral("Cannot set the desktop wallpaper on %1: %2").arg(session, what));
    };

    const std::vector<Desktop> desktops =
        detectDesktops(context.env, QFileInfo::exists(context.sandboxMarker));
    if (desktops.empty())
        fail(QStringLiteral("no supported desktop was found"));
    QStringList absolute;
    for (const QString& path : paths) {
        absolute << QFileInfo(path).absoluteFilePath();
        if (!QFileInfo(absolute.back()).isFile())
            fail(QStringLiteral("the image file %1 does not exist").arg(absolute.back()));
    }

    // A file named twice (the primary monitor's) is handed under one name.
    QStringList handed;
    for (const QString& path : absolute) {
        const qsizetype earlier = absolute.indexOf(path);
        handed << (earlier < handed.size() ? handed[earlier] : prepareAlternate(path));
    }
    QStringList failures;
    for (Desktop desktop : desktops) {
        try {
            run(context, desktop, handed);
            for (qsizetype i = 0; i < absolute.size(); ++i)
                removeOtherAlternate(absolute[i], handed[i]);
            return;
        } catch (const Exception& e) {
            failures << desktopName(desktop) + QStringLiteral(": ") + e.Message();
        } catch (const std::exception& e) {
            failures << desktopName(desktop) + QStringLiteral(": ") +
                            QString::fromLocal8Bit(e.what());
        }
    }
    // The desktop still shows the previous copies; the new ones are not needed.
    for (qsizetype i = 0; i < absolute.size(); ++i)
        if (handed[i] != absolute[i])
            QFile::remove(handed[i]);
    fail(failures.join(QStringLiteral("; ")));
}

} // namespace wallpaper

std::shared_ptr<IDesktopWallpaper> createPlatformDesktopWallpaper() {
    return std::make_shared<wallpaper::LinuxDesktopWallpaper>();
}
