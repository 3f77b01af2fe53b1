// Textures: construction, conversions to and from toolkit bitmaps and canvases, transforms,
// the bilinear lookup, the size resampler's factor choice, progress, cancel and errors.
#include "imaging/Textures.h"
#include "ReferenceResampler.h"
#include "imaging/Hv3DException.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <fstream>
#include <random>

namespace {

// A 24-bit bitmap whose pixel (x, y) is x | y << 8 | 0x40 << 16 (red x, green y, blue 0x40).
std::unique_ptr<TBitmap> PatternBitmap(int w, int h, TPixelFormat format = TPixelFormat::pf24bit) {
    auto bitmap = std::make_unique<TBitmap>(w, h, format);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            bitmap->Canvas()->SetPixels(x, y, TColor(x | y << 8 | 0x40 << 16));
    return bitmap;
}

THvBitmap32 RandomTexture(int w, int h, uint64_t seed) {
    std::mt19937_64 rng(seed);
    THvBitmap32 t(w, h, 0u);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            t.SetPixel(x, y, uint32_t(rng()) & 0xFFFFFF);
    return t;
}

bool SamePixels(const THvBitmap32& a, const THvBitmap32& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height())
        return false;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x)
            if (a.Pixel(x, y) != b.Pixel(x, y))
                return false;
    return true;
}

// Lowers the address-space limit so that the next large allocation fails, for the error paths.
class TAddressSpaceLimit {
public:
    explicit TAddressSpaceLimit(size_t headroom) {
        getrlimit(RLIMIT_AS, &FOld);
        std::ifstream statm("/proc/self/statm");
        size_t pages = 0;
        statm >> pages;
        rlimit limit = FOld;
        limit.rlim_cur = pages * size_t(sysconf(_SC_PAGESIZE)) + headroom;
        FActive = setrlimit(RLIMIT_AS, &limit) == 0;
    }
    ~TAddressSpaceLimit() { setrlimit(RLIMIT_AS, &FOld); }
    bool Active() const { return FActive; }

private:
    rlimit FOld{};
    bool FActive = false;
};

