// Loading metafiles: the size rules, the errors for damaged files, every real file of the
// shared test data, the corrupted ones under a time limit, and the renderings Windows made.
#include "MetafileBuilders.h"
#include "support/TestSupport.h"
#include "toolkit/Graphics.h"
#include "toolkit/metafile/Metafile.h"
#include "toolkit/metafile/MetafileInternal.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <thread>

using namespace mftest;

namespace {

// --- plain reference for the size rules, straight from the header bytes

int64_t RefU(const QByteArray& d, int at, int bytes) {
    int64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v * 256 + uint8_t(d[at + i]);
    return v;
}
int64_t RefI32(const QByteArray& d, int at) {
    return int32_t(uint32_t(RefU(d, at, 4)));
}
int64_t RefI16(const QByteArray& d, int at) {
    return int16_t(uint16_t(RefU(d, at, 2)));
}

// Rounds half away from zero, like MulDiv.
int64_t RefRound(long double v) {
    return int64_t(v < 0 ? -std::floor(-v + 0.5L) : std::floor(v + 0.5L));
}

QSize ReferenceSize(const QByteArray& d) {
    if (RefU(d, 0, 4) == 0x9AC6CDD7) {
        const long double inch = RefU(d, 14, 2);
        return QSize(int(RefRound(std::fabs(RefI16(d, 10) - RefI16(d, 6)) * 96.0L / inch)),
                     int(RefRound(std::fabs(RefI16(d, 12) - RefI16(d, 8)) * 96.0L / inch)));
    }
    if (RefU(d, 0, 4) == 1) {
        return QSize(int(RefRound((RefI32(d, 32) - RefI32(d, 24)) * 96.0L / 2540)),
                     int(RefRound((RefI32(d, 36) - RefI32(d, 28)) * 96.0L / 2540)));
    }
    // A WMF without the placeable header: the first window extent.
    int at = 18;
    while (at + 6 <= d.size()) {
        const int64_t words = RefU(d, at, 4);
        if (RefU(d, at + 4, 2) == 0x020C)
            return QSize(int(std::abs(RefI16(d, at + 8))), int(std::abs(RefI16(d, at + 6))));
        if (words < 3)
            break;
        at += int(words * 2);
    }
    return QSize();
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList Files(const QString& folder, const QString& pattern) {
    const QDir dir(testsupport::testData(folder));
    QStringList out;
    for (const QString& name : dir.entryList({pattern}, QDir::Files, QDir::Name))
        out << dir.filePath(name);
    return out;
}

// Loads and paints a file; returns an empty string or the error message.
QString LoadAndPaint(const QString& path, QSize* size = nullptr,
                     TMetafilePlayStats* stats = nullptr, QImage* image = nullptr,
                     int maxSide = 1200) {
    TMetafile picture;
    try {
        picture.LoadFromFile(path);
    } catch (const Exception& e) {
        return e.Message();
    }
    if (size)
        *size = QSize(picture.Width(), picture.Height());
    // Drawn at its own size, scaled down when that would be a huge image.
    const double scale =
        std::min(1.0, double(maxSide) / std::max(picture.Width(), picture.Height()));
    const int w = std::max(1, int(std::lround(picture.Width() * scale)));
    const int h = std::max(1, int(std::lround(picture.Height() * scale)));
    QImage out = Render(picture, w, h);
    if (stats)
        *stats = picture.LastPlayStats();
    if (image)
        *image = out;
    return QString();
}

// --- sizes

TEST(MetafileSize, EmfFrameAt96DotsPerInchRoundedLikeMulDiv) {
    TMetafile m;
    m.LoadFromBytes(TEmfBuilder(0, 0, 2540, 1270).Bytes(), QStringLiteral("a.emf"));
    EXPECT_EQ(m.Width(), 96);
    EXPECT_EQ(m.Height(), 48);
    EXPECT_TRUE(m.IsEnhanced());
    EXPECT_TRUE(m.Transparent());
    // 2899 * 96 / 2540 = 109.57 -> 110; a frame away from the origin counts by its extent.
    m.LoadFromBytes(TEmfBuilder(-100, -20999, 2799, 0).Bytes(), QStringLiteral("b.emf"));
    EXPECT_EQ(m.Width(), 110);
    EXPECT_EQ(m.Height(), 794);
}

TEST(MetafileSize, EmfSizesAgreeWithTheReferenceOverManyFrames) {
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return int((seed >> 8) % 200000);
    };
    for (int i = 0; i < 300; ++i) {
        const int l = next() - 100000, t = next() - 100000;
        const int w = next() % 150000 + 30, h = next() % 150000 + 30;
        const QByteArray bytes = TEmfBuilder(l, t, l + w, t + h).Bytes();
        TMetafile m;
        m.LoadFromBytes(bytes, QStringLiteral("r.emf"));
        ASSERT_EQ(QSize(m.Width(), m.Height()), ReferenceSize(bytes)) << l << " " << w;
    }
}

TEST(MetafileSize, PlaceableWmfBoundingBoxThroughItsUnitsPerInch) {
    TMetafile m;
    m.LoadFromBytes(TWmfBuilder(true, 0, 0, 1369, 1369, 1200).Bytes(), QStringLiteral("a.wmf"));
    EXPECT_EQ(m.Width(), 110); // 109.52
    EXPECT_TRUE(m.IsPlaceable());
    EXPECT_FALSE(m.IsEnhanced());
    // 5 units at 192 per inch are 2.5 pixels: halves go away from zero, as MulDiv rounds.
    m.LoadFromBytes(TWmfBuilder(true, -2, 10, 3, 13, 192).Bytes(), QStringLiteral("b.wmf"));
    EXPECT_EQ(m.Width(), 3);
    EXPECT_EQ(m.Height(), 2); // 1.5 -> 2
}

TEST(MetafileSize, PlaceableWmfWithAWrongChecksumIsAccepted) {
    TWmfBuilder b(true, 0, 0, 96, 48, 96);
    b.BreakChecksum();
    TMetafile m;
    m.LoadFromBytes(b.Bytes(), QStringLiteral("c.wmf"));
    EXPECT_EQ(m.Width(), 96);
    EXPECT_EQ(m.Height(), 48);
}

TEST(MetafileSize, WmfWithoutPlaceableHeaderTakesItsFirstWindowExtent) {
    TMetafile m;
    m.LoadFromBytes(TWmfBuilder(false)
                        .Rec(META_SETWINDOWORG, {0, 0})
                        .Rec(META_SETWINDOWEXT, {S(-67), 102}) // y, x
                        .Rec(META_SETWINDOWEXT, {500, 500})    // later extents do not count
                        .Bytes(),
                    QStringLiteral("d.wmf"));
    EXPECT_EQ(m.Width(), 102);
    EXPECT_EQ(m.Height(), 67);
    EXPECT_FALSE(m.IsPlaceable());
    // Capped: the larger side becomes 4096, proportions kept.
    m.LoadFromBytes(TWmfBuilder(false).Rec(META_SETWINDOWEXT, {10000, 20000}).Bytes(),
                    QStringLiteral("e.wmf"));
    EXPECT_EQ(m.Width(), 4096);
    EXPECT_EQ(m.Height(), 2048);
}

// --- errors

void ExpectInvalid(const QByteArray& bytes, const char* fragment) {
    TMetafile m;
    try {
        m.LoadFromBytes(bytes, QStringLiteral("damaged-picture.emf"));
        ADD_FAILURE() << "no error for: " << fragment;
    } catch (const EInvalidGraphic& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("damaged-picture.emf"))) << e.what();
        EXPECT_TRUE(e.Message().contains(QLatin1String(fragment))) << e.what();
    }
    EXPECT_EQ(m.Width(), 0); // a failed load leaves the picture as it was
}

