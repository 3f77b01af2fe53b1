// AVIF pictures against libavif's own command-line decoder (the same library and conversion:
// exact), the rotation and mirroring a file records against libheif's reading of the same files,
// metadata, colour given only as CICP, and image sequences.
#include "EncoderTools.h"
#include "toolkit/codecs/AvifCodec.h"
#include "toolkit/codecs/CodecImage.h"
#include "toolkit/codecs/HeifCodec.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace encodertools;

namespace {

struct TAvifCase {
    const char* Name;
    QStringList Args; // avifenc's
    bool Alpha;
    bool SixteenBitSource;
};

class AvifVariants : public ::testing::TestWithParam<TAvifCase> {};

TEST_P(AvifVariants, DecodeAsAvifdecDoes) {
    REQUIRE_TOOLS("avifenc", "avifdec");
    const TAvifCase& c = GetParam();
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png"), avif = dir.filePath("in.avif"),
                  ref = dir.filePath("ref.png");
    // Taller than the rows converted at a time, with an odd height.
    ASSERT_TRUE(Pattern(61, 101, c.Alpha, c.SixteenBitSource).save(png));
    RunTool("avifenc", c.Args + QStringList{"-s", "10", png, avif});
    RunTool("avifdec", {"-d", "8", avif, ref});
    const QImage reference = ReadReference(ref);

    const TDecoded raw = DecodeRaw(AvifCodec(), ReadAll(avif));
    EXPECT_EQ(raw.Header.Alpha, c.Alpha);
    EXPECT_EQ(raw.Header.Orientation, 1);
    EXPECT_EQ(MaxDifference(raw.Image, reference), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, AvifVariants,
    ::testing::Values(TAvifCase{"Yuv420", {"-y", "420"}, false, false},
                      TAvifCase{"Yuv422", {"-y", "422"}, false, false},
                      TAvifCase{"Yuv444", {"-y", "444"}, false, false},
                      TAvifCase{"Yuv400", {"-y", "400"}, false, false},
                      TAvifCase{"LimitedRange", {"-y", "420", "-r", "limited"}, false, false},
                      TAvifCase{"Depth10", {"-y", "420", "-d", "10"}, false, true},
                      TAvifCase{"Depth12", {"-y", "444", "-d", "12"}, false, true},
                      TAvifCase{"Alpha", {"-y", "420"}, true, false},
                      TAvifCase{"AlphaDepth10", {"-y", "420", "-d", "10"}, true, true},
                      TAvifCase{"PremultipliedAlpha", {"-y", "444", "-p"}, true, false},
                      TAvifCase{"Lossless", {"-l"}, false, false}),
    [](const auto& info) { return std::string(info.param.Name); });

// Every rotation with every mirroring: the orientation the header gives, applied as the picture
// applies it, shows the picture as libheif does (heif-convert applies irot and imir itself);
// libheif's own road (the HEIF codec) gives the same upright pixels with orientation 1.
TEST(Avif, RotationAndMirroringBecomeTheExifOrientation) {
    REQUIRE_TOOLS("avifenc", "heif-convert");
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png");
    const QImage pattern = Pattern(24, 16, false);
    ASSERT_TRUE(pattern.save(png));
    // angle x 90 degrees anticlockwise, then mode 0 top-bottom / 1 left-right exchange.
    const int expected[3][4] = {{1, 8, 3, 6}, {4, 5, 2, 7}, {2, 7, 4, 5}};
    QSet<int> seen;
    for (int mode = -1; mode <= 1; ++mode)
        for (int angle = 0; angle < 4; ++angle) {
            SCOPED_TRACE(testing::Message() << "irot " << angle << " imir " << mode);
            const QString avif =
                dir.filePath(QStringLiteral("o%1%2.avif").arg(angle).arg(mode + 1));
            QStringList args{"-l", "-s", "10", "--irot", QString::number(angle)};
            if (mode >= 0)
                args << "--imir" << QString::number(mode);
            RunTool("avifenc", args << png << avif);
            const QByteArray data = ReadAll(avif);

            const TDecoded raw = DecodeRaw(AvifCodec(), data);
            ASSERT_EQ(raw.Header.Orientation, expected[mode + 1][angle]);
            seen.insert(raw.Header.Orientation);
            EXPECT_EQ(MaxDifference(raw.Image, pattern), 0); // stored as it was encoded

            const QString ref = avif + ".png";
            RunTool("heif-convert", {avif, ref});
            const QImage upright = ReadReference(ref);
            TCodecImage picture(AvifCodec());
            picture.LoadFromBytes(data, avif);
            picture.DIBNeeded();
            EXPECT_EQ(picture.Image(), AsPicture(upright));

            const TDecoded heif = DecodeRaw(HeifCodec(), data);
            EXPECT_EQ(heif.Header.Orientation, 1);
            EXPECT_EQ(MaxDifference(heif.Image, upright), 0);
        }
    EXPECT_EQ(seen.size(), 8);
}

TEST(Avif, IccProfileGoesIntoTheHeaderAndCicpColourLoadsAsItIs) {
    REQUIRE_TOOLS("avifenc", "avifdec");
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png");
    ASSERT_TRUE(Pattern(20, 12, false).save(png));
    const QByteArray icc = QByteArray("carried, not parsed ") + QByteArray(200, 'p');
    WriteAll(dir.filePath("p.icc"), icc);
    RunTool("avifenc", {"-s", "10", "--icc", dir.filePath("p.icc"), png, dir.filePath("icc.avif")});
    EXPECT_EQ(DecodeRaw(AvifCodec(), ReadAll(dir.filePath("icc.avif"))).Header.IccProfile, icc);

    // BT.2020 primaries with the PQ transfer (an HDR picture): no profile, the RGB values as
    // libavif converts them.
    const QString hdr = dir.filePath("hdr.avif"), ref = dir.filePath("hdr.png");
    RunTool("avifenc", {"-s", "10", "-d", "10", "--cicp", "9/16/9", png, hdr});
    RunTool("avifdec", {"-d", "8", hdr, ref});
    const TDecoded raw = DecodeRaw(AvifCodec(), ReadAll(hdr));
    EXPECT_TRUE(raw.Header.IccProfile.isEmpty());
    EXPECT_EQ(MaxDifference(raw.Image, ReadReference(ref)), 0);
}

TEST(Avif, FirstFrameOfASequence) {
    REQUIRE_TOOLS("avifenc");
    QTemporaryDir dir;
    const QString a = dir.filePath("a.png"), b = dir.filePath("b.png"),
                  avif = dir.filePath("seq.avif");
    const QImage first = Pattern(32, 24, false);
    ASSERT_TRUE(first.save(a));
    ASSERT_TRUE(first.mirrored(true, true).save(b));
    RunTool("avifenc", {"-l", "-s", "10", a, b, avif});
    const QByteArray data = ReadAll(avif);
    ASSERT_TRUE(data.mid(8, 4) == "avis") << "not a sequence";
    EXPECT_EQ(MaxDifference(DecodeRaw(AvifCodec(), data).Image, first), 0);
}

} // namespace
