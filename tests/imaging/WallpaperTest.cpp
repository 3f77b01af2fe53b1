// The composer: background kinds, the foreground's fit and centring, status texts, progress,
// cancel, locking and failures; the picture conversions and the image control model.
#include "imaging/Wallpaper.h"
#include "imaging/Hv3DException.h"
#include "imaging/Textures.h"
#include "support/TestSupport.h"
#include "toolkit/ExtCtrls.h"

#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

namespace {

std::unique_ptr<TBitmap> Solid(int w, int h, TColor colour,
                               TPixelFormat format = TPixelFormat::pf24bit) {
    auto bitmap = std::make_unique<TBitmap>(w, h, format);
    bitmap->Canvas()->Brush().Color = colour;
    bitmap->Canvas()->FillRect(Rect(0, 0, w, h));
    return bitmap;
}

std::unique_ptr<TBitmap> Noise(int w, int h, uint64_t seed) {
    auto bitmap = std::make_unique<TBitmap>(w, h);
    std::mt19937_64 rng(seed);
    for (int y = 0; y < h; ++y) {
        uint8_t* line = bitmap->ScanLine(y);
        for (int x = 0; x < 3 * w; ++x)
            line[x] = uint8_t(rng());
    }
    return bitmap;
}

// The rectangle of pixels of the given colour (assumed one solid block).
TRect FindBlock(TBitmap* bitmap, TColor colour) {
    TRect r{bitmap->Width(), bitmap->Height(), -1, -1};
    for (int y = 0; y < bitmap->Height(); ++y)
        for (int x = 0; x < bitmap->Width(); ++x)
            if (bitmap->Canvas()->Pixels(x, y) == colour) {
                r.Left = std::min(r.Left, x);
                r.Top = std::min(r.Top, y);
                r.Right = std::max(r.Right, x + 1);
                r.Bottom = std::max(r.Bottom, y + 1);
            }
    return r;
}

struct StatusLog {
    TStatusText Status;
    QStringList Texts;
    StatusLog() {
        Status.SetObserver([this](const QString& text) { Texts << text; });
    }
};

TEST(ComposeWallpaper, SolidColourOnly) {
    StatusLog log;
    TProgressVar progress{-7};
    auto out =
        ComposeWallpaper(64, 48, nullptr, nullptr, false, clTeal, &log.Status, &progress, nullptr);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->Width(), 64);
    EXPECT_EQ(out->Height(), 48);
    EXPECT_EQ(out->PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(FindBlock(out.get(), clTeal).Width(), 64);
    EXPECT_EQ(FindBlock(out.get(), clTeal).Height(), 48);
    EXPECT_EQ(log.Texts, (QStringList{"Creating buffer...", "Image created."}));
    EXPECT_EQ(progress.load(), -7) << "the composer itself never writes progress";
    EXPECT_EQ(out->Canvas()->LockCount(), 0);
}

TEST(ComposeWallpaper, SystemColourIsTheCurrentColour) {
    SetSysColorProvider([](int index) { return index == 15 ? 0x00A0B0C0 : 0; });
    auto out =
        ComposeWallpaper(8, 8, nullptr, nullptr, false, clBtnFace, nullptr, nullptr, nullptr);
    SetSysColorProvider(nullptr);
    EXPECT_EQ(out->Canvas()->Pixels(3, 3), 0x00A0B0C0);
}

struct FitCase {
    int fw, fh, w, h;
    TRect expected;
};

TEST(ComposeWallpaper, ForegroundFitsAndIsCentred) {
    const FitCase cases[] = {
        {400, 300, 1024, 768, Rect(0, 0, 1024, 768)},  // scale 2.56, fills
        {300, 300, 1024, 768, Rect(128, 0, 896, 768)}, // 768 x 768 at (128, 0)
        {1025, 768, 1024, 768, Rect(0, 0, 1024, 767)}, // h' = round(767.25), Y = round(0.5)
        {100, 100, 105, 100, Rect(2, 0, 102, 100)},    // margin 5: X = round(2.5) = 2
        {100, 100, 107, 100, Rect(4, 0, 104, 100)},    // margin 7: X = round(3.5) = 4
        {100, 100, 103, 100, Rect(2, 0, 102, 100)},    // margin 3: X = round(1.5) = 2
        {100, 100, 100, 105, Rect(0, 2, 100, 102)},    // vertical margin likewise
        {10, 1000, 200, 100, Rect(100, 0, 101, 100)},  // 1 x 100 at X = round(99.5) = 100
    };
    for (const FitCase& c : cases) {
        auto fg = Solid(c.fw, c.fh, clRed);
        auto out =
            ComposeWallpaper(c.w, c.h, fg.get(), nullptr, false, clBlue, nullptr, nullptr, nullptr);
        const TRect r = FindBlock(out.get(), clRed);
        EXPECT_EQ(r.Left, c.expected.Left) << c.fw << "x" << c.fh << " on " << c.w << "x" << c.h;
        EXPECT_EQ(r.Top, c.expected.Top) << c.fw << "x" << c.fh << " on " << c.w << "x" << c.h;
        EXPECT_EQ(r.Right, c.expected.Right) << c.fw << "x" << c.fh << " on " << c.w << "x" << c.h;
        EXPECT_EQ(r.Bottom, c.expected.Bottom)
            << c.fw << "x" << c.fh << " on " << c.w << "x" << c.h;
        // Outside the foreground the background stays.
        if (r.Left > 0) {
            EXPECT_EQ(out->Canvas()->Pixels(r.Left - 1, r.Top), clBlue);
        }
    }
}

TEST(ComposeWallpaper, ForegroundPixelsAreTheResampledTexture) {
    auto fg = Noise(120, 90, 5);
    auto out =
        ComposeWallpaper(200, 100, fg.get(), nullptr, false, clBlack, nullptr, nullptr, nullptr);
    // Scale min(200/120, 100/90): 133 x 100 at X = round(33.5) = 34.
    const THvBitmap32 texture(fg.get(), nullptr, nullptr);
    const THvBitmap32 scaled(texture, 133, 100, nullptr, nullptr);
    for (int y = 0; y < 100; y += 7)
        for (int x = 0; x < 133; x += 5)
            ASSERT_EQ(uint32_t(out->Canvas()->Pixels(34 + x, y)), scaled.Pixel(x, y));
    EXPECT_EQ(out->Canvas()->Pixels(33, 50), clBlack);
    EXPECT_EQ(out->Canvas()->Pixels(167, 50), clBlack);
}

TEST(ComposeWallpaper, StretchedBackgroundIsResampledToTheWholeSize) {
    for (const auto& [bw, bh] : {std::pair{80, 60}, {205, 154}}) {
        auto bg = Noise(bw, bh, 9);
        StatusLog log;
        TProgressVar progress{0};
        auto out = ComposeWallpaper(102, 77, nullptr, bg.get(), false, clRed, &log.Status,
                                    &progress, nullptr);
        const THvBitmap32 stretched(THvBitmap32(bg.get(), nullptr, nullptr), 102, 77, nullptr,
                                    nullptr);
        for (int y = 0; y < 77; ++y)
            for (int x = 0; x < 102; ++x)
                ASSERT_EQ(uint32_t(out->Canvas()->Pixels(x, y)), stretched.Pixel(x, y));
        EXPECT_EQ(log.Texts, (QStringList{"Creating buffer...", "Creating background...",
                                          "Creating background texture...",
                                          "Resampling background...", "Image created."}));
        EXPECT_EQ(progress.load(), 100);
    }
}

TEST(ComposeWallpaper, EveryStatusTextInOrder) {
    StatusLog log;
    auto fg = Solid(30, 20, clRed);
    auto bg = Solid(50, 50, clLime, TPixelFormat::pf32bit);
    // Locks are held by the composer while it works.
    bool inputsLocked = true;
    log.Status.SetObserver([&](const QString& text) {
        log.Texts << text;
        if (text != QLatin1String("Image created."))
            inputsLocked =
                inputsLocked && fg->Canvas()->LockCount() > 0 && bg->Canvas()->LockCount() > 0;
    });
    auto out =
        ComposeWallpaper(60, 40, fg.get(), bg.get(), false, clBlack, &log.Status, nullptr, nullptr);
    EXPECT_EQ(log.Texts, (QStringList{"Creating buffer...", "Creating background...",
                                      "Creating background texture...", "Resampling background...",
                                      "Creating foreground texture...", "Resampling foreground...",
                                      "Image created."}));
    EXPECT_TRUE(inputsLocked);
    EXPECT_EQ(fg->Canvas()->LockCount(), 0);
    EXPECT_EQ(bg->Canvas()->LockCount(), 0);
    EXPECT_EQ(out->Canvas()->LockCount(), 0);
    EXPECT_EQ(bg->PixelFormat(), TPixelFormat::pf24bit) << "converting forces 24 bits";
}

TEST(ComposeWallpaper, TiledBackgroundRepeatsFromTheTopLeft) {
    for (const auto& [tw, th] : {std::pair{256, 256}, {300, 200}, {7, 5}}) {
        auto tile = Noise(tw, th, uint64_t(tw));
        StatusLog log;
        auto out = ComposeWallpaper(1024, 768, nullptr, tile.get(), true, clRed, &log.Status,
                                    nullptr, nullptr);
        for (int y = 0; y < 768; y += 13)
            for (int x = 0; x < 1024; x += 11)
                ASSERT_EQ(out->Canvas()->Pixels(x, y), tile->Canvas()->Pixels(x % tw, y % th))
                    << tw << "x" << th << " at " << x << "," << y;
        // The last column and row of the image.
        EXPECT_EQ(out->Canvas()->Pixels(1023, 767), tile->Canvas()->Pixels(1023 % tw, 767 % th));
        EXPECT_EQ(log.Texts,
                  (QStringList{"Creating buffer...", "Creating background...", "Image created."}));
    }
}

TEST(ComposeWallpaper, CancelBeforeTheCall) {
    StatusLog log;
    TProgressVar progress{42};
    TCancelVar cancel{true};
    auto fg = Solid(10, 10, clRed);
    auto bg = Solid(10, 10, clLime);
    auto out = ComposeWallpaper(20, 10, fg.get(), bg.get(), false, clBlack, &log.Status, &progress,
                                &cancel);
    ASSERT_TRUE(out);
    EXPECT_EQ(FindBlock(out.get(), clWhite).Width(), 20) << "no background drawn";
    EXPECT_EQ(log.Texts, QStringList{"Creating buffer..."});
    EXPECT_EQ(progress.load(), 42);
    EXPECT_EQ(fg->Canvas()->LockCount(), 0);
    EXPECT_EQ(out->Canvas()->LockCount(), 0);
}

TEST(ComposeWallpaper, CancelWhileTheBackgroundIsResampled) {
    StatusLog log;
    TCancelVar cancel{false};
    log.Status.SetObserver([&](const QString& text) {
        log.Texts << text;
        if (text == QLatin1String("Resampling background..."))
            cancel.store(true);
    });
    TProgressVar progress{0};
    auto fg = Solid(10, 10, clRed);
    auto bg = Solid(40, 30, clLime);
    auto out = ComposeWallpaper(20, 10, fg.get(), bg.get(), false, clBlack, &log.Status, &progress,
                                &cancel);
    EXPECT_EQ(FindBlock(out.get(), clBlack).Width(), 20) << "the background stays black";
    EXPECT_EQ(FindBlock(out.get(), clRed).Right, -1) << "the foreground is skipped";
    EXPECT_EQ(log.Texts.back(), QStringLiteral("Resampling background..."));
    EXPECT_EQ(progress.load(), 100);
}

TEST(ComposeWallpaper, ThinForegroundDrawsNothing) {
    StatusLog log;
    auto fg = Solid(1000, 1, clRed); // scales to 100 x 0
    auto out =
        ComposeWallpaper(100, 100, fg.get(), nullptr, false, clBlue, &log.Status, nullptr, nullptr);
    EXPECT_EQ(FindBlock(out.get(), clBlue).Width(), 100);
    EXPECT_EQ(log.Texts.back(), QStringLiteral("Image created."));
}

TEST(ComposeWallpaper, FailuresPropagateAndUnlock) {
    auto empty = std::make_unique<TBitmap>();
    empty->SetSize(0, 10);
    auto bg = Solid(10, 10, clLime);
    EXPECT_THROW(
        ComposeWallpaper(20, 10, empty.get(), bg.get(), false, clBlack, nullptr, nullptr, nullptr),
        EZeroDivide);
    EXPECT_EQ(bg->Canvas()->LockCount(), 0);
    EXPECT_EQ(empty->Canvas()->LockCount(), 0);
    EXPECT_THROW(
        ComposeWallpaper(20, 10, nullptr, empty.get(), true, clBlack, nullptr, nullptr, nullptr),
        EInvalidGraphic);
    try {
        ComposeWallpaper(20, 10, nullptr, empty.get(), false, clBlack, nullptr, nullptr, nullptr);
        FAIL() << "a stretched empty background must be refused";
    } catch (const EInvalidGraphic& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("no pixels"))) << e.what();
    }
    EXPECT_THROW(
        ComposeWallpaper(-1, 10, nullptr, nullptr, false, clBlack, nullptr, nullptr, nullptr),
        EInvalidOperation);
}

