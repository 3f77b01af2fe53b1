// Helpers of the tests of the decoders over the formats' own libraries: pictures written by the
// formats' command-line encoders, decoded by their own decoders for reference, and compared.
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

#include <QImage>
#include <QString>
#include <QStringList>

namespace encodertools {

// /usr/bin/<name> when it is installed, else empty (tests then skip).
QString Tool(const QString& name);
// Skips the test unless every tool is installed; sets `tool` paths as they are found.
#define REQUIRE_TOOLS(...)                                                                         \
    do {                                                                                           \
        for (const char* t : {__VA_ARGS__})                                                        \
            if (encodertools::Tool(QString::fromLatin1(t)).isEmpty())                              \
                GTEST_SKIP() << t << " is not installed";                                          \
    } while (0)

// Runs /usr/bin/<tool> with the arguments (no shell) and fails the test when it fails.
void RunTool(const QString& tool, const QStringList& args);

QByteArray ReadAll(const QString& path);
void WriteAll(const QString& path, const QByteArray& bytes);

// A picture whose pixels show where each one lands: gradients across and down, a bright block in
// the top-left corner; with alpha, opaque on the left, transparent on the right.
QImage Pattern(int width, int height, bool alpha, bool sixteenBits = false);

// The header and the straight (not premultiplied) pixels a codec's decoder gives, as stored
// (no orientation applied), as Format_RGBA8888 (Format_RGB888 without alpha). With reduce, the
// decoder is asked for at least that size first.
struct TDecoded {
    TPictureHeader Header;
    QImage Image;
};
TDecoded DecodeRaw(const TCodec& codec, const QByteArray& data, QSize reduce = QSize());

// A reference decoder's output file: PNG (8 or 16 bits) or PAM.
QImage ReadReference(const QString& path);

// The largest difference of any channel between two pictures of the same size, in 8-bit steps
// (a 16-bit picture counts in 257ths, rounded up); colour counts only where a pixel is not fully
// transparent in both. -1 when the sizes differ.
int MaxDifference(const QImage& a, const QImage& b);

// Premultiplies straight RGBA as the picture does ((c x a + 127) / 255) into
// Format_ARGB32_Premultiplied; opaque pictures become Format_BGR888.
QImage AsPicture(const QImage& straight);

// The picture's pixels after the orientation 1..8 is applied.
QImage Oriented(const QImage& stored, int orientation);

} // namespace encodertools
