// JPEG pictures upright and in sRGB: files Pillow writes with every EXIF orientation and with ICC
// profiles the tests make (wide-gamut, sRGB of two origins, damaged, grey, CMYK, one over several
// APP2 markers), compared with Pillow's own upright picture and with plain reference conversions;
// and a sideways phone photo through tapestrix-compose.
#include "EncoderTools.h"
#include "IccTestProfiles.h"
#include "PlainJpeg.h"
#include "support/TestSupport.h"
#include "toolkit/Graphics.h"
#include "toolkit/codecs/ColorProfile.h"
#include "toolkit/codecs/Jpeg.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>

namespace {

using namespace icctest;
using encodertools::ReadAll;
using encodertools::WriteAll;

constexpr int kWidth = 40, kHeight = 24;

// Writes the test's JPEG files with Pillow from the profiles already in the folder.
const char kPillowScript[] = R"(
import os, sys
from PIL import Image, ImageCms, ImageOps
d = sys.argv[1]
W, H = 40, 24
def path(name): return os.path.join(d, name)
def icc(name): return open(path(name), "rb").read()
src = Image.new("RGB", (W, H))
src.putdata([((x * 6) % 256, (y * 10) % 256, ((x + y) * 4) % 256) for y in range(H) for x in range(W)])
for n in range(1, 9):
    exif = Image.Exif()
    exif[0x0112] = n
    src.save(path("orient%d.jpg" % n), quality=95, exif=exif.tobytes())
    ImageOps.exif_transpose(Image.open(path("orient%d.jpg" % n))).save(path("orient%d.png" % n))
srgb = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
open(path("pillow-srgb.icc"), "wb").write(srgb)
src.save(path("none.jpg"), quality=95)
for name in ("adobe", "large", "camera-srgb", "pillow-srgb", "damaged"):
    src.save(path(name + ".jpg"), quality=95, icc_profile=icc(name + ".icc"))
src.convert("L").save(path("grey.jpg"), quality=95, icc_profile=icc("grey.icc"))
cmyk = Image.new("CMYK", (W, H))
cmyk.putdata([((x * 6) % 256, (y * 10) % 256, (x * y) % 256, (x + y) % 64) for y in range(H) for x in range(W)])
cmyk.save(path("cmyk.jpg"), quality=95, icc_profile=icc("cmyk.icc"))
# A phone photo stored sideways: red on the left, blue on the right; upright red is on top.
phone = Image.new("RGB", (64, 48), (0, 0, 255))
phone.paste((255, 0, 0), (0, 0, 32, 48))
exif = Image.Exif()
exif[0x0112] = 6
phone.save(path("phone.jpg"), quality=95, exif=exif.tobytes())
)";

// Runs a program with a PATH of its own; empty when it ran and exited with 0, else what it said.
QString RunProgram(const QString& program, const QStringList& arguments) {
    QProcess process;
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return QStringLiteral("%1 failed: %2%3")
            .arg(program, process.errorString(),
                 QString::fromLocal8Bit(process.readAllStandardError()));
    return QString();
}

// The files of kPillowScript in a temporary folder, made once for all tests.
class JpegColour : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Folder = new QTemporaryDir();
        const QString python = QStringLiteral("/usr/bin/python3");
        if (!QFileInfo(python).isExecutable() ||
            !RunProgram(python, {QStringLiteral("-c"), QStringLiteral("import PIL")}).isEmpty()) {
            Missing = "Pillow (/usr/bin/python3 with python3-pil) is not installed";
            return;
        }
        WriteAll(File("adobe.icc"), RgbProfile(kAdobePrimaries, 2.2));
        WriteAll(File("large.icc"), RgbProfile(kAdobePrimaries, 2.2, 2.1, 100000));
        WriteAll(File("camera-srgb.icc"), TabulatedSrgbProfile());
        WriteAll(File("damaged.icc"), RgbProfile(kAdobePrimaries, 2.2).left(300));
        WriteAll(File("grey.icc"), GreyProfile(2.2));
        WriteAll(File("cmyk.icc"), CmykProfile());
        WriteAll(File("make.py"), kPillowScript);
        Failure = RunProgram(python, {File("make.py"), Folder->path()});
    }
    static void TearDownTestSuite() {
        delete Folder;
        Folder = nullptr;
    }
    void SetUp() override {
        if (Missing)
            GTEST_SKIP() << Missing;
        ASSERT_TRUE(Failure.isEmpty()) << Failure.toStdString();
    }

    static QString File(const char* name) { return Folder->filePath(QLatin1String(name)); }

    static std::unique_ptr<TJPEGImage> Decoded(const char* name) {
        auto jpeg = std::make_unique<TJPEGImage>();
        jpeg->LoadFromFile(File(name));
        jpeg->DIBNeeded();
        return jpeg;
    }

    static inline QTemporaryDir* Folder = nullptr;
    static inline const char* Missing = nullptr;
    static inline QString Failure;
};

QRgb At(const QImage& bgr, int x, int y) {
    const uchar* p = bgr.constScanLine(y) + 3 * x;
    return qRgb(p[2], p[1], p[0]);
}

