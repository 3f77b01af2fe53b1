// PNG pictures: every bit depth and colour type, transparency, interlacing, the first frame of an
// animation, orientations and profiles, against the pixels they were made of; damaged, truncated
// and oversized files.
#include "CodecTestSupport.h"
#include "toolkit/codecs/PngCodec.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace codectest;

namespace {

const TPictures& Pictures() {
    return PillowPictures(QStringLiteral("png"));
}

TEST(Png, PicturesDecodeToThePixelsTheyWereMadeOf) {
    REQUIRE_PICTURES(Pictures());
    EXPECT_GE(Pictures().Good.size(), 30u);
    for (const TPictureCase& picture : Pictures().Good) {
        EXPECT_EQ(CheckPicture(PngCodec(), picture), "") << picture.Path.toStdString();
        // Interlaced pictures are decoded whole; the others a row at a time.
        const QByteArray data = ReadFile(picture.Path);
        auto decoder = PngCodec().Open(reinterpret_cast<const uint8_t*>(data.constData()),
                                       size_t(data.size()), picture.Path);
        decoder->ReadHeader();
        EXPECT_EQ(decoder->Sequential(), !picture.Path.contains(QLatin1String("interlaced")))
            << picture.Path.toStdString();
    }
}

TEST(Png, DamagedTruncatedAndOversizedFilesAreRefused) {
    REQUIRE_PICTURES(Pictures());
    const QString printed = CapturedStderr([] {
        for (const TRefusedCase& refused : Pictures().Refused)
            EXPECT_EQ(CheckRefused(PngCodec(), refused), "") << refused.Path.toStdString();
        for (const char* name : {"grey1.png", "rgba16-interlaced.png", "exif6.png"})
            EXPECT_EQ(CheckTruncations(PngCodec(), ReadFile(Pictures().Dir + '/' + name)), "")
                << name;
    });
    EXPECT_EQ(printed, "");
}

TEST(Png, LoadsByItsContentWhateverTheExtension) {
    REQUIRE_PICTURES(Pictures());
    QTemporaryDir dir;
    const QString lying = dir.filePath(QStringLiteral("photo.jpg"));
    ASSERT_TRUE(QFile::copy(Pictures().Good[0].Path, lying));
    EXPECT_EQ(CheckLoadsByContent(lying, PngCodec()), "");
}

} // namespace
