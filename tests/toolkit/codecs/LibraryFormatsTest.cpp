// What the four library-backed formats (WebP, AVIF, HEIF, JPEG XL) share: they are known by
// their content whatever their extension says, and every truncation of a file is an error that
// names the file, never a crash or a partly drawn picture.
#include "EncoderTools.h"
#include "toolkit/Graphics.h"
#include "toolkit/codecs/AvifCodec.h"
#include "toolkit/codecs/CodecImage.h"
#include "toolkit/codecs/HeifCodec.h"
#include "toolkit/codecs/JxlCodec.h"
#include "toolkit/codecs/WebPCodec.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

using namespace encodertools;

namespace {

struct TFormatCase {
    const char* Name;
    const TCodec& (*Codec)();
    const char* Tool;
    QStringList Args; // %in and %out stand for the files
};

class LibraryFormats : public ::testing::TestWithParam<TFormatCase> {
protected:
    // A small transparent picture in the format, in dir.
    QByteArray Make(const QTemporaryDir& dir) {
        const TFormatCase& c = GetParam();
        const QString in = dir.filePath("in.png"), out = dir.filePath("out.bin");
        EXPECT_TRUE(Pattern(24, 16, true).save(in));
        QStringList args = c.Args;
        args.replaceInStrings("%in", in).replaceInStrings("%out", out);
        RunTool(c.Tool, args);
        return ReadAll(out);
    }
};

TEST_P(LibraryFormats, LoadByContentWhateverTheExtension) {
    REQUIRE_TOOLS(GetParam().Tool);
    QTemporaryDir dir;
    const QByteArray data = Make(dir);
    const QString lying = dir.filePath("photo.jpg");
    WriteAll(lying, data);
    TPicture picture;
    picture.LoadFromFile(lying);
    const auto* graphic = dynamic_cast<const TCodecImage*>(picture.Graphic());
    ASSERT_NE(graphic, nullptr);
    EXPECT_STREQ(graphic->Codec().Name, GetParam().Codec().Name);
    EXPECT_EQ(QSize(picture.Width(), picture.Height()), QSize(24, 16));
    EXPECT_TRUE(graphic->Transparent());
}

// The rows the streaming composition reads are the decoded picture's, and decoding reports its
// progress from start to end.
TEST_P(LibraryFormats, RowsAreThePicturesRowsAndProgressMoves) {
    REQUIRE_TOOLS(GetParam().Tool);
    QTemporaryDir dir;
    const QByteArray data = Make(dir);
    TCodecImage picture(GetParam().Codec());
    picture.LoadFromBytes(data, QStringLiteral("in"));
    const std::unique_ptr<TRowReader> rows = picture.OpenRows();
    ASSERT_NE(rows, nullptr);
    ASSERT_TRUE(rows->Alpha());
    std::vector<int> percents;
    picture.OnProgress = [&percents](TObject*, TProgressStage, uint8_t percent, bool, const TRect&,
                                     const QString&) { percents.push_back(percent); };
    picture.SetClock([t = int64_t(0)]() mutable { return t += 1000; }); // no event held back
    picture.DIBNeeded();
    for (int y = 0; y < picture.Height(); ++y)
        EXPECT_EQ(std::memcmp(rows->Row(y), picture.Image().constScanLine(y), 4 * 24), 0) << y;
    ASSERT_GE(percents.size(), 2u);
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_TRUE(
        std::any_of(percents.begin(), percents.end(), [](int p) { return p > 0 && p < 100; }));
}

TEST_P(LibraryFormats, EveryTruncationIsAnErrorNamingTheFile) {
    REQUIRE_TOOLS(GetParam().Tool);
    QTemporaryDir dir;
    const QByteArray data = Make(dir);
    ASSERT_GT(data.size(), 100);
    const QString prefix = QStringLiteral("%1 image \"cut.bin\" is not valid: ")
                               .arg(QLatin1String(GetParam().Codec().Name));
    for (qsizetype size = 0; size < data.size(); ++size) {
        TCodecImage picture(GetParam().Codec());
        try {
            picture.LoadFromBytes(data.left(size), QStringLiteral("cut.bin"));
            picture.DIBNeeded();
            ADD_FAILURE() << "the first " << size << " of " << data.size() << " bytes loaded";
        } catch (const EInvalidGraphic& e) {
            ASSERT_TRUE(e.Message().startsWith(prefix)) << e.Message().toStdString();
        }
        EXPECT_FALSE(picture.Decoded());
    }
}

// Damaged data: an error or a picture, never a crash, and nothing the libraries print on stderr.
TEST_P(LibraryFormats, DamagedDataLeavesStderrAlone) {
    REQUIRE_TOOLS(GetParam().Tool);
    QTemporaryDir dir;
    const QByteArray data = Make(dir);
    const QString log = dir.filePath("stderr.txt");
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    const int file = ::open(QFile::encodeName(log).constData(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(file, 0);
    ::dup2(file, STDERR_FILENO);
    ::close(file);
    int errors = 0;
    for (int i = 0; i < 60; ++i) {
        QByteArray damaged = data;
        const qsizetype at = 16 + (i * 7919) % (damaged.size() - 16);
        damaged[at] = char(damaged[at] ^ (1 << (i % 8)));
        damaged[(at * 3) % damaged.size()] = char(i * 37);
        try {
            TCodecImage picture(GetParam().Codec());
            picture.LoadFromBytes(damaged, QStringLiteral("damaged"));
            picture.DIBNeeded();
        } catch (const EInvalidGraphic&) {
            ++errors;
        }
    }
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    EXPECT_GT(errors, 0);
    EXPECT_EQ(ReadAll(log), QByteArray());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LibraryFormats,
    ::testing::Values(
        TFormatCase{"WebP", &WebPCodec, "cwebp", {"-quiet", "-q", "50", "%in", "-o", "%out"}},
        TFormatCase{"Avif", &AvifCodec, "avifenc", {"-s", "10", "%in", "-o", "%out"}},
        TFormatCase{"Heif", &HeifCodec, "heif-enc", {"-q", "30", "%in", "-o", "%out"}},
        TFormatCase{"Jxl", &JxlCodec, "cjxl", {"--quiet", "-d", "2", "%in", "%out"}}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