// The decoded picture's rows as the streaming composition reads them equal the decoded ones.
void ExpectStreamedAsDecoded(TJPEGImage& jpeg) {
    TJPEGImage fresh;
    fresh.LoadFromBytes(jpeg.Data(), QStringLiteral("fresh.jpg"));
    const auto rows = fresh.OpenRows();
    ASSERT_NE(rows, nullptr);
    for (int y = 0; y < jpeg.Height(); ++y)
        ASSERT_EQ(
            std::memcmp(rows->Row(y), jpeg.Image().constScanLine(y), size_t(jpeg.Width()) * 3), 0)
            << "row " << y;
}

TEST_F(JpegColour, EveryExifOrientationIsShownUpright) {
    for (int n = 1; n <= 8; ++n) {
        SCOPED_TRACE(testing::Message() << "orientation " << n);
        QByteArray name = QStringLiteral("orient%1.jpg").arg(n).toLatin1();
        TJPEGImage jpeg;
        jpeg.LoadFromFile(File(name.constData()));
        EXPECT_EQ(jpeg.Orientation(), n);
        const bool swapped = n >= 5;
        EXPECT_EQ(jpeg.Width(), swapped ? kHeight : kWidth); // the upright size when loaded
        EXPECT_EQ(jpeg.Height(), swapped ? kWidth : kHeight);
        EXPECT_EQ(jpeg.OpenRows() != nullptr, n == 1); // only upright pictures are streamed
        jpeg.DIBNeeded();
        const QImage upright = QImage(File(name.replace(".jpg", ".png").constData()))
                                   .convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(jpeg.Image().size(), upright.size());
        for (int y = 0; y < upright.height(); ++y)
            for (int x = 0; x < upright.width(); ++x)
                ASSERT_EQ(At(jpeg.Image(), x, y), upright.pixel(x, y)) << "at " << x << "," << y;
    }
}

// Thumbnails decode at libjpeg's reduced scales: upright, colour-managed, and close to the whole
// picture averaged over the blocks each reduced pixel stands for.
TEST_F(JpegColour, ReducedDecodingIsUprightAndConvertedAtTheScaleAsked) {
    struct Case {
        const char* Name;
        QSize AtLeast, Expected; // upright
    };
    std::vector<Case> cases = {{"adobe.jpg", {10, 6}, {10, 6}}, // 1/4
                               {"cmyk.jpg", {11, 6}, {20, 12}}, // 1/2: 1/4 would be too small
                               {"none.jpg", {40, 24}, {40, 24}}};
    static const char* const kOrientations[] = {"orient1.jpg", "orient2.jpg", "orient3.jpg",
                                                "orient4.jpg", "orient5.jpg", "orient6.jpg",
                                                "orient7.jpg", "orient8.jpg"};
    for (int n = 1; n <= 8; ++n) {
        const QSize eighth = n >= 5 ? QSize(3, 5) : QSize(5, 3);
        cases.push_back({kOrientations[n - 1], eighth, eighth});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TJPEGImage jpeg;
        jpeg.LoadFromFile(File(c.Name));
        const QImage reduced = jpeg.DecodeReduced(c.AtLeast);
        EXPECT_FALSE(jpeg.Decoded()) << "the reduced picture is not kept";
        ASSERT_EQ(reduced.size(), c.Expected);
        const auto whole = Decoded(c.Name);
        const int step = whole->Image().width() / reduced.width();
        int worst = 0;
        double total = 0;
        for (int y = 0; y < reduced.height(); ++y)
            for (int x = 0; x < reduced.width(); ++x) {
                int sum[3] = {0, 0, 0};
                for (int v = 0; v < step; ++v)
                    for (int u = 0; u < step; ++u) {
                        const QRgb p = At(whole->Image(), x * step + u, y * step + v);
                        sum[0] += qRed(p), sum[1] += qGreen(p), sum[2] += qBlue(p);
                    }
                const QRgb p = At(reduced, x, y);
                const int got[3] = {qRed(p), qGreen(p), qBlue(p)};
                for (int ch = 0; ch < 3; ++ch) {
                    const int d = std::abs(got[ch] - sum[ch] / (step * step));
                    worst = std::max(worst, d);
                    total += d;
                }
            }
        EXPECT_LE(worst, 32);
        EXPECT_LE(total / (3.0 * reduced.width() * reduced.height()), 4.0);
    }
}

TEST_F(JpegColour, AWideGamutProfileIsConvertedToSrgb) {
    for (const char* name : {"adobe.jpg", "large.jpg"}) { // large: over two APP2 markers
        SCOPED_TRACE(name);
        const QByteArray profile = ReadAll(File(name).replace(".jpg", ".icc"));
        ASSERT_GT(profile.size(), 0);
        const auto jpeg = Decoded(name);
        EXPECT_EQ(jpeg->IccProfile(), profile);
        const plainjpeg::TDecoded stored = plainjpeg::Decode(jpeg->Data(), false);
        const TRgbReference reference(profile);
        int changed = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const uint8_t* p = &stored.Pixels[size_t(3 * (y * kWidth + x))];
                const std::array<double, 3> want = reference.ToSrgb({p[0], p[1], p[2]});
                const QRgb got = At(jpeg->Image(), x, y);
                const int channels[3] = {qRed(got), qGreen(got), qBlue(got)};
                for (int c = 0; c < 3; ++c)
                    ASSERT_LE(std::abs(channels[c] - want[size_t(c)]), 1.0)
                        << "at " << x << "," << y << " channel " << c;
                changed += got != qRgb(p[0], p[1], p[2]);
            }
        EXPECT_GT(changed, kWidth * kHeight / 2);
        ExpectStreamedAsDecoded(*jpeg);
    }
}

