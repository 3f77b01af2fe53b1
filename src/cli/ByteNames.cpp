#include "cli/ByteNames.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

bool isText(const QByteArray& name) {
    return QFile::encodeName(QFile::decodeName(name)) == name;
}

QByteArray absoluteName(const QByteArray& name) {
    if (name.startsWith('/'))
        return name;
    char* cwd = ::getcwd(nullptr, 0);
    const QByteArray absolute = QByteArray(cwd ? cwd : ".") + '/' + name;
    std::free(cwd);
    return absolute;
}

} // namespace

QStringList TByteNames::Arguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        const bool takesName = arg == "--foreground" || arg == "--background" || arg == "--output";
        if (takesName && i + 1 < argc) {
            const QByteArray name(argv[++i]);
            arguments << QString::fromLatin1(arg)
                      << (arg == "--output" ? Output(name) : Input(name));
            continue;
        }
        const qsizetype eq = arg.indexOf('=');
        const QByteArray option = arg.left(eq);
        if (eq > 0 &&
            (option == "--foreground" || option == "--background" || option == "--output")) {
            const QByteArray name = arg.mid(eq + 1);
            arguments << QString::fromLatin1(option) + QLatin1Char('=') +
                             (option == "--output" ? Output(name) : Input(name));
            continue;
        }
        arguments << QString::fromLocal8Bit(arg);
    }
    return arguments;
}

QString TByteNames::Link(const QByteArray& target, const QString& name) {
    if (!FDir)
        FDir = std::make_unique<QTemporaryDir>();
    const QString link = FDir->path() + QStringLiteral("/%1-%2").arg(FLinks.size()).arg(name);
    // A link that cannot be made leaves a name that cannot be opened, reported as such later.
    if (!FDir->isValid() || ::symlink(target.constData(), QFile::encodeName(link).constData()) != 0)
        return QFile::decodeName(target);
    FLinks.emplace_back(link, target);
    return link;
}

QString TByteNames::Input(const QByteArray& name) {
    if (isText(name))
        return QFile::decodeName(name);
    const QByteArray base = name.mid(name.lastIndexOf('/') + 1);
    const qsizetype dot = base.lastIndexOf('.');
    const QByteArray extension = dot >= 0 ? base.mid(dot) : QByteArray();
    return Link(absoluteName(name),
                QStringLiteral("picture") +
                    (isText(extension) ? QFile::decodeName(extension) : QString()));
}

QString TByteNames::Output(const QByteArray& name) {
    if (isText(name))
        return QFile::decodeName(name);
    const QByteArray absolute = absoluteName(name);
    const qsizetype slash = absolute.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? absolute.left(slash) : QByteArray("/");
    const QByteArray file = absolute.mid(slash + 1);
    const QString folderLink = Link(folder, QStringLiteral("output-folder"));
    if (isText(file))
        return folderLink + QLatin1Char('/') + QFile::decodeName(file);
    FOutputFolder = folder;
    FOutputName = file;
    FOutputTemporary = ".tapestrix-compose-" + QByteArray::number(qint64(::getpid())) + ".bmp";
    return folderLink + QLatin1Char('/') + QString::fromLatin1(FOutputTemporary);
}

bool TByteNames::FinishOutput(QString* error) {
    if (FOutputName.isEmpty())
        return true;
    const QByteArray from = FOutputFolder + '/' + FOutputTemporary;
    const QByteArray to = FOutputFolder + '/' + FOutputName;
    if (::rename(from.constData(), to.constData()) == 0)
        return true;
    *error = QStringLiteral("Cannot write file \"%1\". %2")
                 .arg(QFile::decodeName(to), QString::fromLocal8Bit(std::strerror(errno)));
    ::unlink(from.constData());
    return false;
}

QString TByteNames::Shown(QString text) const {
    for (const auto& [link, target] : FLinks)
        text.replace(link, QFile::decodeName(target));
    return text;
}
