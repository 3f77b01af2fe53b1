// JPEG pictures: decoding against a plain libjpeg decode (PlainJpeg.h), the shared test files,
// damaged and oversized input, and the progress events the drawing thread relies on.
#include "toolkit/codecs/Jpeg.h"
#include "PlainJpeg.h"
#include "support/TestSupport.h"
#include "toolkit/Graphics.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

using plainjpeg::Encode;
using plainjpeg::Expected;

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot open " + path.toStdString());
    return f.readAll();
}

QString JpegData(const char* name) {
    return testsupport::testData(QStringLiteral("jpeg/") + QLatin1String(name));
}

void ExpectExact(const TJPEGImage& jpeg, const QByteArray& data, bool cmyk) {
    int w = 0, h = 0;
    const std::vector<QRgb> expected = Expected(data, cmyk, &w, &h);
    ASSERT_EQ(jpeg.Image().format(), QImage::Format_BGR888);
    ASSERT_EQ(jpeg.Image().width(), w);
    ASSERT_EQ(jpeg.Image().height(), h);
    for (int y = 0; y < h; ++y) {
        const uchar* row = jpeg.Image().constScanLine(y);
        for (int x = 0; x < w; ++x) {
            const QRgb got = qRgb(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
            ASSERT_EQ(got, expected[size_t(y) * w + x]) << "at " << x << "," << y;
        }
    }
}

struct Event {
    TObject* Sender;
    TProgressStage Stage;
    int Percent;
    int64_t Time;
    QString Message;
};

// Records progress events with the fake clock's time when each arrives.
struct Recorder {
    std::vector<Event> Events;
    int64_t Now = 0;
    int64_t Step = 0; // added on every clock read

    void Attach(TJPEGImage& jpeg) {
        jpeg.SetClock([this] { return Now += Step; });
        jpeg.OnProgress = [this](TObject* sender, TProgressStage stage, uint8_t percent, bool,
                                 const TRect&, const QString& msg) {
            Events.push_back({sender, stage, percent, Now, msg});
        };
    }
};

// ---------------------------------------------------------------------------------------------

TEST(Jpeg, SharedFilesDecodeExactlyAsLibjpegDoes) {
    REQUIRE_TESTDATA();
    for (const char* name : {"testorig.jpg", "testimgint.jpg", "testimgari.jpg", "progressive.jpg",
                             "gray.jpg", "cmyk.jpg"}) {
        SCOPED_TRACE(name);
        TJPEGImage jpeg;
        jpeg.LoadFromFile(JpegData(name));
        EXPECT_EQ(jpeg.Width(), 227);
        EXPECT_EQ(jpeg.Height(), 149);
        jpeg.DIBNeeded();
        ExpectExact(jpeg, ReadAll(JpegData(name)), QLatin1String(name) == "cmyk.jpg");
    }
}

TEST(Jpeg, TestImageMatchesItsLosslessRendering) {
    REQUIRE_TESTDATA();
    TJPEGImage jpeg;
    jpeg.LoadFromFile(JpegData("testorig.jpg"));
    jpeg.DIBNeeded();
    // The rendering in the test data is greyscale (Rec. 709 luma of the colours): compare the
    // luma of our colours with it. Rounding inside the decoder and of the luma allow 3 levels.
    const QImage ref = QImage(JpegData("testorig.png")).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(ref.size(), jpeg.Image().size());
    auto luma = [](const uchar* bgr) {
        return int(0.2126 * bgr[2] + 0.7152 * bgr[1] + 0.0722 * bgr[0] + 0.5);
    };
    int worst = 0;
    for (int y = 0; y < ref.height(); ++y)
        for (int x = 0; x < ref.width(); ++x)
            worst = std::max(worst, std::abs(luma(jpeg.Image().constScanLine(y) + 3 * x) -
                                             qGray(ref.pixel(x, y))));
    EXPECT_LE(worst, 3);
    // The CMYK and greyscale versions are re-encodings of the same picture.
    for (const char* other : {"cmyk.jpg", "gray.jpg"}) {
        TJPEGImage copy;
        copy.LoadFromFile(JpegData(other));
        copy.DIBNeeded();
        double sum = 0;
        for (int y = 0; y < ref.height(); ++y)
            for (int x = 0; x < ref.width(); ++x) {
                const uchar* p = copy.Image().constScanLine(y) + 3 * x;
                sum += std::abs(luma(p) - qGray(ref.pixel(x, y)));
            }
        EXPECT_LT(sum / (ref.width() * ref.height()), 4.0) << other;
    }
}

TEST(Jpeg, DamagedOrUnsupportedFilesGiveClearErrors) {
    REQUIRE_TESTDATA();
    auto loadError = [](const char* name) -> QString {
        TJPEGImage jpeg;
        try {
            jpeg.LoadFromFile(JpegData(name));
            TBitmap target(8, 8);
            target.Canvas()->Draw(0, 0, &jpeg);
        } catch (const EInvalidGraphic& e) {
            EXPECT_TRUE(e.Message().contains(JpegData(name))) << e.what();
            return e.Message();
        } catch (const EOutOfResources& e) {
            EXPECT_TRUE(e.Message().contains(JpegData(name))) << e.what();
            return e.Message();
        }
        return QStringLiteral("no error");
    };
    EXPECT_TRUE(loadError("garbage.jpg").contains(QLatin1String("Not a JPEG file")));
    EXPECT_TRUE(loadError("truncated.jpg").contains(QLatin1String("Premature end")));
    EXPECT_TRUE(loadError("monkey12.jpg").contains(QLatin1String("12 bits per sample")));
    EXPECT_TRUE(loadError("huge-dimensions.jpg").contains(QLatin1String("60000 x 60000")));
    TJPEGImage missing;
    EXPECT_THROW(missing.LoadFromFile(QStringLiteral("/nonexistent/a.jpg")), EFOpenError);
}

TEST(Jpeg, EveryTruncationFailsInsteadOfGivingAPartialPicture) {
    for (bool progressive : {false, true}) {
        const QByteArray full = Encode(24, 40, progressive);
        // Only the end-of-image marker may be missing: every row is there then.
        for (int cut = 0; cut < full.size() - 2; ++cut) {
            TJPEGImage jpeg;
            try {
                jpeg.LoadFromBytes(full.left(cut), QStringLiteral("cut.jpg"));
                jpeg.DIBNeeded();
                ADD_FAILURE() << "decoded with " << cut << " of " << full.size() << " bytes";
            } catch (const EInvalidGraphic& e) {
                EXPECT_TRUE(e.Message().contains(QLatin1String("cut.jpg")));
                EXPECT_FALSE(jpeg.Decoded());
            }
        }
        for (int cut : {0, 1, 2}) {
            TJPEGImage whole;
            whole.LoadFromBytes(full.left(full.size() - cut), QStringLiteral("whole.jpg"));
            try {
                whole.DIBNeeded();
                ExpectExact(whole, full, false);
            } catch (const EInvalidGraphic&) {
                EXPECT_GT(cut, 0);
            }
        }
    }
}

TEST(Jpeg, SizeLimitIsCheckedWhenLoading) {
    const QByteArray data = Encode(30, 20, false);
    TJPEGImage jpeg;
    jpeg.SetMaxPixels(599);
    EXPECT_THROW(jpeg.LoadFromBytes(data, QStringLiteral("a.jpg")), EOutOfResources);
    EXPECT_TRUE(jpeg.Empty());
    jpeg.SetMaxPixels(600);
    EXPECT_NO_THROW(jpeg.LoadFromBytes(data, QStringLiteral("a.jpg")));
}

TEST(Jpeg, AWorkingMemoryLimitFailsCleanly) {
    TJPEGImage jpeg;
    jpeg.SetMaxMemory(64 * 1024); // a progressive 256 x 256 picture needs about 200 KiB
    jpeg.LoadFromBytes(Encode(256, 256, true), QStringLiteral("p.jpg"));
    try {
        jpeg.DIBNeeded();
        ADD_FAILURE() << "decoded";
    } catch (const EInvalidGraphic& e) {
        EXPECT_TRUE(e.Message().contains(QLatin1String("more memory"))) << e.what();
    }
    jpeg.SetMaxMemory(0);
    EXPECT_NO_THROW(jpeg.DIBNeeded());
}

TEST(Jpeg, ReadWhenLoadedDecodedWhenFirstDrawn) {
    const QByteArray data = Encode(33, 17, false);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pattern.JPeG"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(data);
    file.close();

    TPicture picture;
    std::vector<std::pair<TObject*, TProgressStage>> events;
    picture.OnProgress = [&](TObject* sender, TProgressStage stage, uint8_t, bool, const TRect&,
                             const QString&) { events.emplace_back(sender, stage); };
    picture.LoadFromFile(path);
    auto* jpeg = dynamic_cast<TJPEGImage*>(picture.Graphic());
    ASSERT_NE(jpeg, nullptr);
    EXPECT_EQ(picture.Width(), 33);
    EXPECT_EQ(picture.Height(), 17);
    EXPECT_FALSE(jpeg->Decoded());
    EXPECT_TRUE(events.empty());
    ASSERT_TRUE(QFile::remove(path)); // everything needed was read when loading

    TBitmap target(40, 20);
    target.Canvas()->Draw(2, 1, jpeg);
    EXPECT_TRUE(jpeg->Decoded());
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().first, jpeg);
    EXPECT_EQ(events.front().second, TProgressStage::psStarting);
    EXPECT_EQ(events.back().second, TProgressStage::psEnding);
    // The picture lands at (2, 1), the rest stays white.
    EXPECT_EQ(target.Canvas()->Pixels(1, 1), clWhite);
    const uchar* p = jpeg->Image().constScanLine(0);
    EXPECT_EQ(target.Canvas()->Pixels(2, 1), TColor(p[2] | p[1] << 8 | p[0] << 16));
    const size_t count = events.size();
    target.Canvas()->Draw(0, 0, jpeg); // decoded once only
    EXPECT_EQ(events.size(), count);
    // A copy keeps the decoded picture.
    const auto copy = jpeg->Clone();
    EXPECT_TRUE(static_cast<TJPEGImage*>(copy.get())->Decoded());
}