TEST(MetafileErrors, NotAMetafile) {
    ExpectInvalid(QByteArray(), "neither an EMF nor a WMF");
    ExpectInvalid(QByteArray("GIF89a and more bytes than that........................"),
                  "neither an EMF nor a WMF");
}

TEST(MetafileErrors, EmfHeadersThatAreNotWhatTheyClaim) {
    const QByteArray good = TEmfBuilder(0, 0, 1000, 1000).Bytes();
    ExpectInvalid(good.left(60), "too short");
    QByteArray bad = good;
    bad[4] = char(200); // header size beyond the file... and not the 108 it is
    bad[5] = char(1);
    ExpectInvalid(bad, "header gives an invalid size");
    bad = good;
    qToLittleEndian<uint32_t>(uint32_t(good.size() + 100), bad.data() + 48);
    ExpectInvalid(bad, "truncated");
    ExpectInvalid(TEmfBuilder(0, 0, 0, 1000).Bytes(), "frame is empty");
    ExpectInvalid(TEmfBuilder(0, 0, 2000000000, 1000).Bytes(), "too large");
}

TEST(MetafileErrors, EmfRecordSizesThatCannotBeRight) {
    // Nothing valid follows a record whose size is not a multiple of four, or too small.
    QByteArray bytes =
        TEmfBuilder(0, 0, 1000, 1000).Rec(EMR_RECTANGLE, {0, 0, 10, 10}).Bytes(false);
    qToLittleEndian<uint32_t>(25, bytes.data() + 108 + 4);
    ExpectInvalid(bytes, "invalid size");
    qToLittleEndian<uint32_t>(4, bytes.data() + 108 + 4);
    ExpectInvalid(bytes, "invalid size");
    // Fewer than a record header's 8 bytes left (the header's size says so too).
    bytes = TEmfBuilder(0, 0, 1000, 1000).Bytes(false);
    bytes.append(QByteArray(4, '\1'));
    qToLittleEndian<uint32_t>(uint32_t(bytes.size()), bytes.data() + 48);
    ExpectInvalid(bytes, "cut short");
}

