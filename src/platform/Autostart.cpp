#include "platform/Autostart.h"

#include "platform/UserFolders.h"
#include "toolkit/SysUtils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>

namespace {

QString configHome() {
    const QString dir = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!dir.isEmpty() && QDir::isAbsolutePath(dir))
        return QDir::cleanPath(dir);
    const QString home = homeFolder();
    return home.isEmpty() ? QString() : home + QStringLiteral("/.config");
}

// Characters that make an Exec argument need quotes.
bool isReserved(QChar c) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    return reserved.contains(c) || c.unicode() < 0x20 || c.unicode() == 0x7F;
}

QString quoteArgument(const QString& argument) {
    QString out;
    bool quoted = argument.isEmpty();
    for (const QChar c : argument) {
        if (isReserved(c))
            quoted = true;
    }
    if (quoted)
        out += QLatin1Char('"');
    for (const QChar c : argument) {
        if (quoted && (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                       c == QLatin1Char('\\')))
            out += QLatin1Char('\\');
        out += c;
        // A literal percent sign is doubled so that it is not read as a field code.
        if (c == QLatin1Char('%'))
            out += QLatin1Char('%');
    }
    if (quoted)
        out += QLatin1Char('"');
    return out;
}

// The string escapes of a desktop file value, applied on top of the Exec quoting.
QString escapeStringValue(const QString& value) {
    QString out;
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\':
            out += QStringLiteral("\\\\");
            break;
        case '\n':
            out += QStringLiteral("\\n");
            break;
        case '\t':
            out += QStringLiteral("\\t");
            break;
        case '\r':
            out += QStringLiteral("\\r");
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

QString autostartEntryPath() {
    const QString config = configHome();
    return config.isEmpty() ? QString() : config + QStringLiteral("/autostart/tapestrix.desktop");
}

QString currentProgramPath() {
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString desktopEntryExecValue(const QStringList& arguments) {
    QStringList quoted;
    for (const QString& argument : arguments)
        quoted << quoteArgument(argument);
    return escapeStringValue(quoted.join(QLatin1Char(' ')));
}

QString autostartEntryText(const QString& programPath) {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Tapestrix\n"
                          "Comment=Changes the desktop wallpaper at logon\n"
                          "Exec=%1\n"
                          "Icon=tapestrix\n"
                          "Terminal=false\n")
        .arg(desktopEntryExecValue({programPath, QString::fromLatin1(kAutostartArgument)}));
}

bool isAutostartEnabled() {
    const QString path = autostartEntryPath();
    if (path.isEmpty())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool inEntryGroup = false;
    bool hasExec = false;
    bool hidden = false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (QByteArray line : lines) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inEntryGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntryGroup)
            continue;
        const int eq = line.indexOf('=');
        if (eq < 0)
            continue;
        const QByteArray key = line.left(eq).trimmed();
        const QByteArray value = line.mid(eq + 1).trimmed();
        if (key == "Exec")
            hasExec = !value.isEmpty();
        else if (key == "Hidden")
            hidden = value == "true";
    }
    return hasExec && !hidden;
}

void writeAutostartEntry(const QString& programPath) {
    const QString path = autostartEntryPath();
    if (path.isEmpty())
        throw Exception(
            QStringLiteral("Cannot write the autostart entry: no home folder is known"));
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir))
        throw Exception(QStringLiteral("Cannot write the autostart entry %1: the folder %2 cannot "
                                       "be created")
                            .arg(path, dir));
    QSaveFile file(path);
    const QByteArray text = autostartEntryText(programPath).toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        throw Exception(QStringLiteral("Cannot write the autostart entry %1: %2")
                            .arg(path, file.errorString()));
}

void removeAutostartEntry() {
    const QString path = autostartEntryPath();
    if (path.isEmpty())
        return;
    const QByteArray name = QFile::encodeName(path);
    if (::remove(name.constData()) == 0 || errno == ENOENT || errno == ENOTDIR)
        return;
    const int error = errno;
    throw Exception(QStringLiteral("Cannot remove the autostart entry %1: %2")
                        .arg(path, SysErrorMessage(error)));
}
