// Pictures are read as what their content says, opened without blocking, read with a limit; BMP
// files are decoded on demand, row by row or whole, with the same pixels.
#include "toolkit/codecs/PictureFormats.h"
#include "support/Pictures.h"
#include "support/TestSupport.h"
#include "toolkit/codecs/BmpCodec.h"
#include "toolkit/codecs/Icon.h"
#include "toolkit/codecs/Jpeg.h"
#include "toolkit/codecs/PictureFile.h"
#include "toolkit/metafile/Metafile.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString Write(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

// The message LoadFromFile raises, or "" when it loads.
QString LoadError(TPicture& picture, const QString& path) {
    try {
        picture.LoadFromFile(path);
        return QString();
    } catch (const Exception& e) {
        return e.Message();
    }
}

TEST(PictureFormats, ContentDecidesTheClassAndTheExtensionOnlyWhereThereIsNone) {
    REQUIRE_TESTDATA();
    QTemporaryDir dir;
    const QByteArray bmp = ReadAll(testsupport::WritePatternBmp(dir.path(), "p.bmp", 9, 7));
    const QByteArray jpeg = ReadAll(testsupport::testData(QStringLiteral("jpeg/testorig.jpg")));
    const QByteArray icon = ReadAll(testsupport::testData(QStringLiteral("ico/multi.ico")));
    const QByteArray emf =
        ReadAll(testsupport::testData(QStringLiteral("metafile/windows-reference/drawing.emf")));
    struct Case {
        const char* Name;
        QByteArray Bytes;
        const char* Class; // the graphic's class, or the start of the error
    };
    const Case cases[] = {
        {"bitmap.jpg", bmp, "TBitmap"},
        {"photo.bmp", jpeg, "TJPEGImage"},
        {"photo.PNG", jpeg, "TJPEGImage"},
        {"icon.wmf", icon, "TIcon"},
        {"drawing.wmf", emf, "TMetafile"},
        {"noise.bmp", QByteArray(100, 'x'), "Bitmap \""}, // the extension's reader says why
        {"noise.jpeg", QByteArray(100, 'x'), "JPEG image \""},
        {"noise.txt", QByteArray(100, 'x'), "Unknown picture file extension (.txt)"},
        {"empty.dat", QByteArray(), "Unknown picture file extension (.dat)"},
    };
    for (const Case& c : cases) {
        TPicture picture;
        const QString error = LoadError(picture, Write(dir, QLatin1String(c.Name), c.Bytes));
        const QString kind =
            picture.Graphic() ? QString::fromLatin1(typeid(*picture.Graphic()).name()) : QString();
        if (error.isEmpty())
            EXPECT_TRUE(kind.contains(QLatin1String(c.Class)))
                << c.Name << ": " << kind.toStdString();
        else
            EXPECT_TRUE(error.startsWith(QLatin1String(c.Class)))
                << c.Name << ": " << error.toStdString();
    }
    // A file that is not there: its name's kind first.
    TPicture picture;
    EXPECT_EQ(LoadError(picture, dir.filePath("none.xyz")),
              QStringLiteral("Unknown picture file extension (.xyz)"));
    EXPECT_TRUE(LoadError(picture, dir.filePath("none.jpg")).startsWith("Cannot open file"));
    // The dialogs' filter: the toolkit's own formats first, in their order, then every other.
    const QString patterns = PictureFilePatterns(QLatin1Char(';'));
    EXPECT_TRUE(patterns.startsWith(QLatin1String("*.bmp;*.jpg;*.jpeg;*.ico;*.emf;*.wmf;")));
    for (const char* pattern :
         {"*.png", "*.gif", "*.tiff", "*.webp", "*.avif", "*.heic", "*.jxl", "*.svg", "*.svgz"})
        EXPECT_TRUE(patterns.split(QLatin1Char(';')).contains(QLatin1String(pattern))) << pattern;
}

TEST(PictureFiles, WhatIsNotARegularFileIsRefusedWithoutWaiting) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath("pipe.jpg");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString zero = dir.filePath("zero.bmp");
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), zero));
    for (const QString& path : {fifo, zero, dir.path()}) {
        auto load = std::async(std::launch::async, [path] {
            TPicture picture;
            return LoadError(picture, path);
        });
        if (load.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            // Unblock the reader so that the test can end, then fail.
            QFile writer(fifo);
            (void)writer.open(QIODevice::WriteOnly);
            FAIL() << path.toStdString() << " was waited on";
        }
        const QString error = load.get();
        EXPECT_TRUE(error.contains(QLatin1String("It is not a regular file")) ||
                    error.startsWith(QLatin1String("Unknown picture file extension")))
            << path.toStdString() << ": " << error.toStdString();
    }
    // Files are read up to a limit, also when they grow past their size.
    const QString big = Write(dir, "big.bin", QByteArray(300, 'b'));
    EXPECT_EQ(ReadPictureFile(big, 300).size(), 300);
    EXPECT_THROW(ReadPictureFile(big, 299), EOutOfResources);
    EXPECT_EQ(ReadPictureHead(big, 16), QByteArray(16, 'b'));
}

TEST(LazyBitmap, DecodedOnFirstUseWithTheSamePixelsWholeOrRowByRow) {
    REQUIRE_TESTDATA();
    for (const char* name : {"bmp/g/pal4.bmp", "bmp/g/pal8rle.bmp", "bmp/g/rgb24.bmp",
                             "bmp/g/pal1.bmp", "bmp/g/rgb16-565.bmp", "bmp/q/pal8rlecut.bmp"}) {
        const QString path = testsupport::testData(QLatin1String(name));
        TPixelFormat format = TPixelFormat::pfDevice;
        const QImage whole = DecodeBmp(ReadAll(path), path, &format);
        const QImage wholeBgr = whole.convertToFormat(QImage::Format_BGR888);

        TBitmap bitmap;
        bitmap.LoadFromFile(path);
        EXPECT_FALSE(bitmap.Decoded()) << name;
        EXPECT_EQ(bitmap.Width(), whole.width());
        EXPECT_EQ(bitmap.Height(), whole.height());
        EXPECT_EQ(bitmap.PixelFormat(), format);
        // Rows, read from the bottom up to show any order works, then whole 24-bit.
        std::unique_ptr<TRowReader> rows = bitmap.OpenRows();
        ASSERT_TRUE(rows) << name;
        for (int y = whole.height() - 1; y >= 0; --y)
            ASSERT_EQ(
                std::memcmp(rows->Row(y), wholeBgr.constScanLine(y), size_t(whole.width()) * 3), 0)
                << name << " row " << y;
        EXPECT_EQ(bitmap.Bgr24Image(), wholeBgr) << name;
        EXPECT_FALSE(bitmap.Decoded());
        // A copy shares the file; the first use of the pixels decodes them as DecodeBmp does.
        const std::unique_ptr<TGraphic> copy = bitmap.Clone();
        EXPECT_EQ(bitmap.Image(), whole) << name;
        EXPECT_TRUE(bitmap.Decoded());
        EXPECT_FALSE(bitmap.OpenRows()) << "decoded: used whole";
        auto* copied = dynamic_cast<TBitmap*>(copy.get());
        copied->SetPixelFormat(TPixelFormat::pf24bit); // decoded straight into 24 bits
        EXPECT_EQ(copied->Image(), wholeBgr) << name;
    }
}

} // namespace
