// TIFF pictures: 1 to 16 bits, grey (black or white as 0), palette, RGB, CMYK, associated and
// straight alpha, strips and tiles, contiguous and separate planes, both byte orders, every
// compression Pillow writes, orientations and profiles, against the pixels they were made of;
// damaged, truncated, unsupported and oversized files, with libtiff's messages kept off the
// terminal.
#include "CodecTestSupport.h"
#include "toolkit/codecs/TiffCodec.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace codectest;

namespace {

const TPictures& Pictures() {
    return PillowPictures(QStringLiteral("tiff"));
}

TEST(Tiff, PicturesDecodeToThePixelsTheyWereMadeOf) {
    REQUIRE_PICTURES(Pictures());
    EXPECT_GE(Pictures().Good.size(), 40u);
    for (const TPictureCase& picture : Pictures().Good)
        EXPECT_EQ(CheckPicture(TiffCodec(), picture), "") << picture.Path.toStdString();
}

TEST(Tiff, DamagedTruncatedAndOversizedFilesAreRefused) {
    REQUIRE_PICTURES(Pictures());
    const QString printed = CapturedStderr([] {
        for (const TRefusedCase& refused : Pictures().Refused)
            EXPECT_EQ(CheckRefused(TiffCodec(), refused), "") << refused.Path.toStdString();
        // Files with the directory first and last; raw, compressed and JPEG strips; tiles.
        for (const char* name : {"pillow-raw.tif", "pillow-tiff_lzw.tif", "pillow-jpeg.tif",
                                 "grey4.tif", "rgba8-deflate-separate-tile.tif"})
            EXPECT_EQ(CheckTruncations(TiffCodec(), ReadFile(Pictures().Dir + '/' + name)), "")
                << name;
    });
    EXPECT_EQ(printed, "");
}

TEST(Tiff, LoadsByItsContentWhateverTheExtension) {
    REQUIRE_PICTURES(Pictures());
    QTemporaryDir dir;
    const QString lying = dir.filePath(QStringLiteral("scan.bmp"));
    ASSERT_TRUE(QFile::copy(Pictures().Dir + QStringLiteral("/pillow-raw.tif"), lying));
    EXPECT_EQ(CheckLoadsByContent(lying, TiffCodec()), "");
}

} // namespace
