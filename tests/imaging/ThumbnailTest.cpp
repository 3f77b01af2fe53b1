// Thumbnails: the size they are shown at (never enlarged), the picture's own size kept, made
// without decoding the picture whole where it can give its rows or a reduced scale, the
// box-filtered pixels.
#include "imaging/Thumbnail.h"
#include "imaging/Wallpaper.h"
#include "support/Pictures.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

TEST(Thumbnail, ShownSizeOwnSizeAndUndecodedPictures) {
    QTemporaryDir dir;
    const QString wide = testsupport::WritePatternBmp(dir.path(), "wide.bmp", 400, 100);
    const QString small = testsupport::WritePatternBmp(dir.path(), "small.bmp", 30, 20);
    struct Case {
        QString Path;
        QSize Box, Shown;
        bool Reduced = false; // JPEG: decoded at half the size, then box-filtered
    };
    std::vector<Case> cases = {
        {wide, {100, 75}, {100, 25}},
        {wide, {200, 150}, {200, 50}},
        {small, {100, 75}, {30, 20}}, // never enlarged
    };
    if (!testsupport::testDataDir().isEmpty()) {
        cases.push_back({testsupport::testData("jpeg/testorig.jpg"), {100, 75}, {100, 65}, true});
        cases.push_back({testsupport::testData("bmp/g/pal8rle.bmp"), {64, 64}, {64, 32}});
    }
    for (const Case& c : cases) {
        TPicture picture;
        picture.LoadFromFile(c.Path);
        int events = 0;
        const auto thumbnail = MakeThumbnail(picture.Graphic(), c.Box,
                                             [&events](TObject*, TProgressStage, uint8_t, bool,
                                                       const TRect&, const QString&) { ++events; });
        ASSERT_TRUE(thumbnail);
        EXPECT_EQ(thumbnail->Pixels().size(), c.Shown) << c.Path.toStdString();
        EXPECT_EQ(thumbnail->Width(), picture.Width());
        EXPECT_EQ(thumbnail->Height(), picture.Height());
        EXPECT_FALSE(picture.Graphic()->Decoded()) << "read row by row: " << c.Path.toStdString();
        EXPECT_EQ(events, 2) << "starting and ending";
        // The pixels are the picture box-filtered to that size, as the composer stretches it.
        const std::unique_ptr<TBitmap> stretched =
            ComposeWallpaper(c.Shown.width(), c.Shown.height(), nullptr,
                             PictureToBitmap(&picture).get(), false, 0, nullptr, nullptr, nullptr);
        const QImage& got = thumbnail->Pixels();
        const QImage& want = stretched->Image();
        ASSERT_EQ(got.format(), want.format());
        int worst = 0;
        double total = 0;
        for (int y = 0; y < want.height(); ++y)
            for (int x = 0; x < want.width() * 3; ++x) {
                const int d = std::abs(got.constScanLine(y)[x] - want.constScanLine(y)[x]);
                worst = std::max(worst, d);
                total += d;
            }
        // Decoded at a reduced scale: close (edges differ most), else exact.
        EXPECT_LE(worst, c.Reduced ? 48 : 0) << c.Path.toStdString();
        EXPECT_LE(total / (want.width() * 3.0 * want.height()), c.Reduced ? 3.0 : 0.0);
    }
    TPicture empty;
    EXPECT_FALSE(MakeThumbnail(empty.Graphic(), QSize(100, 75)));
}

} // namespace
