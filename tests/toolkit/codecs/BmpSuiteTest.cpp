// The BMP conformance suite in the shared test data: good files load and equal their reference
// renderings, questionable ones load or fail cleanly, bad ones fail with an error.
//
// Comparison: the decoded picture and the reference have the same size and, for every pixel
// the reference shows (alpha above 0), equal red, green and blue. Our bitmaps are opaque, so
// pixels a reference leaves fully transparent are not compared; partly transparent ones compare
// their stored colour, which is what an opaque reader shows. All references the suite offers
// for the good files are PNG, so the good files are compared exactly.
#include "support/TestSupport.h"
#include "toolkit/Graphics.h"
#include "toolkit/codecs/BmpCodec.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

QString SuitePath(const QString& relative) {
    return testsupport::testData(QStringLiteral("bmp/") + relative);
}

// reference/index.txt: "folder/file.bmp ref1.png ref2.png ..." per line.
std::map<QString, QStringList> ReadIndex() {
    std::map<QString, QStringList> index;
    QFile file(SuitePath(QStringLiteral("reference/index.txt")));
    if (!file.open(QIODevice::ReadOnly))
        return index;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('#')) || line.trimmed().isEmpty())
            continue;
        const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        index[parts[0]] = parts.mid(1);
    }
    return index;
}

QStringList Files(const QString& folder) {
    return QDir(SuitePath(folder)).entryList({QStringLiteral("*.bmp")}, QDir::Files, QDir::Name);
}

QImage Decode(const QString& relative, TPixelFormat* format = nullptr) {
    QFile file(SuitePath(relative));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot open " + relative.toStdString());
    TPixelFormat dummy;
    return DecodeBmp(file.readAll(), SuitePath(relative), format ? format : &dummy);
}

// Largest channel difference over the pixels the reference shows; -1 when the sizes differ.
int MaxDifference(const QImage& decoded, const QImage& referenceImage) {
    const QImage ours = decoded.convertToFormat(QImage::Format_ARGB32);
    const QImage ref = referenceImage.convertToFormat(QImage::Format_ARGB32);
    if (ours.size() != ref.size())
        return -1;
    int worst = 0;
    for (int y = 0; y < ref.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(ours.constScanLine(y));
        const auto* b = reinterpret_cast<const QRgb*>(ref.constScanLine(y));
        for (int x = 0; x < ref.width(); ++x) {
            if (qAlpha(b[x]) == 0)
                continue;
            worst = std::max({worst, std::abs(qRed(a[x]) - qRed(b[x])),
                              std::abs(qGreen(a[x]) - qGreen(b[x])),
                              std::abs(qBlue(a[x]) - qBlue(b[x]))});
        }
    }
    return worst;
}

// True when the picture equals one of the references within the tolerance (JPEG references
// get at least 8 levels: they are lossy renderings).
bool MatchesOne(const QImage& decoded, const QStringList& references, int tolerance,
                std::string* report) {
    for (const QString& name : references) {
        const QImage ref(SuitePath(QStringLiteral("reference/") + name));
        if (ref.isNull()) {
            *report += " " + name.toStdString() + ": missing";
            continue;
        }
        const bool jpeg = name.endsWith(QLatin1String(".jpg"));
        const int diff = MaxDifference(decoded, ref);
        *report += " " + name.toStdString() + ": " + (diff < 0 ? "size" : std::to_string(diff));
        if (diff >= 0 && diff <= (jpeg ? std::max(tolerance, 8) : tolerance))
            return true;
    }
    return false;
}

TEST(BmpSuite, GoodFilesLoadAndEqualTheirReferences) {
    REQUIRE_TESTDATA();
    const auto index = ReadIndex();
    const QStringList files = Files(QStringLiteral("g"));
    ASSERT_GE(files.size(), 27);
    int matched = 0;
    for (const QString& file : files) {
        const QString rel = QStringLiteral("g/") + file;
        SCOPED_TRACE(rel.toStdString());
        QImage img;
        try {
            img = Decode(rel);
        } catch (const Exception& e) {
            ADD_FAILURE() << "does not load: " << e.what();
            continue;
        }
        const auto refs = index.find(rel);
        ASSERT_NE(refs, index.end()) << "no reference listed";
        std::string report;
        if (MatchesOne(img, refs->second, 0, &report))
            ++matched;
        else
            ADD_FAILURE() << "differs from its references:" << report;
    }
    EXPECT_EQ(matched, files.size());
    std::printf("[bmp suite] g: %d of %d equal their reference\n", matched, int(files.size()));
}