TEST(TexturesCreate, FillCopyAndEmpty) {
    const THvBitmap32 filled(3, 2, 0x00123456u);
    ASSERT_EQ(filled.Width(), 3);
    ASSERT_EQ(filled.Height(), 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(filled.Pixel(x, y), 0x00123456u);

    THvBitmap32 copy(filled);
    copy.SetPixel(0, 0, 7);
    EXPECT_EQ(filled.Pixel(0, 0), 0x00123456u) << "a copy owns its own pixels";

    const THvBitmap32 black(4, 4, 0u);
    EXPECT_EQ(black.Pixel(3, 3), 0u);
    const THvBitmap32 empty(0, 5, 0xFFu);
    EXPECT_EQ(empty.Width(), 0);
    EXPECT_EQ(empty.Height(), 5);
    EXPECT_THROW(THvBitmap32(-1, 1, 0u), EInvalidOperation);
}

TEST(TexturesCreate, LargeTexturesStartBlack) {
    THvBitmap32 big(2048, 1024, 0u); // mapped, not from the heap
    EXPECT_EQ(big.Pixel(0, 0), 0u);
    EXPECT_EQ(big.Pixel(2047, 1023), 0u);
    THvBitmap32 moved(std::move(big));
    EXPECT_EQ(big.Width(), 0);
    EXPECT_EQ(moved.Width(), 2048);
    moved.Dispose();
    EXPECT_EQ(moved.Width(), 0);
    EXPECT_EQ(moved.Height(), 0);
    moved.Dispose(); // twice is harmless
}

TEST(TexturesBitmap, ConvertsScanLinesToRgbPixels) {
    auto bitmap = PatternBitmap(5, 4);
    TProgressVar progress{-1};
    const THvBitmap32 t(bitmap.get(), &progress, nullptr);
    ASSERT_EQ(t.Width(), 5);
    ASSERT_EQ(t.Height(), 4);
    EXPECT_EQ(t.Pixel(0, 0), 0x00400000u);
    EXPECT_EQ(t.Pixel(4, 3), 0x00400304u); // red in byte 0, green in byte 1, blue in byte 2
    EXPECT_EQ(progress.load(), 100);
    EXPECT_EQ(bitmap->Canvas()->LockCount(), 0);
}

TEST(TexturesBitmap, ForcesTheBitmapTo24Bits) {
    auto bitmap = PatternBitmap(3, 3, TPixelFormat::pf32bit);
    bitmap->SetHandleType(TBitmapHandleType::bmDDB);
    const THvBitmap32 t(bitmap.get(), nullptr, nullptr);
    EXPECT_EQ(bitmap->PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(bitmap->HandleType(), TBitmapHandleType::bmDIB);
    EXPECT_EQ(t.Pixel(2, 1), 0x00400102u);
}

TEST(TexturesBitmap, CancelStopsAfterTheFirstRow) {
    auto bitmap = PatternBitmap(4, 5);
    TProgressVar progress{-1};
    TCancelVar cancel{true};
    const THvBitmap32 t(bitmap.get(), &progress, &cancel);
    EXPECT_EQ(t.Pixel(3, 0), 0x00400003u) << "the first row is converted before the check";
    for (int y = 1; y < 5; ++y)
        EXPECT_EQ(t.Pixel(1, y), 0u) << "row " << y << " stays black";
    EXPECT_EQ(progress.load(), 100);
}

TEST(TexturesBitmap, FailureRaisesWithTheSystemText) {
    THv3DRecordingPresenter presenter;
    auto bitmap = PatternBitmap(1500, 1500);
    TAddressSpaceLimit limit(4 << 20); // the 9 MB texture cannot be mapped
    ASSERT_TRUE(limit.Active());
    try {
        THvBitmap32 t(bitmap.get(), nullptr, nullptr);
        FAIL() << "no error";
    } catch (const THv3DException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("THvBitmap32.Create(TBitmap) error (Cannot "
                                              "allocate memory)."));
        ASSERT_EQ(presenter.Messages().size(), 1) << "the box is shown before the error arrives";
        EXPECT_EQ(presenter.Messages()[0], e.Message());
        EXPECT_EQ(presenter.Threads()[0], std::this_thread::get_id());
    }
    EXPECT_EQ(bitmap->Canvas()->LockCount(), 0) << "unlocked on the error path";
}

TEST(TexturesCanvas, ReadsPixelsAndStoresWhiteOutside) {
    auto bitmap = PatternBitmap(3, 2);
    TProgressVar progress{-1};
    const THvBitmap32 t(5, 3, bitmap->Canvas(), &progress, nullptr);
    EXPECT_EQ(t.Pixel(2, 1), 0x00400102u);
    EXPECT_EQ(t.Pixel(3, 0), 0x00FFFFFFu) << "beyond the bitmap's right edge";
    EXPECT_EQ(t.Pixel(0, 2), 0x00FFFFFFu) << "below the bitmap";
    EXPECT_EQ(progress.load(), 100);

    auto wide = PatternBitmap(3, 2, TPixelFormat::pf32bit); // read pixel by pixel
    const THvBitmap32 u(4, 2, wide->Canvas(), nullptr, nullptr);
    EXPECT_EQ(u.Pixel(1, 1), 0x00400101u);
    EXPECT_EQ(u.Pixel(3, 1), 0x00FFFFFFu);
}

TEST(TexturesCanvas, CancelStopsBeforeTheFirstRow) {
    auto bitmap = PatternBitmap(3, 3);
    TCancelVar cancel{true};
    TProgressVar progress{-1};
    const THvBitmap32 t(3, 3, bitmap->Canvas(), &progress, &cancel);
    EXPECT_EQ(t.Pixel(1, 0), 0u);
    EXPECT_EQ(progress.load(), 100);
}

TEST(TexturesCanvas, FailureRaisesTheConversionError) {
    THv3DRecordingPresenter presenter;
    auto bitmap = PatternBitmap(2, 2);
    TAddressSpaceLimit limit(4 << 20);
    ASSERT_TRUE(limit.Active());
    EXPECT_THROW(THvBitmap32(3000, 3000, bitmap->Canvas(), nullptr, nullptr), THv3DException);
    ASSERT_EQ(presenter.Messages().size(), 1);
    EXPECT_EQ(presenter.Messages()[0],
              QStringLiteral("THvBitmap32 image conversion error (Cannot allocate memory)."));
}

TEST(TexturesPicture, FromPictureAndFile) {
    QTemporaryDir dir;
    auto bitmap = PatternBitmap(6, 3);
    const QString path = dir.filePath(QStringLiteral("p.bmp"));
    bitmap->SaveToFile(path);
    const THvBitmap32 fromFile(path);
    EXPECT_EQ(fromFile.Width(), 6);
    EXPECT_EQ(fromFile.Pixel(5, 2), 0x00400205u);

    TPicture picture;
    picture.LoadFromFile(path);
    const THvBitmap32 fromPicture(&picture);
    EXPECT_TRUE(SamePixels(fromFile, fromPicture));

    EXPECT_THROW(THvBitmap32(dir.filePath(QStringLiteral("missing.bmp"))), EStreamError);
    EXPECT_THROW(THvBitmap32(dir.filePath(QStringLiteral("x.unknown"))), EInvalidGraphic);
}

TEST(TexturesOutput, ToBitmapWritesBlueGreenRed) {
    THvBitmap32 t(2, 2, 0u);
    t.SetPixel(1, 0, 0x00332211u);
    TBitmap bitmap(7, 9, TPixelFormat::pf32bit);
    t.ToBitmap(&bitmap);
    EXPECT_EQ(bitmap.PixelFormat(), TPixelFormat::pf24bit);
    ASSERT_EQ(bitmap.Width(), 2);
    ASSERT_EQ(bitmap.Height(), 2);
    const uint8_t* line = bitmap.ScanLine(0);
    EXPECT_EQ(line[3], 0x33); // blue
    EXPECT_EQ(line[4], 0x22); // green
    EXPECT_EQ(line[5], 0x11); // red
    EXPECT_EQ(bitmap.Canvas()->LockCount(), 0);
}

TEST(TexturesOutput, DrawToCopiesAndClips) {
    THvBitmap32 t(3, 2, 0x000000FFu);
    t.SetPixel(2, 1, TColor(clBtnFace)); // a system colour is drawn as its current colour
    TBitmap canvasBitmap(4, 4);
    t.DrawTo(canvasBitmap.Canvas(), 2, 3); // only the top row's first two pixels land
    TCanvas* c = canvasBitmap.Canvas();
    EXPECT_EQ(c->Pixels(2, 3), clRed);
    EXPECT_EQ(c->Pixels(3, 3), clRed);
    EXPECT_EQ(c->Pixels(1, 3), clWhite);
    EXPECT_EQ(c->Pixels(2, 2), clWhite);

    TBitmap whole(3, 2);
    t.DrawTo(whole.Canvas(), 0, 0);
    EXPECT_EQ(whole.Canvas()->Pixels(2, 1), ColorToRGB(clBtnFace));

    TBitmap wide(5, 5, TPixelFormat::pf32bit); // the per-pixel path
    t.DrawTo(wide.Canvas(), -1, -1);
    EXPECT_EQ(wide.Canvas()->Pixels(0, 0), clRed);
    EXPECT_EQ(wide.Canvas()->Pixels(1, 0), ColorToRGB(clBtnFace));
    EXPECT_EQ(wide.Canvas()->Pixels(2, 0), clWhite);
    EXPECT_EQ(wide.Canvas()->LockCount(), 0);
}

TEST(TexturesTransforms, CopyToClipsBothWays) {
    THvBitmap32 source(8, 2, 0u);
    for (int x = 0; x < 8; ++x)
        source.SetPixel(x, 0, uint32_t(x + 1));
    THvBitmap32 dest(4, 4, 0xEEu);
    source.CopyTo(&dest, -5, 0); // source columns 5.. into dest columns 0..
    EXPECT_EQ(dest.Pixel(0, 0), 6u);
    EXPECT_EQ(dest.Pixel(2, 0), 8u);
    EXPECT_EQ(dest.Pixel(3, 0), 0xEEu);
    source.CopyTo(&dest, 2, 3); // only the first row fits, its first two pixels
    EXPECT_EQ(dest.Pixel(2, 3), 1u);
    EXPECT_EQ(dest.Pixel(3, 3), 2u);
    source.CopyTo(&dest, 100, 100); // wholly outside: nothing
    source.CopyTo(nullptr, 0, 0);

    THvBitmap32 self(3, 3, 0u); // onto itself, moved down and right
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x)
            self.SetPixel(x, y, uint32_t(10 * y + x));
    self.CopyTo(&self, 1, 1);
    EXPECT_EQ(self.Pixel(1, 1), 0u);
    EXPECT_EQ(self.Pixel(2, 2), 11u);
}