// The composition as its steps describe it, through textures: Create(Bitmap), the size
// resampler, ToBitmap for the stretched background, DrawTo for the fitted foreground.
std::unique_ptr<TBitmap> ComposeThroughTextures(int w, int h, TBitmap* fg, TBitmap* bg, bool tile,
                                                TColor colour) {
    auto out = std::make_unique<TBitmap>();
    out->SetWidth(w);
    out->SetHeight(h);
    out->SetPixelFormat(TPixelFormat::pf24bit);
    if (bg && tile) {
        TileGraphic(out.get(), bg, 0, 0);
    } else if (bg) {
        const THvBitmap32 texture(bg, nullptr, nullptr);
        const THvBitmap32 resampled(texture, w, h, nullptr, nullptr);
        resampled.ToBitmap(out.get());
    } else {
        out->Canvas()->Brush().Color = colour;
        out->Canvas()->FillRect(Rect(0, 0, w, h));
    }
    if (fg) {
        const THvBitmap32 texture(fg, nullptr, nullptr);
        const long double scale =
            std::min((long double)w / fg->Width(), (long double)h / fg->Height());
        const int sw = int(RoundHalfEven(fg->Width() * scale));
        const int sh = int(RoundHalfEven(fg->Height() * scale));
        const THvBitmap32 resampled(texture, sw, sh, nullptr, nullptr);
        resampled.DrawTo(out->Canvas(), int(RoundHalfEven((w - sw) / 2.0L)),
                         int(RoundHalfEven((h - sh) / 2.0L)));
    }
    return out;
}