// ---------------------------------------------------------------------------------------------
// Progress: starting 0, running with the whole percentage when it changed and at least 500 ms
// after the previous report, ending 100 (0 on failure), message empty, Sender the graphic.

void ExpectWellFormed(const std::vector<Event>& events, const TJPEGImage* jpeg, int endPercent) {
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().Stage, TProgressStage::psStarting);
    EXPECT_EQ(events.front().Percent, 0);
    EXPECT_EQ(events.back().Stage, TProgressStage::psEnding);
    EXPECT_EQ(events.back().Percent, endPercent);
    int previous = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].Sender, jpeg);
        EXPECT_TRUE(events[i].Message.isEmpty());
        if (i == 0 || i + 1 == events.size())
            continue;
        EXPECT_EQ(events[i].Stage, TProgressStage::psRunning);
        EXPECT_GT(events[i].Percent, previous) << "event " << i;
        EXPECT_LE(events[i].Percent, 100);
        previous = events[i].Percent;
    }
}

TEST(JpegProgress, FrozenClockGivesOnlyStartAndEnd) {
    TJPEGImage jpeg;
    Recorder rec;
    rec.Attach(jpeg);
    jpeg.LoadFromBytes(Encode(16, 512, false), QStringLiteral("tall.jpg"));
    jpeg.DIBNeeded();
    ExpectWellFormed(rec.Events, &jpeg, 100);
    EXPECT_EQ(rec.Events.size(), 2u);
}

