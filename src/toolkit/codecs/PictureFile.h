// Reading a picture file into memory for the loaders, with the toolkit's file error texts.
#pragma once

#include <QByteArray>
#include <QString>

// The whole file. Raises EFOpenError when it cannot be opened, EReadError when reading fails
// and EOutOfResources for a file above 1 GiB; every message names the file.
QByteArray ReadPictureFile(const QString& fileName);