TEST(ComposeWallpaper, RandomisedCompositionsMatchTheTexturePath) {
    std::mt19937_64 rng(0xC0FFEE);
    const auto between = [&](int lo, int hi) { return lo + int(rng() % uint64_t(hi - lo + 1)); };
    for (int n = 0; n < 300; ++n) {
        const int w = between(1, 90), h = between(1, 90);
        std::unique_ptr<TBitmap> fg, bg;
        if (n % 4 != 0)
            fg = Noise(between(1, 120), between(1, 120), rng());
        if (n % 3 != 0)
            bg = Noise(between(1, 120), between(1, 120), rng());
        const bool tile = n % 5 == 0;
        const TColor colour = TColor(rng() & 0xFFFFFF);
        auto expected = ComposeThroughTextures(w, h, fg.get(), bg.get(), tile, colour);
        auto actual =
            ComposeWallpaper(w, h, fg.get(), bg.get(), tile, colour, nullptr, nullptr, nullptr);
        ASSERT_EQ(actual->SaveToBytes(), expected->SaveToBytes())
            << "case " << n << ": " << w << "x" << h << (fg ? " fg " : " no fg ")
            << (fg ? fg->Width() : 0) << "x" << (fg ? fg->Height() : 0) << (bg ? " bg " : " no bg ")
            << (bg ? bg->Width() : 0) << "x" << (bg ? bg->Height() : 0) << (tile ? " tiled" : "");
    }
}

