#include "toolkit/codecs/PictureFile.h"

#include "toolkit/SysUtils.h"

#include <QDir>
#include <QFile>

QByteArray ReadPictureFile(const QString& fileName) {
    constexpr qint64 kMaxFileBytes = qint64(1) << 30;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2")
                              .arg(QDir::toNativeSeparators(fileName), file.errorString()));
    if (file.size() > kMaxFileBytes)
        throw EOutOfResources(QStringLiteral("File \"%1\" is too large (%2 bytes)")
                                  .arg(QDir::toNativeSeparators(fileName))
                                  .arg(file.size()));
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw EReadError(QStringLiteral("Cannot read file \"%1\". %2")
                             .arg(QDir::toNativeSeparators(fileName), file.errorString()));
    return data;
}
