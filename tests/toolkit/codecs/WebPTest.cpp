// WebP pictures against libwebp's own command-line decoder (the same library: exact), the first
// frame of animations against Pillow's (libwebp's animation decoder: exact), the metadata the
// header carries, scaled decoding and the size limit.
#include "EncoderTools.h"
#include "toolkit/codecs/CodecImage.h"
#include "toolkit/codecs/WebPCodec.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace encodertools;

namespace {

struct TWebPCase {
    const char* Name;
    QStringList Args; // cwebp's
    bool Alpha;
};

class WebPVariants : public ::testing::TestWithParam<TWebPCase> {};

TEST_P(WebPVariants, DecodeAsDwebpDoes) {
    REQUIRE_TOOLS("cwebp", "dwebp");
    const TWebPCase& c = GetParam();
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png"), webp = dir.filePath("in.webp"),
                  pam = dir.filePath("ref.pam");
    ASSERT_TRUE(Pattern(61, 37, c.Alpha).save(png));
    RunTool("cwebp", c.Args + QStringList{"-quiet", png, "-o", webp});
    RunTool("dwebp", {"-quiet", "-pam", webp, "-o", pam});
    const QImage reference = ReadReference(pam);
    const QByteArray data = ReadAll(webp);

    const TDecoded raw = DecodeRaw(WebPCodec(), data);
    EXPECT_EQ(raw.Header.Alpha, c.Alpha);
    EXPECT_EQ(raw.Header.Orientation, 1);
    EXPECT_TRUE(raw.Header.IccProfile.isEmpty());
    EXPECT_EQ(MaxDifference(raw.Image, reference), 0);

    // The picture over the codec: premultiplied where transparent.
    TCodecImage picture(WebPCodec());
    picture.LoadFromBytes(data, webp);
    picture.DIBNeeded();
    const QImage expected =
        AsPicture(c.Alpha ? reference : reference.convertToFormat(QImage::Format_RGB888));
    EXPECT_EQ(picture.Image().convertToFormat(expected.format()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, WebPVariants,
    ::testing::Values(TWebPCase{"Lossy", {"-q", "75"}, false},
                      TWebPCase{"Lossless", {"-lossless"}, false},
                      TWebPCase{"LossyAlpha", {"-q", "75", "-alpha_q", "100"}, true},
                      TWebPCase{"LossyLossyAlpha", {"-q", "60", "-alpha_q", "40"}, true},
                      TWebPCase{"LosslessAlpha", {"-lossless", "-exact"}, true}),
    [](const auto& info) { return std::string(info.param.Name); });

// The first frame as libwebp's animation decoder composes it, through Pillow.
TEST(WebP, FirstFrameOfAnAnimation) {
    REQUIRE_TOOLS("cwebp", "img2webp", "webpmux", "python3");
    QTemporaryDir dir;
    const QString a = dir.filePath("a.png"), b = dir.filePath("b.png");
    ASSERT_TRUE(Pattern(40, 30, false).save(a));
    ASSERT_TRUE(Pattern(40, 30, true).mirrored(true, true).save(b));
    const QString full = dir.filePath("full.webp");
    RunTool("img2webp", {"-lossless", a, "-lossy", b, "-o", full});
    // A first frame smaller than the canvas (which the second frame sets), away from its corner.
    const QString small = dir.filePath("small.png"), smallWebp = dir.filePath("small.webp"),
                  bWebp = dir.filePath("b.webp"), partial = dir.filePath("partial.webp");
    ASSERT_TRUE(Pattern(12, 8, false).save(small));
    RunTool("cwebp", {"-quiet", "-lossless", small, "-o", smallWebp});
    RunTool("cwebp", {"-quiet", "-lossless", b, "-o", bWebp});
    RunTool("webpmux", {"-frame", smallWebp, "+100+6+10", "-frame", bWebp, "+100+0+0", "-loop", "0",
                        "-bgcolor", "255,0,0,255", "-o", partial});

    const char* script = "import sys\nfrom PIL import Image\n"
                         "Image.open(sys.argv[1]).convert('RGBA').save(sys.argv[2])\n";
    for (const QString& file : {full, partial}) {
        SCOPED_TRACE(file.toStdString());
        const QString ref = file + ".png";
        RunTool("python3", {"-c", script, file, ref});
        const TDecoded raw = DecodeRaw(WebPCodec(), ReadAll(file));
        EXPECT_EQ(QSize(raw.Header.Width, raw.Header.Height), QSize(40, 30));
        const QImage reference = ReadReference(ref).convertToFormat(QImage::Format_RGBA8888);
        EXPECT_EQ(MaxDifference(raw.Image.convertToFormat(QImage::Format_RGBA8888), reference), 0);
        // Only the partial frame leaves transparent canvas around it.
        EXPECT_EQ(raw.Header.Alpha, file == partial);
    }
}

// An EXIF block (big-endian TIFF) with one orientation entry.
[[maybe_unused]] QByteArray ExifWithOrientation(int orientation) {
    QByteArray exif("MM\0*\0\0\0\x08\0\x01", 10);
    exif += QByteArray("\x01\x12\0\x03\0\0\0\x01\0", 9) + char(orientation) + QByteArray(2, 0);
    exif += QByteArray(4, 0); // no next directory
    return exif;
}

TEST(WebP, HeaderCarriesTheIccProfileAndTheExifOrientation) {
    REQUIRE_TOOLS("cwebp", "webpmux");
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png"), webp = dir.filePath("in.webp");
    ASSERT_TRUE(Pattern(16, 8, false).save(png));
    RunTool("cwebp", {"-quiet", png, "-o", webp});
    const QByteArray icc = QByteArray("not parsed here, only carried ") + QByteArray(100, 'x');
    WriteAll(dir.filePath("p.icc"), icc);
    const QString withIcc = dir.filePath("icc.webp");
    RunTool("webpmux", {"-set", "icc", dir.filePath("p.icc"), webp, "-o", withIcc});
    EXPECT_EQ(DecodeRaw(WebPCodec(), ReadAll(withIcc)).Header.IccProfile, icc);

#if __has_include("toolkit/codecs/Exif.h")
    for (int orientation = 1; orientation <= 8; ++orientation) {
        WriteAll(dir.filePath("e.exif"), ExifWithOrientation(orientation));
        const QString withExif = dir.filePath("exif.webp");
        RunTool("webpmux", {"-set", "exif", dir.filePath("e.exif"), withIcc, "-o", withExif});
        const TDecoded raw = DecodeRaw(WebPCodec(), ReadAll(withExif));
        EXPECT_EQ(raw.Header.Orientation, orientation);
        EXPECT_EQ(raw.Header.IccProfile, icc);
    }
#else
    GTEST_SKIP() << "the EXIF orientation waits for the EXIF parser (toolkit/codecs/Exif.h)";
#endif
}

// Thumbnails come from libwebp's scaler: the same pixels as dwebp -scale.
TEST(WebP, ReducedDecodingIsTheLibrarysScaling) {
    REQUIRE_TOOLS("cwebp", "dwebp");
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png"), webp = dir.filePath("in.webp"),
                  pam = dir.filePath("ref.pam");
    ASSERT_TRUE(Pattern(200, 100, true).save(png));
    RunTool("cwebp", {"-quiet", "-q", "80", png, "-o", webp});
    const QByteArray data = ReadAll(webp);
    struct {
        QSize Asked, Given;
    } cases[] = {{{40, 10}, {40, 20}}, {{30, 25}, {50, 25}}, {{200, 1}, {200, 100}}};
    for (const auto& c : cases) {
        const TDecoded raw = DecodeRaw(WebPCodec(), data, c.Asked);
        ASSERT_EQ(raw.Image.size(), c.Given);
        QStringList args{"-quiet", "-pam", webp, "-o", pam};
        if (c.Given != QSize(200, 100)) // else not scaled at all
            args << "-scale" << QString::number(c.Given.width())
                 << QString::number(c.Given.height());
        RunTool("dwebp", args);
        EXPECT_EQ(MaxDifference(raw.Image, ReadReference(pam)), 0) << c.Asked.width();
    }
}

QByteArray Le32(uint32_t v) {
    QByteArray b(4, 0);
    for (int i = 0; i < 4; ++i)
        b[i] = char(v >> (8 * i));
    return b;
}

QByteArray Chunk(const char* tag, const QByteArray& body) {
    QByteArray c = QByteArray(tag, 4) + Le32(uint32_t(body.size())) + body;
    if (body.size() % 2)
        c += '\0';
    return c;
}

QByteArray Le24(uint32_t v) {
    return Le32(v).left(3);
}

// An animation whose canvas is larger than the program takes, with one small frame.
TEST(WebP, CanvasBeyondTheLimitIsRefusedBeforeDecoding) {
    REQUIRE_TOOLS("cwebp");
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png"), webp = dir.filePath("in.webp");
    ASSERT_TRUE(Pattern(4, 4, false).save(png));
    RunTool("cwebp", {"-quiet", "-lossless", png, "-o", webp});
    const QByteArray still = ReadAll(webp);
    const QByteArray vp8l = still.mid(12); // the VP8L chunk
    const QByteArray frame = Le24(0) + Le24(0) + Le24(3) + Le24(3) + Le24(100) + char(0) + vp8l;
    QByteArray body = QByteArray("WEBP") +
                      Chunk("VP8X", char(0x02) + QByteArray(3, 0) + Le24(19999) + Le24(19999)) +
                      Chunk("ANIM", QByteArray(6, 0)) + Chunk("ANMF", frame);
    const QByteArray file = QByteArray("RIFF") + Le32(uint32_t(body.size())) + body;
    try {
        DecodeRaw(WebPCodec(), file);
        FAIL() << "a 20000 x 20000 canvas loaded";
    } catch (const EOutOfResources& e) {
        EXPECT_EQ(e.Message(),
                  QStringLiteral("WebP image \"test\" is too large (20000 x 20000 pixels)"));
    }
}

} // namespace
