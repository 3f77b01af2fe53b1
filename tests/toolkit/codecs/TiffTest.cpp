// TIFF pictures: 1 to 16 bits, grey (black or white as 0), palette, RGB, CMYK, associated and
// straight alpha, strips and tiles, contiguous and separate planes, both byte orders, every
// compression Pillow writes, orientations and profiles, against the pixels they were made of;
// damaged, truncated, unsupported and oversized files, with libtiff's messages kept off the
// terminal.
#include "CodecTestSupport.h"
#include "toolkit/codecs/TiffCodec.h"

#include <gtest/gtest.h>

using namespace codectest;

namespace {

const TPictures& Pictures() {
    return PillowPictures(QStringLiteral("tiff"));
}

TEST(Tiff, PicturesDecodeToThePixelsTheyWereMadeOf) {
    REQUIRE_PICTURES(Pictures());
    // A band of rows at a time: a scan line, a strip of each plane, a row of tiles; the tiles of
    // these pictures are taller than they are, so that they are decoded whole.
    ExpectPicturesDecode(TiffCodec(), Pictures(),
                         [](const QString& path) { return !path.contains(QLatin1String("tile")); });
}

TEST(Tiff, DamagedTruncatedAndOversizedFilesAreRefused) {
    REQUIRE_PICTURES(Pictures());
    // The directory first and last; raw, compressed and JPEG strips; tiles.
    ExpectRefused(TiffCodec(), Pictures(),
                  {"pillow-raw.tif", "pillow-tiff_lzw.tif", "pillow-jpeg.tif", "grey4.tif",
                   "rgba8-deflate-separate-tile.tif"});
}

TEST(Tiff, LoadsByItsContentWhateverTheExtension) {
    REQUIRE_PICTURES(Pictures());
    ExpectLoadsByContent(TiffCodec(), Pictures(), "pillow-raw.tif", "scan.bmp");
}

} // namespace
