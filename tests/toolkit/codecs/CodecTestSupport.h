// What the tests of the PNG, GIF and TIFF codecs share: the pictures pillow_pictures.py writes
// with the pixels each must decode to, and the checks every codec must pass.
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

#include <functional>
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

// The checks each codec's tests make, as test expectations that name the files that fail:
// every picture decodes to its pixels with its header, whole and, for upright pictures, row by
// row (and, where sequential is given, the decoder is sequential as it says); every refused file
// is refused with its error, and so is every truncation of the named pictures, with nothing
// printed on the standard error stream; the named picture loads through TPicture by its content
// from a file with the lying name.
void ExpectPicturesDecode(const TCodec& codec, const TPictures& pictures,
                          const std::function<bool(const QString& path)>& sequential = {});
void ExpectRefused(const TCodec& codec, const TPictures& pictures, const QStringList& truncated);
void ExpectLoadsByContent(const TCodec& codec, const TPictures& pictures, const QString& name,
                          const QString& lyingName);

} // namespace codectest
