// The composition of pictures as loaded: the toolkit's own formats give ComposeWallpaper's bytes
// and status texts whichever road each picture takes; transparency is resampled premultiplied
// and blended exactly (against the plain reference); a damaged picture read row by row raises
// its error.
#include "imaging/PictureCompose.h"
#include "ReferenceResampler.h"
#include "imaging/PixelRows.h"
#include "imaging/TextureResampler.h"
#include "imaging/Wallpaper.h"
#include "support/Pictures.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

namespace {

struct StatusLog {
    TStatusText Status;
    QStringList Texts;
    StatusLog() {
        Status.SetObserver([this](const QString& text) { Texts << text; });
    }
};

std::unique_ptr<TPicture> Load(const QString& path) {
    if (path.isEmpty())
        return nullptr;
    auto picture = std::make_unique<TPicture>();
    picture->LoadFromFile(path);
    return picture;
}

TGraphic* GraphicOf(const std::unique_ptr<TPicture>& picture) {
    return picture ? picture->Graphic() : nullptr;
}

// A transparent picture that gives its premultiplied rows one after another, as a decoder of
// today's formats does.
class TTransparentPicture : public TGraphic {
public:
    explicit TTransparentPicture(QImage premultiplied) : FImage(std::move(premultiplied)) {}
    int Width() const override { return FImage.width(); }
    int Height() const override { return FImage.height(); }
    bool Transparent() const override { return true; }
    bool Decoded() const override { return false; }
    void LoadFromFile(const QString&) override {}
    void LoadFromBytes(const QByteArray&, const QString&) override {}
    void Paint(QPainter& painter, const QRect& target) override {
        painter.drawImage(target, FImage);
    }
    std::unique_ptr<TGraphic> Clone() const override {
        return std::make_unique<TTransparentPicture>(FImage);
    }
    std::unique_ptr<TRowReader> OpenRows() override {
        struct TRows : TRowReader {
            QImage Image;
            const uint8_t* Row(int y) override { return Image.constScanLine(y); }
            bool Alpha() const override { return true; }
        };
        auto rows = std::make_unique<TRows>();
        rows->Image = FImage;
        return rows;
    }

private:
    QImage FImage;
};

// Random premultiplied pixels (colour <= alpha), with fully transparent and opaque runs.
QImage RandomPremultiplied(std::mt19937_64& rng, int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y) {
        uint8_t* p = image.scanLine(y);
        for (int x = 0; x < w; ++x, p += 4) {
            const int kind = int(rng() % 4);
            const uint32_t a = kind == 0 ? 0 : kind == 1 ? 255 : uint32_t(rng() % 256);
            for (int c = 0; c < 3; ++c)
                p[c] = uint8_t(a == 0 ? 0 : rng() % (a + 1));
            p[3] = uint8_t(a);
        }
    }
    return image;
}

// The premultiplied image as reference pixels: red, green, blue, alpha from the low byte up.
reference::Image ReferencePixels(const QImage& image) {
    reference::Image out{image.width(), image.height(), {}};
    for (int y = 0; y < image.height(); ++y) {
        const uint8_t* p = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x, p += 4)
            out.Pixels.push_back(uint32_t(p[2]) | uint32_t(p[1]) << 8 | uint32_t(p[0]) << 16 |
                                 uint32_t(p[3]) << 24);
    }
    return out;
}

struct KernelGuard {
    ~KernelGuard() { hvresample::SetKernelLimit(hvresample::TKernels::Avx512); }
};