TEST(ComposeWallpaper, CancelWhileTheForegroundIsResampled) {
    StatusLog log;
    TCancelVar cancel{false};
    log.Status.SetObserver([&](const QString& text) {
        log.Texts << text;
        if (text == QLatin1String("Resampling foreground..."))
            cancel.store(true);
    });
    auto fg = Solid(10, 10, clRed);
    auto out =
        ComposeWallpaper(30, 10, fg.get(), nullptr, false, clLime, &log.Status, nullptr, &cancel);
    // The resampled foreground's rows stay black, as a cancelled texture's do, and are drawn.
    const TRect black = FindBlock(out.get(), clBlack);
    EXPECT_EQ(black.Left, 10);
    EXPECT_EQ(black.Right, 20);
    EXPECT_EQ(FindBlock(out.get(), clLime).Width(), 30);
    EXPECT_FALSE(log.Texts.contains(QStringLiteral("Image created.")));
}

TEST(ComposeWallpaper, SameInputsGiveTheSameBytes) {
    auto fg = Noise(333, 211, 1);
    auto bg = Noise(517, 389, 2);
    auto a = ComposeWallpaper(300, 200, fg.get(), bg.get(), false, 0, nullptr, nullptr, nullptr);
    auto b = ComposeWallpaper(300, 200, fg.get(), bg.get(), false, 0, nullptr, nullptr, nullptr);
    EXPECT_EQ(a->SaveToBytes(), b->SaveToBytes());
}

