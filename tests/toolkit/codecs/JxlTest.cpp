// JPEG XL pictures against djxl (the same library: exact at 8 bits; 16-bit pictures, which djxl
// writes as 16-bit PNG, within one step), every orientation (cjxl takes it from a PNG's EXIF),
// the first frame of an animation, the colour profile and the size limit.
#include "EncoderTools.h"
#include "toolkit/codecs/CodecImage.h"
#include "toolkit/codecs/JxlCodec.h"

#include <QColorSpace>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace encodertools;

namespace {

struct TJxlCase {
    const char* Name;
    QStringList Args; // cjxl's
    bool Alpha;
    bool SixteenBitSource;
    int Tolerance;
};

class JxlVariants : public ::testing::TestWithParam<TJxlCase> {};

TEST_P(JxlVariants, DecodeAsDjxlDoes) {
    REQUIRE_TOOLS("cjxl", "djxl");
    const TJxlCase& c = GetParam();
    QTemporaryDir dir;
    const QString png = dir.filePath("in.png"), jxl = dir.filePath("in.jxl"),
                  ref = dir.filePath("ref.png");
    ASSERT_TRUE(Pattern(61, 37, c.Alpha, c.SixteenBitSource).save(png));
    RunTool("cjxl", c.Args + QStringList{"--quiet", png, jxl});
    RunTool("djxl", {jxl, ref});

    const TDecoded raw = DecodeRaw(JxlCodec(), ReadAll(jxl));
    EXPECT_EQ(raw.Header.Alpha, c.Alpha);
    EXPECT_EQ(raw.Header.Orientation, 1);
    EXPECT_TRUE(raw.Header.IccProfile.isEmpty()); // sRGB
    const int difference = MaxDifference(raw.Image, ReadReference(ref));
    EXPECT_GE(difference, 0);
    EXPECT_LE(difference, c.Tolerance);
}

INSTANTIATE_TEST_SUITE_P(Kinds, JxlVariants,
                         ::testing::Values(TJxlCase{"Lossless", {"-d", "0"}, false, false, 0},
                                           TJxlCase{"LosslessAlpha", {"-d", "0"}, true, false, 0},
                                           TJxlCase{"Lossy", {"-d", "1.5"}, false, false, 0},
                                           TJxlCase{"LossyAlpha", {"-d", "1.5"}, true, false, 0},
                                           TJxlCase{"Lossless16", {"-d", "0"}, false, true, 1},
                                           TJxlCase{"Lossy16", {"-d", "1"}, false, true, 1}),
                         [](const auto& info) { return std::string(info.param.Name); });

// A PNG with an EXIF orientation, which cjxl moves into the code stream.
void SaveWithOrientation(const QImage& image, const QString& path, int orientation) {
    const char* script = "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\n"
                         "exif = Image.Exif()\nexif[0x0112] = int(sys.argv[3])\n"
                         "im.save(sys.argv[2], exif=exif.tobytes())\n";
    ASSERT_TRUE(image.save(path + ".plain.png"));
    RunTool("python3", {"-c", script, path + ".plain.png", path, QString::number(orientation)});
}

TEST(Jxl, OrientationIsReportedAndAppliedByThePicture) {
    REQUIRE_TOOLS("cjxl", "djxl", "python3");
    QTemporaryDir dir;
    const QImage pattern = Pattern(24, 16, true);
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE(orientation);
        const QString png = dir.filePath(QStringLiteral("o%1.png").arg(orientation));
        const QString jxl = png + ".jxl", ref = jxl + ".png";
        SaveWithOrientation(pattern, png, orientation);
        RunTool("cjxl", {"--quiet", "-d", "0", png, jxl});
        RunTool("djxl", {jxl, ref});
        const QByteArray data = ReadAll(jxl);
        const TDecoded raw = DecodeRaw(JxlCodec(), data);
        EXPECT_EQ(raw.Header.Orientation, orientation);
        EXPECT_EQ(MaxDifference(raw.Image, pattern), 0); // as stored
        TCodecImage picture(JxlCodec());
        picture.LoadFromBytes(data, jxl);
        EXPECT_EQ(picture.Width(), orientation >= 5 ? 16 : 24);
        picture.DIBNeeded();
        EXPECT_EQ(picture.Image(), AsPicture(ReadReference(ref)));
        EXPECT_EQ(picture.Image(), AsPicture(Oriented(pattern, orientation)));
    }
}

