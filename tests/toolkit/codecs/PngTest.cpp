// PNG pictures: every bit depth and colour type, transparency, interlacing, the first frame of an
// animation, orientations and profiles, against the pixels they were made of; damaged, truncated
// and oversized files.
#include "CodecTestSupport.h"
#include "toolkit/codecs/PngCodec.h"

#include <gtest/gtest.h>

using namespace codectest;

namespace {

const TPictures& Pictures() {
    return PillowPictures(QStringLiteral("png"));
}

TEST(Png, PicturesDecodeToThePixelsTheyWereMadeOf) {
    REQUIRE_PICTURES(Pictures());
    // Interlaced pictures are decoded whole; the others a row at a time.
    ExpectPicturesDecode(PngCodec(), Pictures(), [](const QString& path) {
        return !path.contains(QLatin1String("interlaced"));
    });
}

TEST(Png, DamagedTruncatedAndOversizedFilesAreRefused) {
    REQUIRE_PICTURES(Pictures());
    ExpectRefused(PngCodec(), Pictures(), {"grey1.png", "rgba16-interlaced.png", "exif6.png"});
}

TEST(Png, LoadsByItsContentWhateverTheExtension) {
    REQUIRE_PICTURES(Pictures());
    ExpectLoadsByContent(PngCodec(), Pictures(), "pillow-rgb.png", "photo.jpg");
}

} // namespace