TEST(TileGraphic, OffsetsAndEdges) {
    auto tile = Noise(30, 20, 4);
    TBitmap dest(100, 50);
    TileGraphic(&dest, tile.get(), 7, 3);
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 100; ++x)
            ASSERT_EQ(dest.Canvas()->Pixels(x, y),
                      tile->Canvas()->Pixels((x + 7) % 30, (y + 3) % 20));
    // Negative offsets leave the uncovered strip at the top-left alone.
    TBitmap shifted(40, 30);
    TileGraphic(&shifted, tile.get(), -5, -4);
    EXPECT_EQ(shifted.Canvas()->Pixels(4, 10), clWhite);
    EXPECT_EQ(shifted.Canvas()->Pixels(10, 3), clWhite);
    EXPECT_EQ(shifted.Canvas()->Pixels(5, 4), tile->Canvas()->Pixels(0, 0));
    // An offset larger than the extra tiles cover leaves the far side alone.
    TBitmap far(40, 30);
    TileGraphic(&far, tile.get(), 200, 0); // tiles cover x < 5 * 30 - 200 < 0
    EXPECT_EQ(far.Canvas()->Pixels(0, 0), clWhite);
    EXPECT_EQ(far.Canvas()->LockCount(), 0);
}

// A graphic that paints only its left half, like a picture with transparent parts.
class THalfGraphic : public TGraphic {
public:
    int Width() const override { return 8; }
    int Height() const override { return 4; }
    bool Transparent() const override { return true; }
    void LoadFromFile(const QString&) override {}
    void LoadFromBytes(const QByteArray&, const QString&) override {}
    void Paint(QPainter& painter, const QRect& target) override {
        painter.fillRect(QRect(target.left(), target.top(), target.width() / 2, target.height()),
                         QColor(0, 0, 255));
    }
    std::unique_ptr<TGraphic> Clone() const override { return std::make_unique<THalfGraphic>(); }
};