TEST(ResamplerAlpha, PremultipliedPicturesMatchTheReferenceAndBlendExactly) {
    KernelGuard guard;
    std::mt19937_64 rng(20261208);
    for (const auto kernels :
         {hvresample::TKernels::Plain, hvresample::TKernels::Avx2, hvresample::TKernels::Avx512}) {
        hvresample::SetKernelLimit(kernels);
        for (int n = 0; n < 60; ++n) {
            const int sw = 1 + int(rng() % 70), sh = 1 + int(rng() % 50);
            const int tw = 1 + int(rng() % 90), th = 1 + int(rng() % 60);
            const QImage source = RandomPremultiplied(rng, sw, sh);
            const int xf = hvresample::Factor(sw, tw), yf = hvresample::Factor(sh, th);
            const reference::Image expected =
                reference::ResampleFactors(ReferencePixels(source), tw, th, xf, yf, 4);

            hvresample::TPlane from;
            from.Data = const_cast<uint8_t*>(source.constBits());
            from.Stride = source.bytesPerLine();
            from.Width = sw;
            from.Height = sh;
            from.Layout = hvresample::TLayout::Bgra32;
            // Straight into premultiplied rows...
            QImage resampled(tw, th, QImage::Format_ARGB32_Premultiplied);
            hvresample::TPlane to;
            to.Data = resampled.bits();
            to.Stride = resampled.bytesPerLine();
            to.Width = tw;
            to.Height = th;
            to.Layout = hvresample::TLayout::Bgra32;
            hvresample::Resample(from, to, xf, yf, nullptr, nullptr);
            // ... and blended over a 24-bit background.
            QImage background(tw, th, QImage::Format_BGR888);
            for (int y = 0; y < th; ++y)
                for (int x = 0; x < 3 * tw; ++x)
                    background.scanLine(y)[x] = uint8_t(rng());
            QImage blended = background.copy();
            to.Data = blended.bits();
            to.Stride = blended.bytesPerLine();
            to.Layout = hvresample::TLayout::Bgr24;
            to.BlendOver = true;
            hvresample::Resample(from, to, xf, yf, nullptr, nullptr);

            for (int y = 0; y < th; ++y)
                for (int x = 0; x < tw; ++x) {
                    const uint32_t e = expected.At(x, y);
                    const uint8_t* got = resampled.constScanLine(y) + 4 * x;
                    const uint32_t g = uint32_t(got[2]) | uint32_t(got[1]) << 8 |
                                       uint32_t(got[0]) << 16 | uint32_t(got[3]) << 24;
                    ASSERT_EQ(g, e) << sw << "x" << sh << " -> " << tw << "x" << th << " at " << x
                                    << "," << y << " kernels " << int(kernels);
                    const uint8_t* under = background.constScanLine(y) + 3 * x;
                    const uint8_t* over = blended.constScanLine(y) + 3 * x;
                    for (int c = 0; c < 3; ++c)
                        ASSERT_EQ(over[c],
                                  reference::Blend((e >> (8 * (2 - c))) & 0xFF, e >> 24, under[c]))
                            << "blend at " << x << "," << y;
                }
        }
    }
}

TEST(ComposePictures, GivesComposeWallpapersBytesAndTextsForTheToolkitsFormats) {
    QTemporaryDir dir;
    const QString pattern =
        testsupport::WritePatternBmp(dir.path(), QStringLiteral("p.bmp"), 97, 61);
    struct Case {
        QString Fg, Bg;
        bool Tile;
        int W, H;
    };
    std::vector<Case> cases = {
        {pattern, {}, false, 320, 200},
        {{}, pattern, false, 200, 320},
        {pattern, pattern, true, 250, 130},
        {pattern, pattern, false, 40, 30},
    };
    if (!testsupport::testDataDir().isEmpty()) {
        const auto data = [](const char* relative) {
            return testsupport::testData(QLatin1String(relative));
        };
        cases.push_back({data("jpeg/testorig.jpg"), data("bmp/g/pal8rle.bmp"), false, 300, 170});
        cases.push_back({data("bmp/g/pal4rle.bmp"), data("jpeg/progressive.jpg"), false, 123, 77});
        cases.push_back({data("bmp/g/pal1.bmp"), data("bmp/g/rgb16-565.bmp"), false, 64, 64});
        cases.push_back({data("ico/transparent.ico"), data("jpeg/gray.jpg"), false, 90, 90});
        cases.push_back({data("jpeg/cmyk.jpg"), data("bmp/g/pal8-0.bmp"), true, 200, 100});
        cases.push_back({data("bmp/g/pal8os2.bmp"), data("jpeg/testimgint.jpg"), false, 50, 500});
        // Compressed bitmaps whose streams skip pixels and rows.
        cases.push_back(
            {data("bmp/q/pal8rlecut.bmp"), data("bmp/q/pal4rletrns.bmp"), false, 127, 64});
        cases.push_back(
            {data("bmp/q/rgb24rle24.bmp"), data("bmp/q/pal8rletrns.bmp"), false, 64, 127});
        // Tiles read row by row: wider and shorter than the output, and repeated both ways.
        cases.push_back({data("bmp/g/pal1.bmp"), data("jpeg/testorig.jpg"), true, 150, 300});
        cases.push_back({data("jpeg/gray.jpg"), data("bmp/q/pal8rletrns.bmp"), true, 300, 100});
    }
    for (const Case& c : cases) {
        const std::string what = (c.Fg + " | " + c.Bg).toStdString();
        // The ordinary road: pictures converted to bitmaps first.
        std::unique_ptr<TPicture> fg = Load(c.Fg), bg = Load(c.Bg);
        const std::unique_ptr<TBitmap> fgBitmap = fg ? PictureToBitmap(fg.get()) : nullptr;
        const std::unique_ptr<TBitmap> bgBitmap = bg ? PictureToBitmap(bg.get()) : nullptr;
        StatusLog expectedLog, log;
        TProgressVar progress{0};
        const std::unique_ptr<TBitmap> expected =
            ComposeWallpaper(c.W, c.H, fgBitmap.get(), bgBitmap.get(), c.Tile, clTeal,
                             &expectedLog.Status, &progress, nullptr);
        // Fresh pictures, each on the road that suits it.
        fg = Load(c.Fg);
        bg = Load(c.Bg);
        const std::unique_ptr<TBitmap> composed =
            ComposePictures(c.W, c.H, GraphicOf(fg), GraphicOf(bg), c.Tile, clTeal, &log.Status,
                            &progress, nullptr);
        EXPECT_EQ(composed->SaveToBytes(), expected->SaveToBytes()) << what;
        EXPECT_EQ(log.Texts, expectedLog.Texts) << what;
        EXPECT_EQ(progress.load(), 100) << what;
    }
}

