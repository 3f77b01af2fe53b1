#include "platform/UserFolders.h"

#include <QDir>
#include <QFileInfo>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

QString homeFolder() {
    QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty() && QDir::isAbsolutePath(home))
        return QDir::cleanPath(home);
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir)
        return QDir::cleanPath(QString::fromLocal8Bit(pw->pw_dir));
    return QString();
}

QString loginUserName() {
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
    return qEnvironmentVariable("USER");
}

QString applicationDataFolder() {
    QString dir = qEnvironmentVariable("XDG_DATA_HOME");
    if (dir.isEmpty() || !QDir::isAbsolutePath(dir)) {
        const QString home = homeFolder();
        if (home.isEmpty())
            return QString();
        dir = home + QStringLiteral("/.local/share");
    }
    dir = QDir::cleanPath(dir);
    if (!QFileInfo(dir).isDir()) {
        // Missing parents are created too; the data folder itself is private to the user.
        if (!QDir().mkpath(dir))
            return QString();
        ::chmod(QFile::encodeName(dir).constData(), 0700);
    }
    return QFileInfo(dir).isDir() && QFileInfo(dir).isWritable() ? dir : QString();
}

void removeSymbolicLink(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(name.constData());
}