TEST_F(JpegColour, SrgbOrDamagedProfilesGiveThePixelsOfNoProfile) {
    const auto none = Decoded("none.jpg");
    int w = 0, h = 0;
    const std::vector<QRgb> libjpeg = plainjpeg::Expected(none->Data(), false, &w, &h);
    for (const char* name : {"none.jpg", "pillow-srgb.jpg", "camera-srgb.jpg", "damaged.jpg"}) {
        SCOPED_TRACE(name);
        const auto jpeg = Decoded(name);
        EXPECT_EQ(jpeg->IccProfile().isEmpty(), QLatin1String(name) == "none.jpg");
        ASSERT_EQ(jpeg->Image().size(), QSize(w, h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(At(jpeg->Image(), x, y), libjpeg[size_t(y * w + x)]) << x << "," << y;
        ExpectStreamedAsDecoded(*jpeg);
    }
    EXPECT_TRUE(DescribesSrgb(ReadAll(File("pillow-srgb.icc"))));
}

TEST_F(JpegColour, GreyAndCmykPicturesGoThroughTheirProfiles) {
    const auto grey = Decoded("grey.jpg");
    EXPECT_TRUE(grey->Grayscale());
    const QByteArray greyProfile = ReadAll(File("grey.icc"));
    const plainjpeg::TDecoded greyStored = plainjpeg::Decode(grey->Data(), false);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const uint8_t v = greyStored.Pixels[size_t(3 * (y * kWidth + x))];
            const QRgb got = At(grey->Image(), x, y);
            ASSERT_LE(std::abs(qGreen(got) - GreyToSrgb(greyProfile, v)), 1.0) << x << "," << y;
            ASSERT_TRUE(qRed(got) == qGreen(got) && qBlue(got) == qGreen(got));
        }
    ExpectStreamedAsDecoded(*grey);

    // CMYK as Pillow writes it: inverted, with Adobe's marker.
    const auto cmyk = Decoded("cmyk.jpg");
    const plainjpeg::TDecoded samples = plainjpeg::Decode(cmyk->Data(), true);
    ASSERT_TRUE(samples.Adobe);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const uint8_t* s = &samples.Pixels[size_t(4 * (y * kWidth + x))];
            const std::array<double, 3> want =
                CmykToSrgb({uint8_t(255 - s[0]), uint8_t(255 - s[1]), uint8_t(255 - s[2]),
                            uint8_t(255 - s[3])});
            const QRgb got = At(cmyk->Image(), x, y);
            const int channels[3] = {qRed(got), qGreen(got), qBlue(got)};
            for (int c = 0; c < 3; ++c)
                ASSERT_LE(std::abs(channels[c] - want[size_t(c)]), 1.0)
                    << "at " << x << "," << y << " channel " << c;
        }
    ExpectStreamedAsDecoded(*cmyk);
}

TEST_F(JpegColour, ASidewaysPhonePhotoBecomesAnUprightForeground) {
    const QString compose = QStringLiteral(TAPESTRIX_BINARY_DIR "/src/tapestrix-compose");
    if (!QFileInfo(compose).isExecutable())
        GTEST_SKIP() << "tapestrix-compose is not built";
    const QString out = File("wallpaper.bmp");
    ASSERT_EQ(RunProgram(compose, {QStringLiteral("--size"), QStringLiteral("100x100"),
                                   QStringLiteral("--foreground"), File("phone.jpg"),
                                   QStringLiteral("--background"), QStringLiteral("#FFFFFF"),
                                   QStringLiteral("--output"), out}),
              QString());
    const QImage wallpaper(out);
    ASSERT_EQ(wallpaper.size(), QSize(100, 100));
    // Upright the photo is 48 x 64: fitted 75 x 100 and centred, red above blue, white beside.
    auto near = [](QRgb got, QRgb want) {
        return std::abs(qRed(got) - qRed(want)) < 40 && std::abs(qGreen(got) - qGreen(want)) < 40 &&
               std::abs(qBlue(got) - qBlue(want)) < 40;
    };
    EXPECT_TRUE(near(wallpaper.pixel(50, 20), qRgb(255, 0, 0)));
    EXPECT_TRUE(near(wallpaper.pixel(50, 80), qRgb(0, 0, 255)));
    EXPECT_TRUE(near(wallpaper.pixel(5, 50), qRgb(255, 255, 255)));
    EXPECT_TRUE(near(wallpaper.pixel(94, 50), qRgb(255, 255, 255)));
}

} // namespace