TEST(ComposePictures, TransparencyShowsTheBackgroundAndIsDrawnOverWhiteAsABackground) {
    std::mt19937_64 rng(7);
    const QImage picture = RandomPremultiplied(rng, 60, 40);
    TTransparentPicture transparent(picture);
    // A foreground over a colour: fitted into 90 x 90 at (0, 15), 90 x 60.
    const std::unique_ptr<TBitmap> over =
        ComposePictures(90, 90, &transparent, nullptr, false, clTeal, nullptr, nullptr, nullptr);
    const reference::Image resampled =
        reference::ResampleFactors(ReferencePixels(picture), 90, 60, 1, 1, 4);
    const QColor teal = ColorToQColor(clTeal);
    const uint8_t tealBgr[3] = {uint8_t(teal.blue()), uint8_t(teal.green()), uint8_t(teal.red())};
    for (int y = 0; y < 90; ++y)
        for (int x = 0; x < 90; ++x) {
            const uint8_t* got = over->ScanLine(y) + 3 * x;
            for (int c = 0; c < 3; ++c) {
                uint8_t want = tealBgr[c];
                if (y >= 15 && y < 75) {
                    const uint32_t e = resampled.At(x, y - 15);
                    want = reference::Blend((e >> (8 * (2 - c))) & 0xFF, e >> 24, tealBgr[c]);
                }
                ASSERT_EQ(got[c], want) << x << "," << y;
            }
        }
    // As a background: drawn over white at its own size, then stretched as any picture is.
    QImage white(60, 40, QImage::Format_BGR888);
    for (int y = 0; y < 40; ++y)
        pixelrows::PremultipliedOverWhite(picture.constScanLine(y), white.scanLine(y), 60);
    TBitmap opaque;
    opaque.SetImage(white, TPixelFormat::pf24bit);
    const std::unique_ptr<TBitmap> expected =
        ComposeWallpaper(130, 70, nullptr, &opaque, false, 0, nullptr, nullptr, nullptr);
    const std::unique_ptr<TBitmap> composed =
        ComposePictures(130, 70, nullptr, &transparent, false, 0, nullptr, nullptr, nullptr);
    EXPECT_EQ(composed->SaveToBytes(), expected->SaveToBytes());
    for (int x = 0; x < 60; ++x) // over white exactly: colour + 255 - alpha
        for (int c = 0; c < 3; ++c)
            ASSERT_EQ(white.constScanLine(0)[3 * x + c],
                      reference::Blend(picture.constScanLine(0)[4 * x + c],
                                       picture.constScanLine(0)[4 * x + 3], 255));
}

TEST(ComposePictures, ADamagedPictureReadRowByRowRaisesItsErrorAndCancelStops) {
    REQUIRE_TESTDATA();
    QTemporaryDir dir;
    // A JPEG cut short after its header: loads, then fails while it is resampled.
    QFile whole(testsupport::testData(QStringLiteral("jpeg/testorig.jpg")));
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    const QString cut = dir.filePath(QStringLiteral("cut.jpg"));
    QFile out(cut);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(whole.readAll().left(2000));
    out.close();
    for (const bool asForeground : {true, false}) {
        auto picture = Load(cut);
        auto other = Load(testsupport::testData(QStringLiteral("jpeg/testorig.jpg")));
        TGraphic* fg = asForeground ? picture->Graphic() : other->Graphic();
        TGraphic* bg = asForeground ? other->Graphic() : picture->Graphic();
        try {
            ComposePictures(320, 200, fg, bg, false, 0, nullptr, nullptr, nullptr);
            ADD_FAILURE() << "no error";
        } catch (const EInvalidGraphic& e) {
            EXPECT_TRUE(e.Message().contains(QLatin1String("cut.jpg")))
                << e.Message().toStdString();
        }
    }
    // A cancel stops both roads and reports no finished image.
    StatusLog log;
    TCancelVar cancel{true};
    auto fg = Load(testsupport::testData(QStringLiteral("jpeg/testorig.jpg")));
    auto bg = Load(testsupport::testData(QStringLiteral("bmp/g/pal8rle.bmp")));
    ComposePictures(640, 480, fg->Graphic(), bg->Graphic(), false, 0, &log.Status, nullptr,
                    &cancel);
    EXPECT_FALSE(log.Texts.contains(QStringLiteral("Image created.")));
}

} // namespace