TEST(TexturesTransforms, FlipsAndRotation) {
    THvBitmap32 t(3, 3, 0u);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x)
            t.SetPixel(x, y, uint32_t(10 * y + x));
    THvBitmap32 v(t);
    v.FlipVertical();
    EXPECT_EQ(v.Pixel(0, 0), 20u);
    EXPECT_EQ(v.Pixel(1, 1), 11u) << "the middle row stays";
    THvBitmap32 h(t);
    h.FlipHorizontal();
    EXPECT_EQ(h.Pixel(0, 2), 22u);
    EXPECT_EQ(h.Pixel(1, 2), 21u);

    THvBitmap32 r(3, 2, 0u); // 3 wide, 2 high
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            r.SetPixel(x, y, uint32_t(10 * y + x));
    r.Rotate90();
    ASSERT_EQ(r.Width(), 2);
    ASSERT_EQ(r.Height(), 3);
    EXPECT_EQ(r.Pixel(0, 0), 10u) << "top-left is the old bottom-left";
    EXPECT_EQ(r.Pixel(1, 0), 0u);
    EXPECT_EQ(r.Pixel(0, 2), 12u);
    EXPECT_EQ(r.Pixel(1, 2), 2u);
}

TEST(TexturesSample, BilinearLookup) {
    THvBitmap32 t(2, 2, 0u);
    t.SetPixel(0, 0, 0x000000FFu);
    t.SetPixel(1, 0, 0x00000000u);
    t.SetPixel(0, 1, 0x0000FF00u);
    t.SetPixel(1, 1, 0x00FF0000u);
    EXPECT_EQ(t.SampleBilinear(0, 0), 0x000000FFu);
    EXPECT_EQ(t.SampleBilinear(1, 1), 0x00FF0000u);
    EXPECT_EQ(t.SampleBilinear(5, 7), 0x00FF0000u) << "beyond 1 gives the last pixel";
    // Half way: fx = fy = 128, each weight 1/4: 255 * 128 * 128 >> 16 = 63.
    EXPECT_EQ(t.SampleBilinear(0.5L, 0.5L), 0x003F3F3Fu);
    EXPECT_EQ(THvBitmap32().SampleBilinear(0.5L, 0.5L), 0u);
    EXPECT_EQ(t.SampleBilinear(-1, 0), 0x000000FFu) << "negative reads the first pixel";
}