TEST(BmpSuite, GoodFilesReportTheirPixelFormat) {
    REQUIRE_TESTDATA();
    const std::pair<const char*, TPixelFormat> cases[] = {
        {"g/pal1.bmp", TPixelFormat::pf1bit},       {"g/pal4rle.bmp", TPixelFormat::pf4bit},
        {"g/pal8os2.bmp", TPixelFormat::pf8bit},    {"g/rgb16.bmp", TPixelFormat::pf15bit},
        {"g/rgb16-565.bmp", TPixelFormat::pf16bit}, {"g/rgb24.bmp", TPixelFormat::pf24bit},
        {"g/rgb32bf.bmp", TPixelFormat::pf32bit},
    };
    for (const auto& [file, expected] : cases) {
        SCOPED_TRACE(file);
        TPixelFormat format = TPixelFormat::pfDevice;
        const QImage img = Decode(QString::fromLatin1(file), &format);
        EXPECT_EQ(format, expected);
        EXPECT_EQ(img.format(),
                  expected == TPixelFormat::pf24bit ? QImage::Format_BGR888 : QImage::Format_RGB32);
        TBitmap bmp;
        bmp.LoadFromFile(SuitePath(QString::fromLatin1(file)));
        EXPECT_EQ(bmp.PixelFormat(), expected);
        EXPECT_EQ(bmp.Width(), 127);
    }
}

// What we decided for the questionable files: most are read like Windows reads them; the
// ones below are refused or differ for a stated reason.
TEST(BmpSuite, QuestionableFilesLoadOrFailCleanly) {
    REQUIRE_TESTDATA();
    const auto index = ReadIndex();
    // Compressions and depths screen bitmaps do not use.
    const std::set<QString> refused = {"q/pal1huffmsb.bmp", "q/rgb24jpeg.bmp", "q/rgb24png.bmp",
                                       "q/rgba64.bmp"};
    // Pixels stored for colour management through the embedded profile, which is not applied.
    const std::set<QString> notCompared = {"q/rgb24prof2.bmp"};
    // Fields wider than 8 bits are rounded to nearest; the reference differs by one level.
    const std::map<QString, int> tolerance = {{"q/rgb32-111110.bmp", 1}};
    int loaded = 0, failed = 0, equal = 0;
    const QStringList files = Files(QStringLiteral("q"));
    ASSERT_GE(files.size(), 40);
    for (const QString& file : files) {
        const QString rel = QStringLiteral("q/") + file;
        SCOPED_TRACE(rel.toStdString());
        QImage img;
        try {
            img = Decode(rel);
        } catch (const EInvalidGraphic& e) {
            ++failed;
            EXPECT_TRUE(refused.count(rel)) << "refused: " << e.what();
            EXPECT_TRUE(e.Message().contains(SuitePath(rel))) << e.what();
            continue;
        }
        ++loaded;
        EXPECT_FALSE(refused.count(rel)) << "expected to be refused";
        QStringList refs = index.count(rel) ? index.at(rel) : QStringList();
        // RLE pixels the file leaves undefined keep palette entry 0, as in a new Windows DIB.
        if (rel.contains(QLatin1String("rlecut")) || rel.contains(QLatin1String("rletrns")))
            refs = refs.filter(QStringLiteral("-0.png"));
        if (refs.isEmpty() || notCompared.count(rel))
            continue;
        std::string report;
        const int tol = tolerance.count(rel) ? tolerance.at(rel) : 0;
        if (MatchesOne(img, refs, tol, &report))
            ++equal;
        else
            ADD_FAILURE() << "differs from its references:" << report;
    }
    std::printf("[bmp suite] q: %d loaded (%d equal their reference), %d refused\n", loaded, equal,
                failed);
}

TEST(BmpSuite, BadFilesFailWithAnErrorNamingTheFile) {
    REQUIRE_TESTDATA();
    const QStringList files = Files(QStringLiteral("b"));
    ASSERT_GE(files.size(), 20);
    int refused = 0;
    for (const QString& file : files) {
        const QString rel = QStringLiteral("b/") + file;
        SCOPED_TRACE(rel.toStdString());
        try {
            Decode(rel);
            ADD_FAILURE() << "loaded";
        } catch (const Exception& e) {
            const bool expectedType = dynamic_cast<const EInvalidGraphic*>(&e) ||
                                      dynamic_cast<const EOutOfResources*>(&e);
            EXPECT_TRUE(expectedType) << e.what();
            EXPECT_TRUE(e.Message().contains(SuitePath(rel))) << e.what();
            ++refused;
        }
    }
    std::printf("[bmp suite] b: %d of %d refused\n", refused, int(files.size()));
}

TEST(BmpSuite, ExtraFilesLoadOrFailCleanly) {
    REQUIRE_TESTDATA();
    // An OS/2 bitmap array: its first bitmap is read.
    const QImage img = Decode(QStringLiteral("x/ba-bm.bmp"));
    std::string report;
    EXPECT_TRUE(MatchesOne(img, {QStringLiteral("pal8.png")}, 0, &report)) << report;
    for (const QString& file : Files(QStringLiteral("x"))) {
        try {
            Decode(QStringLiteral("x/") + file);
        } catch (const EInvalidGraphic&) {
        }
    }
}

} // namespace