TEST(TileGraphic, OtherGraphicsAreDrawnTileByTile) {
    THalfGraphic half;
    TBitmap dest(20, 6);
    TileGraphic(&dest, &half, 0, 0);
    EXPECT_EQ(dest.Canvas()->Pixels(0, 0), clBlue);
    EXPECT_EQ(dest.Canvas()->Pixels(5, 0), clWhite);
    EXPECT_EQ(dest.Canvas()->Pixels(8, 5), clBlue);
    EXPECT_EQ(dest.Canvas()->Pixels(13, 5), clWhite);
}

TEST(PictureToBitmap, OwnPixelsAt24Bits) {
    TPicture picture;
    auto source = Noise(9, 7, 3);
    picture.SetGraphic(source.get());
    auto bitmap = PictureToBitmap(&picture);
    ASSERT_EQ(bitmap->Width(), 9);
    ASSERT_EQ(bitmap->Height(), 7);
    EXPECT_EQ(bitmap->PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(bitmap->Canvas()->Pixels(8, 6), source->Canvas()->Pixels(8, 6));
    bitmap->Canvas()->SetPixels(8, 6, clRed);
    auto* held = static_cast<TBitmap*>(picture.Graphic());
    EXPECT_EQ(held->Canvas()->Pixels(8, 6), source->Canvas()->Pixels(8, 6))
        << "writing the result leaves the picture unchanged";
    EXPECT_EQ(bitmap->Canvas()->LockCount(), 0);

    TPicture none;
    auto nothing = PictureToBitmap(&none);
    EXPECT_EQ(nothing->Width(), 0);
}

TEST(PictureToBitmap, TransparentPartsStayWhite) {
    TPicture picture;
    THalfGraphic half;
    picture.SetGraphic(&half);
    auto bitmap = PictureToBitmap(&picture);
    EXPECT_EQ(bitmap->Canvas()->Pixels(0, 0), clBlue);
    EXPECT_EQ(bitmap->Canvas()->Pixels(7, 3), clWhite);
}

TEST(PictureToBitmap, JpegMatchesDrawingIt) {
    REQUIRE_TESTDATA();
    TPicture drawn;
    drawn.LoadFromFile(testsupport::testData(QStringLiteral("jpeg/testorig.jpg")));
    TBitmap expected(drawn.Width(), drawn.Height());
    expected.Canvas()->Draw(0, 0, drawn.Graphic());

    TImage image;
    int events = 0;
    image.OnProgress = [&](TObject*, TProgressStage, uint8_t, bool, const TRect&, const QString&) {
        ++events;
    };
    image.Picture()->LoadFromFile(testsupport::testData(QStringLiteral("jpeg/testorig.jpg")));
    auto bitmap = ImageToBitmap(&image);
    EXPECT_GE(events, 2) << "decoding reports through the image control";
    ASSERT_EQ(bitmap->Width(), expected.Width());
    ASSERT_EQ(bitmap->Height(), expected.Height());
    EXPECT_EQ(bitmap->SaveToBytes(), expected.SaveToBytes());
}

TEST(ImageControl, RepaintsWhenThePictureChanges) {
    TImage image;
    int repaints = 0;
    image.OnRepaint = [&] { ++repaints; };
    image.SetBounds(200, 150);
    EXPECT_EQ(image.Width(), 200);
    EXPECT_EQ(image.Height(), 150);
    auto bitmap = Solid(4, 4, clRed);
    TPicture other;
    other.SetGraphic(bitmap.get());
    image.SetPicture(&other);
    EXPECT_EQ(repaints, 1);
    EXPECT_EQ(image.Picture()->Width(), 4);
    image.Repaint();
    EXPECT_EQ(repaints, 2);
    EXPECT_EQ(ImageToBitmap(nullptr)->Width(), 0);
}

} // namespace