TEST(TexturesResample, SameSizeRowSamplesQuarterSteps) {
    // Positions 0, 0.75, 1.5, 2.25: pixel 1 mixes source pixels 0 and 1 with fx = 192.
    THvBitmap32 row(4, 1, 0u);
    row.SetPixel(0, 0, 0);
    row.SetPixel(1, 0, 0xFF);
    row.SetPixel(2, 0, 0);
    row.SetPixel(3, 0, 0xFF);
    const THvBitmap32 out(row, 4, 1, nullptr, nullptr);
    EXPECT_EQ(out.Pixel(0, 0), 0u);
    EXPECT_EQ(out.Pixel(1, 0), uint32_t(255 * 192 * 256 >> 16)); // 191
    EXPECT_EQ(out.Pixel(2, 0), 127u);                            // 1.5: half of pixel 1
    EXPECT_EQ(out.Pixel(3, 0), 63u);                             // 2.25: a quarter of pixel 3
}

TEST(TexturesResample, FactorChoice) {
    const THvBitmap32 source = RandomTexture(1000, 800, 1);
    // 1000 x 800 to 300 x 200: XFactor 4, YFactor 4.
    const THvBitmap32 bySize(source, 300, 200, nullptr, nullptr);
    const THvBitmap32 byFactors(source, 300, 200, 4, 4, nullptr, nullptr);
    EXPECT_TRUE(SamePixels(bySize, byFactors));
    const THvBitmap32 other(source, 300, 200, 4, 3, nullptr, nullptr);
    EXPECT_FALSE(SamePixels(bySize, other));
    // Enlargements take one sample per pixel.
    const THvBitmap32 small = RandomTexture(30, 20, 2);
    EXPECT_TRUE(SamePixels(THvBitmap32(small, 70, 45, nullptr, nullptr),
                           THvBitmap32(small, 70, 45, 1, 1, nullptr, nullptr)));
}

