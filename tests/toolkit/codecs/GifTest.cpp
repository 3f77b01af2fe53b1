// GIF pictures: global and local colour tables, transparency, interlacing, frames on a larger
// (or smaller) logical screen, the first frame of an animation, against the pixels they were made
// of; damaged, truncated and oversized files.
#include "CodecTestSupport.h"
#include "toolkit/codecs/GifCodec.h"

#include <gtest/gtest.h>

using namespace codectest;

namespace {

const TPictures& Pictures() {
    return PillowPictures(QStringLiteral("gif"));
}

TEST(Gif, PicturesDecodeToThePixelsTheyWereMadeOf) {
    REQUIRE_PICTURES(Pictures());
    ExpectPicturesDecode(GifCodec(), Pictures(), [](const QString& path) {
        return !path.contains(QLatin1String("interlaced"));
    });
}

TEST(Gif, DamagedTruncatedAndOversizedFilesAreRefused) {
    REQUIRE_PICTURES(Pictures());
    // Also without the last byte: the trailer (or the next frame) must follow the first frame.
    ExpectRefused(GifCodec(), Pictures(), {"local-transparent-interlaced.gif", "offset.gif"});
}

TEST(Gif, LoadsByItsContentWhateverTheExtension) {
    REQUIRE_PICTURES(Pictures());
    ExpectLoadsByContent(GifCodec(), Pictures(), "pillow-interlaced.gif", "picture.png");
}

} // namespace