TEST(JpegProgress, RunningReportsOnlyChangesAndNeverTwiceWithin500Ms) {
    for (bool progressive : {false, true}) {
        for (int64_t step : {1000, 120, 499}) {
            SCOPED_TRACE(testing::Message()
                         << (progressive ? "progressive" : "baseline") << ", clock step " << step);
            TJPEGImage jpeg;
            Recorder rec;
            rec.Step = step;
            rec.Attach(jpeg);
            jpeg.LoadFromBytes(Encode(16, 800, progressive), QStringLiteral("tall.jpg"));
            jpeg.DIBNeeded();
            ExpectWellFormed(rec.Events, &jpeg, 100);
            EXPECT_GE(rec.Events.size(), 5u);
            for (size_t i = 2; i + 1 < rec.Events.size(); ++i)
                EXPECT_GE(rec.Events[i].Time - rec.Events[i - 1].Time, 500);
            if (step == 1000) { // every change is reported: the percentages come close to 100
                EXPECT_GE(rec.Events[rec.Events.size() - 2].Percent, 90);
            }
        }
    }
}

TEST(JpegProgress, FailureEndsWithZeroAndCanBeRetried) {
    const QByteArray full = Encode(16, 400, false);
    TJPEGImage jpeg;
    Recorder rec;
    rec.Step = 1000;
    rec.Attach(jpeg);
    jpeg.LoadFromBytes(full.left(full.size() / 2), QStringLiteral("half.jpg"));
    for (int attempt = 0; attempt < 2; ++attempt) {
        rec.Events.clear();
        EXPECT_THROW(jpeg.DIBNeeded(), EInvalidGraphic);
        ExpectWellFormed(rec.Events, &jpeg, 0);
        EXPECT_FALSE(jpeg.Decoded());
    }
}

TEST(JpegProgress, AnErrorRaisedByTheHandlerStopsDecodingAndPropagates) {
    TJPEGImage jpeg;
    jpeg.SetClock([t = int64_t(0)]() mutable { return t += 1000; });
    jpeg.OnProgress = [](TObject*, TProgressStage stage, uint8_t, bool, const TRect&,
                         const QString&) {
        if (stage == TProgressStage::psRunning)
            throw EInvalidOperation(QStringLiteral("stop here"));
    };
    jpeg.LoadFromBytes(Encode(16, 400, true), QStringLiteral("p.jpg"));
    EXPECT_THROW(jpeg.DIBNeeded(), EInvalidOperation);
    EXPECT_FALSE(jpeg.Decoded());
}

} // namespace