TEST(TexturesResample, UniformStaysUniform) {
    for (const uint32_t colour : {0x00000000u, 0x00FFFFFFu, 0x0080FF01u, 0x00123456u}) {
        const THvBitmap32 source(97, 61, colour);
        for (const auto& [w, h] : {std::pair{30, 20}, {97, 61}, {200, 7}, {1, 1}, {13, 150}}) {
            const THvBitmap32 out(source, w, h, nullptr, nullptr);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    ASSERT_EQ(out.Pixel(x, y), colour) << w << "x" << h;
        }
    }
}

TEST(TexturesResample, EmptyTargetLeavesProgressAlone) {
    const THvBitmap32 source(10, 10, 0xFFu);
    TProgressVar progress{55};
    const THvBitmap32 a(source, 0, 10, &progress, nullptr);
    EXPECT_EQ(a.Width(), 0);
    EXPECT_EQ(a.Height(), 0);
    const THvBitmap32 b(source, 10, 0, &progress, nullptr);
    EXPECT_EQ(b.Width(), 0);
    EXPECT_EQ(progress.load(), 55);
}

TEST(TexturesResample, CancelBeforeStartGivesBlack) {
    const THvBitmap32 source(50, 40, 0x00FFFFFFu);
    TProgressVar progress{-1};
    TCancelVar cancel{true};
    const THvBitmap32 out(source, 20, 10, &progress, &cancel);
    ASSERT_EQ(out.Width(), 20);
    ASSERT_EQ(out.Height(), 10);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_EQ(out.Pixel(x, y), 0u);
    EXPECT_EQ(progress.load(), 100);
}

TEST(TexturesResample, CancelWhileRunningKeepsProgressMonotonic) {
    const THvBitmap32 source = RandomTexture(1200, 900, 3);
    const THvBitmap32 full(source, 1100, 800, nullptr, nullptr);
    TProgressVar progress{0};
    TCancelVar cancel{false};
    std::atomic<bool> running{true};
    std::vector<int32_t> seen;
    std::thread watcher([&] {
        while (running.load()) {
            const int32_t p = progress.load();
            if (seen.empty() || seen.back() != p)
                seen.push_back(p);
            if (p >= 30)
                cancel.store(true);
        }
    });
    const THvBitmap32 out(source, 1100, 800, &progress, &cancel);
    running.store(false);
    watcher.join();
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(progress.load(), 100);
    // Every row is either finished, equal to the uncancelled result, or still black.
    for (int y = 0; y < out.Height(); ++y) {
        const bool black = std::all_of(out.Pixels(y), out.Pixels(y) + out.Width(),
                                       [](uint32_t p) { return p == 0; });
        const bool same = std::equal(out.Pixels(y), out.Pixels(y) + out.Width(), full.Pixels(y));
        ASSERT_TRUE(black || same) << "row " << y;
    }
}

TEST(TexturesResample, EmptySourceIsRefused) {
    const THvBitmap32 empty(0, 4, 0u);
    EXPECT_THROW(THvBitmap32(empty, 3, 3, nullptr, nullptr), EInvalidOperation);
    EXPECT_THROW(THvBitmap32(THvBitmap32(2, 2, 0u), 3, 3, 0, 1, nullptr, nullptr),
                 EInvalidOperation);
}

} // namespace
