// GIF pictures: global and local colour tables, transparency, interlacing, frames on a larger
// (or smaller) logical screen, the first frame of an animation, against the pixels they were made
// of; damaged, truncated and oversized files.
#include "CodecTestSupport.h"
#include "toolkit/codecs/GifCodec.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace codectest;

namespace {

const TPictures& Pictures() {
    return PillowPictures(QStringLiteral("gif"));
}

TEST(Gif, PicturesDecodeToThePixelsTheyWereMadeOf) {
    REQUIRE_PICTURES(Pictures());
    EXPECT_GE(Pictures().Good.size(), 10u);
    for (const TPictureCase& picture : Pictures().Good)
        EXPECT_EQ(CheckPicture(GifCodec(), picture), "") << picture.Path.toStdString();
}

TEST(Gif, DamagedTruncatedAndOversizedFilesAreRefused) {
    REQUIRE_PICTURES(Pictures());
    const QString printed = CapturedStderr([] {
        for (const TRefusedCase& refused : Pictures().Refused)
            EXPECT_EQ(CheckRefused(GifCodec(), refused), "") << refused.Path.toStdString();
        // Also the last byte: the trailer (or the next frame) must follow the first frame.
        for (const char* name : {"local-transparent-interlaced.gif", "offset.gif"})
            EXPECT_EQ(CheckTruncations(GifCodec(), ReadFile(Pictures().Dir + '/' + name)), "")
                << name;
    });
    EXPECT_EQ(printed, "");
}

TEST(Gif, LoadsByItsContentWhateverTheExtension) {
    REQUIRE_PICTURES(Pictures());
    QTemporaryDir dir;
    const QString lying = dir.filePath(QStringLiteral("picture.png"));
    ASSERT_TRUE(QFile::copy(Pictures().Dir + QStringLiteral("/pillow.gif"), lying));
    EXPECT_EQ(CheckLoadsByContent(lying, GifCodec()), "");
}

} // namespace
