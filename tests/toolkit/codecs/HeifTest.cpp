// HEIC pictures (HEVC, made with heif-enc and x265) against heif-convert (the same library:
// exact at 8 bits; deeper pictures it writes as 16-bit PNG, which libheif's own reduction to 8
// bits, a shift, stays within one step of), their thumbnails and profiles. The rotation and
// mirroring libheif applies are tested with the AVIF files (AvifTest), which libheif reads too.
#include "EncoderTools.h"
#include "toolkit/codecs/CodecImage.h"
#include "toolkit/codecs/HeifCodec.h"

#include <QColorSpace>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace encodertools;

namespace {

struct THeifCase {
    const char* Name;
    QStringList Args; // heif-enc's
    bool Alpha;
    bool SixteenBitSource;
    int Tolerance;
};

class HeifVariants : public ::testing::TestWithParam<THeifCase> {};

TEST_P(HeifVariants, DecodeAsHeifConvertDoes) {
    REQUIRE_TOOLS("heif-enc", "heif-convert");
    const THeifCase& c = GetParam();
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png"), heic = dir.filePath("in.heic"),
                  ref = dir.filePath("ref.png");
    // Odd sizes: the encoder pads to whole blocks and the file crops them off again.
    ASSERT_TRUE(Pattern(61, 37, c.Alpha, c.SixteenBitSource).save(png));
    RunTool("heif-enc", c.Args + QStringList{"-q", "70", png, "-o", heic});
    RunTool("heif-convert", {heic, ref});

    const TDecoded raw = DecodeRaw(HeifCodec(), ReadAll(heic));
    EXPECT_EQ(raw.Header.Alpha, c.Alpha);
    EXPECT_EQ(raw.Header.Orientation, 1);
    EXPECT_LE(MaxDifference(raw.Image, ReadReference(ref)), c.Tolerance);
    EXPECT_GE(MaxDifference(raw.Image, ReadReference(ref)), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HeifVariants,
                         ::testing::Values(THeifCase{"Depth8", {}, false, false, 0},
                                           THeifCase{"Depth8Alpha", {}, true, false, 0},
                                           THeifCase{
                                               "Yuv444", {"-p", "chroma=444"}, false, false, 0},
                                           THeifCase{"Depth10", {"-b", "10"}, false, true, 1},
                                           THeifCase{"Depth12Alpha", {"-b", "12"}, true, true, 1}),
                         [](const auto& info) { return std::string(info.param.Name); });

// A thumbnail of at least the size asked for is decoded instead of the picture.
TEST(Heif, ReducedDecodingUsesTheStoredThumbnail) {
    REQUIRE_TOOLS("heif-enc");
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png"), heic = dir.filePath("in.heic");
    ASSERT_TRUE(Pattern(160, 120, false).save(png));
    RunTool("heif-enc", {"-q", "80", "-t", "40", png, "-o", heic});
    const QByteArray data = ReadAll(heic);
    struct {
        QSize Asked, Given;
    } cases[] = {{{20, 10}, {40, 30}},
                 {{40, 30}, {40, 30}},
                 {{41, 10}, {160, 120}},
                 {{100, 100}, {160, 120}}};
    for (const auto& c : cases) {
        const TDecoded raw = DecodeRaw(HeifCodec(), data, c.Asked);
        EXPECT_EQ(raw.Image.size(), c.Given) << c.Asked.width() << "x" << c.Asked.height();
        // The bright top-left block of the pattern is there at either size.
        EXPECT_GT(qRed(raw.Image.pixel(1, 1)), 200);
    }
    TCodecImage picture(HeifCodec());
    picture.LoadFromBytes(data, heic);
    EXPECT_EQ(picture.DecodeReduced(QSize(30, 20)).size(), QSize(40, 30));
    EXPECT_FALSE(picture.Decoded());
}

// heif-convert hands premultiplied pixels over as they are stored; the decoder gives them straight.
TEST(Heif, PremultipliedAlphaIsUndone) {
    REQUIRE_TOOLS("heif-enc", "heif-convert");
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png"), heic = dir.filePath("in.heic"),
                  ref = dir.filePath("ref.png");
    QImage premultiplied =
        Pattern(24, 16, true).convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    premultiplied.reinterpretAsFormat(QImage::Format_RGBA8888);
    ASSERT_TRUE(premultiplied.save(png));
    // Lossless: RGB coded as it is, every sample kept.
    RunTool("heif-enc", {"-L", "-p", "chroma=444", "--matrix_coefficients=0",
                         "--premultiplied-alpha", png, "-o", heic});
    RunTool("heif-convert", {heic, ref});
    QImage expected = ReadReference(ref).convertToFormat(QImage::Format_RGBA8888);
    for (int y = 0; y < expected.height(); ++y)
        for (uint8_t* p = expected.scanLine(y); p < expected.scanLine(y) + 4 * expected.width();
             p += 4)
            for (int c = 0; c < 3 && p[3] != 0; ++c)
                p[c] = uint8_t(std::min(255, (p[c] * 255 + p[3] / 2) / p[3]));
    const TDecoded raw = DecodeRaw(HeifCodec(), ReadAll(heic));
    EXPECT_TRUE(raw.Header.Alpha);
    EXPECT_EQ(MaxDifference(raw.Image, expected), 0);
}

TEST(Heif, IccProfileGoesIntoTheHeader) {
    REQUIRE_TOOLS("heif-enc");
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png"), heic = dir.filePath("in.heic");
    QImage pattern = Pattern(32, 16, false);
    pattern.setColorSpace(QColorSpace::AdobeRgb);
    ASSERT_TRUE(pattern.save(png));
    RunTool("heif-enc", {png, "-o", heic});
    const TPictureHeader header = DecodeRaw(HeifCodec(), ReadAll(heic)).Header;
    EXPECT_EQ(QColorSpace::fromIccProfile(header.IccProfile), QColorSpace(QColorSpace::AdobeRgb));
}

} // namespace