// Black filled rectangles over the left and the right half of a 20 x 10 picture.
TEmfBuilder TwoHalves(bool withSecond = true) {
    TEmfBuilder b = TEmfBuilder::Pixels(20, 10);
    b.Rec(EMR_SELECTOBJECT, {0x80000004})
        .Rec(EMR_SELECTOBJECT, {0x80000008}); // black brush, null pen
    b.Rec(EMR_RECTANGLE, {0, 0, 11, 11});
    if (withSecond)
        b.Rec(EMR_RECTANGLE, {10, 0, 21, 11});
    return b;
}

TEST(MetafileErrors, EmfChainResumesAfterARecordWithAMiscountedSize) {
    // The record before the second rectangle claims 4 bytes too few: the chain breaks in the
    // middle of it, and the valid records after it are played.
    TEmfBuilder b = TwoHalves(false);
    b.Rec(EMR_GDICOMMENT, {8, 0x11111111, 0x22222222}); // a comment, whose size will be off by 4
    b.Rec(EMR_RECTANGLE, {10, 0, 21, 11});
    QByteArray bytes = b.Bytes();
    const int comment = 108 + 12 + 12 + 24;
    ASSERT_EQ(qFromLittleEndian<uint32_t>(bytes.data() + comment), 70u);
    qToLittleEndian<uint32_t>(16, bytes.data() + comment + 4); // really 20
    TMetafile m;
    m.LoadFromBytes(bytes, QStringLiteral("gap.emf"));
    const QImage image = Render(m, 20, 10);
    EXPECT_EQ(At(image, 5, 5), 0x000000u);
    EXPECT_EQ(At(image, 15, 5), 0x000000u);
    EXPECT_EQ(m.LastPlayStats().Skipped, 0);
}

TEST(MetafileErrors, EmfLastRecordRunningPastTheEndOfACompleteFileEndsTheChain) {
    // The header's size matches the file, so the file is not truncated: the last record's
    // size field is damaged. The records before it are played.
    QByteArray bytes = TwoHalves().Bytes(false);
    qToLittleEndian<uint32_t>(4000, bytes.data() + bytes.size() - 24 + 4);
    TMetafile m;
    m.LoadFromBytes(bytes, QStringLiteral("tail.emf"));
    const QImage image = Render(m, 20, 10);
    EXPECT_EQ(At(image, 5, 5), 0x000000u);
    EXPECT_EQ(At(image, 15, 5), 0xFFFFFFu);
}

TEST(MetafileErrors, WmfHeadersAndRecords) {
    ExpectInvalid(TWmfBuilder(true, 0, 0, 10, 10, 0).Bytes(), "0 units per inch");
    ExpectInvalid(TWmfBuilder(true, 5, 5, 5, 9, 96).Bytes(), "bounding box is empty");
    ExpectInvalid(TWmfBuilder(false).Rec(META_LINETO, {1, 1}).Bytes(), "no window extent");
    QByteArray bytes = TWmfBuilder(true).Bytes();
    bytes[22 + 4] = 0x77; // version
    ExpectInvalid(bytes, "unknown version");
    bytes = TWmfBuilder(true).Rec(META_LINETO, {1, 1}).Bytes();
    qToLittleEndian<uint32_t>(2, bytes.data() + 22 + 18);
    ExpectInvalid(bytes, "invalid size");
    // Shorter than its header says: truncated.
    bytes = TWmfBuilder(true).Rec(META_LINETO, {1, 1}).Rec(META_LINETO, {2, 2}).Bytes();
    ExpectInvalid(bytes.left(bytes.size() - 10), "runs past the end");
}

