#include "platform/Autostart.h"

#include "platform/UserFolders.h"
#include "toolkit/SysUtils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

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

namespace {

constexpr char kEntryGroup[] = "[Desktop Entry]";
// Larger files are no autostart entry of ours: they are read as empty.
constexpr qint64 kMaxEntryBytes = 1 << 20;

struct TKey {
    QByteArray Name;
    QByteArray Value;
};

// The keys of the entry's group that the program writes.
std::vector<TKey> ownedKeys(const QString& programPath) {
    return {
        {"Type", "Application"},
        {"Name", "Tapestrix"},
        {"Comment", "Changes the desktop wallpaper at logon"},
        {"Exec",
         desktopEntryExecValue({programPath, QString::fromLatin1(kAutostartArgument)}).toUtf8()},
        {"Icon", "tapestrix"},
        {"Terminal", "false"},
    };
}

// The keys with which desktops switch an entry off (their off value) without removing it.
const std::vector<TKey>& switchKeys() {
    static const std::vector<TKey> keys = {
        {"Hidden", "true"},
        {"X-GNOME-Autostart-enabled", "false"},
        {"X-MATE-Autostart-enabled", "false"},
    };
    return keys;
}

// "Key=Value" of a line in a group (blanks around either trimmed); false for anything else.
bool splitKeyLine(const QByteArray& line, QByteArray* key, QByteArray* value) {
    const QByteArray trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith('#') || trimmed.startsWith('['))
        return false;
    const qsizetype eq = trimmed.indexOf('=');
    if (eq <= 0)
        return false;
    *key = trimmed.left(eq).trimmed();
    *value = trimmed.mid(eq + 1).trimmed();
    return true;
}

bool isGroupHeader(const QByteArray& line) {
    return line.trimmed().startsWith('[');
}

QByteArray readEntry(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxEntryBytes)
        return QByteArray();
    return file.read(kMaxEntryBytes);
}

// `existing` with the entry group's owned keys set for `programPath` and any switch that turns
// the entry off turned on; every other line (other keys, translations, comments, other groups)
// stays as it was. Without an entry group, a new one comes first.
QByteArray mergeEntry(const QByteArray& existing, const QString& programPath) {
    const std::vector<TKey> owned = ownedKeys(programPath);
    std::vector<bool> written(owned.size(), false);
    QList<QByteArray> lines = existing.split('\n');
    if (existing.isEmpty() || existing.endsWith('\n'))
        lines.removeLast();
    QByteArray out;
    bool inGroup = false;
    bool sawGroup = false;
    qsizetype groupEnd = 0; // after the group's last line that is not blank
    const auto finishGroup = [&] {
        QByteArray missing;
        for (size_t i = 0; i < owned.size(); ++i)
            if (!written[i])
                missing += owned[i].Name + '=' + owned[i].Value + '\n';
        out.insert(groupEnd, missing);
        inGroup = false;
    };
    for (const QByteArray& line : lines) {
        if (isGroupHeader(line)) {
            if (inGroup)
                finishGroup();
            inGroup = !sawGroup && line.trimmed() == kEntryGroup;
            sawGroup = sawGroup || inGroup;
            out += line + '\n';
            groupEnd = out.size();
            continue;
        }
        QByteArray key, value;
        if (!inGroup || !splitKeyLine(line, &key, &value)) {
            out += line + '\n';
        } else if (const auto ownedKey = std::find_if(owned.begin(), owned.end(),
                                                      [&](const TKey& k) { return k.Name == key; });
                   ownedKey != owned.end()) {
            const size_t i = size_t(ownedKey - owned.begin());
            if (!written[i])
                out += key + '=' + ownedKey->Value + '\n';
            written[i] = true;
        } else if (const auto switchKey =
                       std::find_if(switchKeys().begin(), switchKeys().end(),
                                    [&](const TKey& k) { return k.Name == key; });
                   switchKey != switchKeys().end()) {
            out += key + '=' + (switchKey->Value == "true" ? "false" : "true") + '\n';
        } else {
            out += line + '\n';
        }
        if (inGroup && !line.trimmed().isEmpty())
            groupEnd = out.size();
    }
    if (inGroup)
        finishGroup();
    if (!sawGroup) {
        QByteArray group = QByteArray(kEntryGroup) + '\n';
        for (const TKey& key : owned)
            group += key.Name + '=' + key.Value + '\n';
        out = group + out;
    }
    return out;
}

} // namespace

QString autostartEntryText(const QString& programPath) {
    return QString::fromUtf8(mergeEntry(QByteArray(), programPath));
}

bool isAutostartEnabled() {
    const QString path = autostartEntryPath();
    if (path.isEmpty())
        return false;
    bool inEntryGroup = false;
    bool hasExec = false;
    bool switchedOff = false;
    for (const QByteArray& line : readEntry(path).split('\n')) {
        if (isGroupHeader(line)) {
            inEntryGroup = line.trimmed() == kEntryGroup;
            continue;
        }
        QByteArray key, value;
        if (!inEntryGroup || !splitKeyLine(line, &key, &value))
            continue;
        if (key == "Exec")
            hasExec = !value.isEmpty();
        for (const TKey& off : switchKeys())
            if (key == off.Name && value.toLower() == off.Value)
                switchedOff = true;
    }
    return hasExec && !switchedOff;
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
    const QByteArray text = mergeEntry(readEntry(path), programPath);
    // A symbolic link (an entry kept with the user's dotfiles) stays: the file it points to is
    // replaced.
    QSaveFile file(path);
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