TEST(Jxl, FirstFrameOfAnAnimation) {
    REQUIRE_TOOLS("cjxl", "python3");
    QTemporaryDir dir;
    const QImage first = Pattern(30, 20, true);
    ASSERT_TRUE(first.save(dir.filePath("a.png")));
    ASSERT_TRUE(Pattern(30, 20, false).mirrored(true, true).save(dir.filePath("b.png")));
    const char* script =
        "import sys\nfrom PIL import Image\na, b = Image.open(sys.argv[1]), "
        "Image.open(sys.argv[2])\n"
        "a.save(sys.argv[3], save_all=True, append_images=[b.convert('RGBA')], duration=100)\n";
    const QString apng = dir.filePath("anim.png"), jxl = dir.filePath("anim.jxl");
    RunTool("python3", {"-c", script, dir.filePath("a.png"), dir.filePath("b.png"), apng});
    RunTool("cjxl", {"--quiet", "-d", "0", apng, jxl});
    const TDecoded raw = DecodeRaw(JxlCodec(), ReadAll(jxl));
    EXPECT_EQ(MaxDifference(raw.Image, first), 0);
}

// Lossless pictures keep their colour space and hand its profile over; lossy (XYB) pictures
// are decoded to sRGB by libjxl.
TEST(Jxl, ColourProfileOfTheDecodedData) {
    REQUIRE_TOOLS("cjxl");
    QTemporaryDir dir;
    QImage pattern = Pattern(32, 16, false);
    pattern.setColorSpace(QColorSpace::AdobeRgb);
    const QString png = dir.filePath("adobe.png");
    ASSERT_TRUE(pattern.save(png));
    RunTool("cjxl", {"--quiet", "-d", "0", png, dir.filePath("lossless.jxl")});
    RunTool("cjxl", {"--quiet", "-d", "1", png, dir.filePath("lossy.jxl")});
    const TDecoded lossless = DecodeRaw(JxlCodec(), ReadAll(dir.filePath("lossless.jxl")));
    EXPECT_EQ(QColorSpace::fromIccProfile(lossless.Header.IccProfile).primaries(),
              QColorSpace::Primaries::AdobeRgb);
    EXPECT_EQ(MaxDifference(lossless.Image, pattern.convertToFormat(QImage::Format_RGB888)), 0);
    const TDecoded lossy = DecodeRaw(JxlCodec(), ReadAll(dir.filePath("lossy.jxl")));
    EXPECT_TRUE(lossy.Header.IccProfile.isEmpty());
}

// A code stream header that names a picture of 100000 x 100000 pixels (no frame follows).
QByteArray HugeCodeStream() {
    std::vector<bool> bits;
    auto put = [&bits](uint32_t value, int count) {
        for (int i = 0; i < count; ++i)
            bits.push_back((value >> i) & 1);
    };
    put(0, 1); // not a small size
    put(3, 2); // height: 30 bits follow
    put(100000 - 1, 30);
    put(0, 3); // no ratio
    put(3, 2); // width: 30 bits follow
    put(100000 - 1, 30);
    put(1, 1); // all-default image metadata
    QByteArray out("\xFF\x0A", 2);
    out.append(QByteArray(int(bits.size() + 7) / 8 + 16, 0));
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i])
            out[2 + int(i / 8)] = char(uint8_t(out[2 + int(i / 8)]) | (1 << (i % 8)));
    return out;
}

TEST(Jxl, SizeBeyondTheLimitIsRefusedBeforeDecoding) {
    try {
        DecodeRaw(JxlCodec(), HugeCodeStream());
        FAIL() << "a 100000 x 100000 picture loaded";
    } catch (const EOutOfResources& e) {
        EXPECT_EQ(e.Message(),
                  QStringLiteral("JPEG XL image \"test\" is too large (100000 x 100000 pixels)"));
    }
}

} // namespace
