#include "support/TestSupport.h"
#include "toolkit/Graphics.h"
#include "toolkit/codecs/BmpCodec.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <future>

namespace {

TEST(Bitmap, NewBitmapsStartWhiteAndKeepContentWhenResized) {
    TBitmap bmp;
    EXPECT_EQ(bmp.Width(), 0);
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    bmp.SetWidth(5);
    EXPECT_EQ(bmp.Width(), 5);
    EXPECT_EQ(bmp.Height(), 0);
    bmp.SetHeight(3);
    ASSERT_EQ(bmp.Height(), 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(bmp.Canvas()->Pixels(x, y), clWhite);
    bmp.Canvas()->SetPixels(1, 1, clRed);
    bmp.SetSize(7, 4);
    EXPECT_EQ(bmp.Canvas()->Pixels(1, 1), clRed);
    EXPECT_EQ(bmp.Canvas()->Pixels(6, 3), clWhite);
    EXPECT_EQ(bmp.Canvas()->Pixels(7, 0), -1);
    EXPECT_EQ(bmp.Canvas()->Pixels(-1, 0), -1);
}

TEST(Bitmap, ScanLinesHoldBlueGreenRed) {
    TBitmap bmp(3, 2, TPixelFormat::pf24bit);
    bmp.Canvas()->SetPixels(2, 1, TColor(0x112233)); // blue 0x11, green 0x22, red 0x33
    const uint8_t* row = bmp.ScanLine(1);
    EXPECT_EQ(row[6], 0x11);
    EXPECT_EQ(row[7], 0x22);
    EXPECT_EQ(row[8], 0x33);
    bmp.SetPixelFormat(TPixelFormat::pf32bit);
    EXPECT_EQ(bmp.Canvas()->Pixels(2, 1), TColor(0x112233));
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_EQ(bmp.Canvas()->Pixels(2, 1), TColor(0x112233));
}

TEST(Bitmap, SystemColoursDrawAsTheCurrentPaletteColour) {
    SetSysColorProvider([](int index) { return index == 15 ? TColor(0x00C0FFEE) : 0; });
    TBitmap bmp(4, 4, TPixelFormat::pf24bit);
    bmp.Canvas()->Brush().Color = clBtnFace;
    bmp.Canvas()->FillRect(Rect(0, 0, 4, 4));
    EXPECT_EQ(bmp.Canvas()->Pixels(3, 3), TColor(0x00C0FFEE));
    bmp.Canvas()->SetPixels(0, 0, clBtnFace);
    EXPECT_EQ(bmp.Canvas()->Pixels(0, 0), TColor(0x00C0FFEE));
    SetSysColorProvider(nullptr);
}

// A 24-bit BMP is read back exactly, for widths that need every amount of row padding.
TEST(Bitmap, SavesTwentyFourBitFilesWithPaddedBottomUpRows) {
    QTemporaryDir dir;
    for (int w : {1, 2, 3, 4, 5, 17}) {
        TBitmap bmp(w, 3, TPixelFormat::pf24bit);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < w; ++x)
                bmp.Canvas()->SetPixels(x, y, TColor((x * 40) | (y * 80) << 8 | (x + y) << 16));
        const QString path = dir.filePath(QStringLiteral("w%1.bmp").arg(w));
        bmp.SaveToFile(path);
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        const int stride = (w * 3 + 3) & ~3;
        EXPECT_EQ(bytes.size(), 54 + stride * 3);
        EXPECT_EQ(uint8_t(bytes[28]), 24);
        // bottom row first: pixel (0, 2) is at offset 54
        EXPECT_EQ(uint8_t(bytes[54 + 1]), uint8_t(160));
        TBitmap back;
        back.LoadFromFile(path);
        ASSERT_EQ(back.Width(), w);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < w; ++x)
                EXPECT_EQ(back.Canvas()->Pixels(x, y), bmp.Canvas()->Pixels(x, y));
    }
}

TEST(Bitmap, SaveToAnUnwritablePlaceRaisesAndNamesTheFile) {
    TBitmap bmp(2, 2, TPixelFormat::pf24bit);
    try {
        bmp.SaveToFile("/nonexistent-dir/x.bmp");
        FAIL() << "no error";
    } catch (const EFCreateError& e) {
        EXPECT_TRUE(e.Message().contains("/nonexistent-dir/x.bmp"));
    }
}

TEST(Canvas, LockIsReentrantAndExcludesOtherThreads) {
    TBitmap bmp(1, 1, TPixelFormat::pf24bit);
    TCanvas* c = bmp.Canvas();
    c->Lock();
    c->Lock();
    EXPECT_EQ(c->LockCount(), 2);
    auto other = std::async(std::launch::async, [c] { return c->TryLock(); });
    EXPECT_FALSE(other.get());
    c->Unlock();
    c->Unlock();
    EXPECT_EQ(c->LockCount(), 0);
    auto again = std::async(std::launch::async, [c] {
        const bool ok = c->TryLock();
        if (ok)
            c->Unlock();
        return ok;
    });
    EXPECT_TRUE(again.get());
}

TEST(Canvas, DrawClipsAtTheEdges) {
    TBitmap dest(4, 4, TPixelFormat::pf24bit);
    TBitmap tile(3, 3, TPixelFormat::pf24bit);
    tile.Canvas()->Brush().Color = clBlue;
    tile.Canvas()->FillRect(Rect(0, 0, 3, 3));
    dest.Canvas()->Draw(2, -1, &tile);
    EXPECT_EQ(dest.Canvas()->Pixels(1, 0), clWhite);
    EXPECT_EQ(dest.Canvas()->Pixels(2, 0), clBlue);
    EXPECT_EQ(dest.Canvas()->Pixels(3, 1), clBlue);
    EXPECT_EQ(dest.Canvas()->Pixels(3, 2), clWhite);
    dest.Canvas()->Draw(-10, -10, &tile); // wholly outside: nothing happens
}

TEST(Picture, UnknownExtensionsAreRefusedWithTheirName) {
    TPicture pic;
    try {
        pic.LoadFromFile("/tmp/picture.TGA");
        FAIL() << "no error";
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(e.Message(), "Unknown picture file extension (.tga)");
    }
}

TEST(Picture, MissingFileNamesTheFile) {
    TPicture pic;
    try {
        pic.LoadFromFile("/nonexistent/picture.bmp");
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains("/nonexistent/picture.bmp")) << e.what();
    }
}

} // namespace
