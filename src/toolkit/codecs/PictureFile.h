// Reading a picture file for the loaders, with the toolkit's file error texts. Files are opened
// without blocking and only regular files are read (a FIFO or a device named like a picture is
// refused, not waited on), never more than a limit.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

// Largest picture file read whole: a 32-bit BMP of kMaxPicturePixels and its headers.
constexpr int64_t kMaxPictureFileBytes = (int64_t(1) << 30) + (int64_t(1) << 20);

// The whole file. Raises EFOpenError when it cannot be opened or is not a regular file,
// EReadError when reading fails and EOutOfResources for a file above maxBytes; every message
// names the file.
QByteArray ReadPictureFile(const QString& fileName, int64_t maxBytes = kMaxPictureFileBytes);

// The first bytes of the file (fewer when it is shorter), with the same checks.
QByteArray ReadPictureHead(const QString& fileName, int bytes = 4096);

// Tests: called with the file's name before a picture file is opened (to make a read that does
// not return); an empty function removes it.
void SetPictureReadHook(std::function<void(const QString& fileName)> hook);