TEST(MetafileErrors, AWmfWithADamagedLastRecordPlaysWhatComesBefore) {
    // The file is as long as its header says, but the last record's size is garbage (a
    // real-world file has exactly this): the records before it are played.
    QByteArray bytes = TWmfBuilder(false)
                           .Rec(META_SETWINDOWEXT, {10, 10})
                           .Rec(META_CREATEBRUSHINDIRECT, {0, 0x00FF, 0, 0}) // red brush, slot 0
                           .Rec(META_SELECTOBJECT, {0})
                           .Rec(META_SETBKMODE, {1})
                           .Rec(META_RECTANGLE, {10, 10, 0, 0})
                           .Rec(META_CREATEFONTINDIRECT, {0, 0, 0, 0, 0, 0, 0, 0, 0})
                           .Bytes(false);
    qToLittleEndian<uint32_t>(0x004A001C, bytes.data() + bytes.size() - 24);
    TMetafile m;
    m.LoadFromBytes(bytes, QStringLiteral("61338-like.wmf"));
    const QImage image = Render(m, 10, 10);
    EXPECT_EQ(At(image, 4, 4), 0xFF0000u);
}

TEST(MetafileErrors, MissingFileRaisesAnOpenErrorNamingIt) {
    TMetafile m;
    try {
        m.LoadFromFile(QStringLiteral("/nonexistent/folder/picture.wmf"));
        ADD_FAILURE();
    } catch (const EFOpenError& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("picture.wmf")));
    }
}

TEST(MetafileGraphic, CloneSharesTheDataAndKeepsTheSize) {
    TMetafile m;
    m.LoadFromBytes(TEmfBuilder::Pixels(20, 10).Rec(EMR_RECTANGLE, {2, 2, 12, 8}).Bytes(),
                    QStringLiteral("c.emf"));
    const std::unique_ptr<TGraphic> copy = m.Clone();
    ASSERT_TRUE(dynamic_cast<TMetafile*>(copy.get()));
    EXPECT_EQ(copy->Width(), m.Width());
    EXPECT_EQ(copy->Height(), m.Height());
    QImage a = Render(m, 20, 10);
    QImage b = Render(*static_cast<TMetafile*>(copy.get()), 20, 10);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(CreateMetafileGraphic() != nullptr);
}

// --- real files

TEST(MetafileRealFiles, EveryFileLoadsAtItsHeaderSizeAndDraws) {
    REQUIRE_TESTDATA();
    const QStringList files = Files(QStringLiteral("metafile/emf"), QStringLiteral("*.emf")) +
                              Files(QStringLiteral("metafile/wmf"), QStringLiteral("*.wmf"));
    ASSERT_GE(files.size(), 100);
    const QString out = testsupport::artefactDir(QStringLiteral("metafile"));
    for (const QString& path : files) {
        SCOPED_TRACE(path.toStdString());
        QSize size;
        TMetafilePlayStats stats;
        QImage image;
        const QString error = LoadAndPaint(path, &size, &stats, &image);
        ASSERT_TRUE(error.isEmpty()) << error.toStdString();
        EXPECT_EQ(size, ReferenceSize(ReadAll(path)));
        EXPECT_GT(stats.Records, 0);
        EXPECT_FALSE(stats.Truncated);
        EXPECT_EQ(stats.Skipped, 0) << "malformed records";
        EXPECT_TRUE(image.save(out + QLatin1Char('/') + QFileInfo(path).fileName() +
                               QStringLiteral(".png")));
    }
}

// --- corrupted files: a clear error or a drawing, within a time limit each

TEST(MetafileCorrupted, EachFailsCleanlyOrDrawsWithinTheTimeLimit) {
    REQUIRE_TESTDATA();
    const QStringList files = Files(QStringLiteral("metafile/corrupted"), QStringLiteral("*"));
    ASSERT_FALSE(files.isEmpty());
    constexpr auto kLimit = std::chrono::seconds(20);
    for (const QString& path : files) {
        SCOPED_TRACE(path.toStdString());
        auto task =
            std::make_shared<std::packaged_task<QString()>>([path] { return LoadAndPaint(path); });
        std::future<QString> result = task->get_future();
        std::thread worker([task] { (*task)(); });
        if (result.wait_for(kLimit) != std::future_status::ready) {
            // A hang cannot be recovered from inside the process: report it and stop.
            std::fprintf(stderr, "metafile hangs: %s\n", qPrintable(path));
            std::fflush(stderr);
            std::_Exit(1);
        }
        worker.join();
        const QString error = result.get();
        if (!error.isEmpty()) {
            EXPECT_TRUE(error.contains(QFileInfo(path).fileName())) << error.toStdString();
        }
    }
}

