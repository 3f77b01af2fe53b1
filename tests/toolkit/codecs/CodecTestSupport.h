// What the tests of the PNG, GIF and TIFF codecs share: the pictures pillow_pictures.py writes
// with the pixels each must decode to, and the checks every codec must pass.
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <functional>
#include <string>
#include <vector>

namespace codectest {

struct TPictureCase {
    QString Path;
    bool Alpha = false;
    int Orientation = 1;
    QImage Expected;       // upright, Format_RGBA8888 (straight alpha)
    QByteArray IccProfile; // what the header must give
};

// A file that must be refused: with EOutOfResources (Large) or EInvalidGraphic, and a message
// that names the file and ends in Text.
struct TRefusedCase {
    QString Path;
    bool Large = false;
    QString Text;
};

struct TPictures {
    QString Skip; // why there are none: /usr/bin/python3 or its Pillow is missing
    QString Dir;  // where they are
    std::vector<TPictureCase> Good;
    std::vector<TRefusedCase> Refused;
};

// The pictures of one format ("png", "gif" or "tiff"), written once per test run into a
// temporary folder.
const TPictures& PillowPictures(const QString& format);

#define REQUIRE_PICTURES(pictures)                                                                 \
    if (!(pictures).Skip.isEmpty())                                                                \
    GTEST_SKIP() << (pictures).Skip.toStdString()

// Empty (readable in failures) when the file is refused as the case says; else what happened.
std::string CheckRefused(const TCodec& codec, const TRefusedCase& refused);

// Empty when a picture over codec loads the file with the expected header and decodes it to the
// expected pixels, whole and, for upright pictures, row by row; else what differs.
std::string CheckPicture(const TCodec& codec, const TPictureCase& picture);

// The picture of data decoded whole through the codec (its errors raised).
QImage DecodeBytes(const TCodec& codec, const QByteArray& data, const QString& name);

// Empty when every prefix of data shorter than it raises EInvalidGraphic when it is loaded or
// decoded; else the first that did not.
std::string CheckTruncations(const TCodec& codec, const QByteArray& data);

// Empty when the file, whatever its extension, loads through TPicture as the codec's picture.
std::string CheckLoadsByContent(const QString& path, const TCodec& codec);

// What is written to the standard error stream while work runs.
QString CapturedStderr(const std::function<void()>& work);

QByteArray ReadFile(const QString& path);

} // namespace codectest