// --- the renderings Windows made

// Share of pixels that differ by more than `threshold` in any channel from the reference,
// and the share that also have no such match within one pixel (edges placed half a pixel
// differently by two rasterisers).
struct TDiff {
    double Raw = 0;
    double Shifted = 0;
};

TDiff Compare(const QImage& mine, const QImage& reference, int threshold = 48) {
    const QImage a = mine.convertToFormat(QImage::Format_RGB32);
    const QImage b = reference.convertToFormat(QImage::Format_RGB32);
    auto close = [&](QRgb p, QRgb q) {
        return std::abs(qRed(p) - qRed(q)) <= threshold &&
               std::abs(qGreen(p) - qGreen(q)) <= threshold &&
               std::abs(qBlue(p) - qBlue(q)) <= threshold;
    };
    int64_t raw = 0, shifted = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            if (close(p, b.pixel(x, y)))
                continue;
            ++raw;
            bool near = false;
            for (int dy = -1; dy <= 1 && !near; ++dy)
                for (int dx = -1; dx <= 1 && !near; ++dx) {
                    const int xx = x + dx, yy = y + dy;
                    near = xx >= 0 && yy >= 0 && xx < b.width() && yy < b.height() &&
                           close(p, b.pixel(xx, yy));
                }
            if (!near)
                ++shifted;
        }
    const double n = double(a.width()) * a.height();
    return {raw / n, shifted / n};
}

// Tolerance. Two rasterisers place the edges of a figure up to a pixel apart, so the measure is
// the share of pixels that differ from Windows' rendering by more than 48 levels in some
// channel and have no such match within one pixel either: at most 0.5%. The share that differ
// in place, edges included, must stay below 5%: a figure drawn a pixel too far over its whole
// outline still passes that, one drawn in the wrong place or size does not.
constexpr double kRawTolerance = 0.05;
constexpr double kShiftedTolerance = 0.005;

// fitDrawn: the reference was made through Windows' conversion of the WMF (without its
// placeable header) into an EMF whose frame is the bounds of what the records draw; those
// bounds fill the image. Otherwise the picture's frame fills the image.
void CompareWithWindows(const QString& file, const QString& referencePng, bool fitDrawn) {
    REQUIRE_TESTDATA();
    const QImage reference(
        testsupport::testData(QStringLiteral("metafile/windows-reference/") + referencePng));
    ASSERT_FALSE(reference.isNull());
    TMetafile picture;
    picture.LoadFromFile(
        testsupport::testData(QStringLiteral("metafile/windows-reference/") + file));
    QImage mine;
    if (fitDrawn) {
        const QRectF drawn = picture.DrawnBounds();
        ASSERT_FALSE(drawn.isEmpty());
        const double sx = reference.width() / drawn.width();
        const double sy = reference.height() / drawn.height();
        mine = QImage(reference.size(), QImage::Format_ARGB32_Premultiplied);
        mine.fill(Qt::white);
        QPainter painter(&mine);
        picture.PaintRect(painter,
                          QRectF(-drawn.left() * sx, -drawn.top() * sy, picture.Width() * sx,
                                 picture.Height() * sy),
                          false);
    } else {
        mine = Render(picture, reference.width(), reference.height());
    }
    mine.save(testsupport::artefactDir(QStringLiteral("metafile")) + QStringLiteral("/") +
              referencePng + QStringLiteral(".mine.png"));
    const TDiff diff = Compare(mine, reference);
    std::printf("[ measured ] %s at %dx%d: %.4f%% differ, %.4f%% without a match within 1 px\n",
                qPrintable(file), reference.width(), reference.height(), diff.Raw * 100,
                diff.Shifted * 100);
    EXPECT_LE(diff.Raw, kRawTolerance);
    EXPECT_LE(diff.Shifted, kShiftedTolerance);
}

TEST(MetafileWindowsReference, EmfMatchesWindows) {
    CompareWithWindows(QStringLiteral("drawing.emf"), QStringLiteral("drawing_emf_ref.png"), false);
}

TEST(MetafileWindowsReference, WmfMatchesWindows) {
    CompareWithWindows(QStringLiteral("drawing.wmf"), QStringLiteral("drawing_wmf_ref.png"), true);
}

TEST(MetafileWindowsReference, WmfMatchesWindowsAtTwiceTheSize) {
    CompareWithWindows(QStringLiteral("drawing.wmf"), QStringLiteral("drawing_wmf_ref_144.png"),
                       true);
}

} // namespace
