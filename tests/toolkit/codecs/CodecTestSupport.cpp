#include "CodecTestSupport.h"
#include "EncoderTools.h"

#include "toolkit/Graphics.h"
#include "toolkit/codecs/CodecImage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include <unistd.h>

namespace codectest {

using encodertools::ReadAll;

namespace {

// Runs /usr/bin/python3 with a PATH of its own; false with *output on failure.
bool RunPython(const QStringList& arguments, QString* output) {
    QProcess python;
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    env.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
    python.setProcessEnvironment(env);
    python.setProcessChannelMode(QProcess::MergedChannels);
    python.start(QStringLiteral("/usr/bin/python3"), arguments);
    const bool ran = python.waitForFinished(120000);
    *output = QString::fromUtf8(python.readAll());
    return ran && python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0;
}

uint32_t Le32(const QByteArray& b, int at) {
    const auto* p = reinterpret_cast<const uint8_t*>(b.constData() + at);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

QString Pixel(const uint8_t* p, int n) {
    QStringList parts;
    for (int i = 0; i < n; ++i)
        parts << QString::number(p[i]);
    return parts.join(QLatin1Char(','));
}

// The expected row y in the decoded form: blue, green, red (opaque) or premultiplied blue,
// green, red, alpha.
std::vector<uint8_t> ExpectedRow(const QImage& expected, int y, bool alpha) {
    std::vector<uint8_t> row;
    const uint8_t* p = expected.constScanLine(y);
    for (int x = 0; x < expected.width(); ++x, p += 4) {
        const unsigned a = alpha ? p[3] : 255;
        for (int c = 2; c >= 0; --c)
            row.push_back(uint8_t((p[c] * a + 127) / 255));
        if (alpha)
            row.push_back(uint8_t(a));
    }
    return row;
}

QString CompareRow(const uint8_t* got, const std::vector<uint8_t>& want, int y, int bpp) {
    for (size_t i = 0; i < want.size(); i += size_t(bpp))
        if (std::memcmp(got + i, want.data() + i, size_t(bpp)) != 0)
            return QStringLiteral("pixel %1, %2 is %3, not %4")
                .arg(i / size_t(bpp))
                .arg(y)
                .arg(Pixel(got + i, bpp), Pixel(want.data() + i, bpp));
    return QString();
}

} // namespace

const TPictures& PillowPictures(const QString& format) {
    static QTemporaryDir root;
    static std::map<QString, TPictures> made;
    if (made.count(format))
        return made[format];
    TPictures& pictures = made[format];
    QString output;
    if (!QFileInfo(QStringLiteral("/usr/bin/python3")).isExecutable() ||
        !RunPython({QStringLiteral("-c"), QStringLiteral("import PIL")}, &output)) {
        pictures.Skip = QStringLiteral("/usr/bin/python3 with Pillow (python3-pil) is missing");
        return pictures;
    }
    const QString dir = pictures.Dir = root.filePath(format);
    const QString script =
        QStringLiteral(TAPESTRIX_SOURCE_DIR "/tests/toolkit/codecs/pillow_pictures.py");
    if (!RunPython({script, format, dir}, &output)) {
        ADD_FAILURE() << "pillow_pictures.py failed: " << output.toStdString();
        return pictures;
    }
    const auto lines = [&dir](const char* list) {
        QStringList out;
        for (const QByteArray& line : ReadAll(dir + QLatin1Char('/') + list).split('\n'))
            if (!line.isEmpty())
                out << QString::fromUtf8(line);
        return out;
    };
    for (const QString& line : lines("manifest.txt")) {
        const QStringList fields = line.split(QLatin1Char(' '));
        TPictureCase c;
        c.Path = dir + QLatin1Char('/') + fields.value(0);
        c.Alpha = fields.value(1) == QLatin1String("1");
        c.Orientation = fields.value(2).toInt();
        const QByteArray rgba = ReadAll(c.Path + QStringLiteral(".rgba"));
        const int w = int(Le32(rgba, 0)), h = int(Le32(rgba, 4));
        c.Expected = QImage(reinterpret_cast<const uchar*>(rgba.constData() + 8), w, h, w * 4,
                            QImage::Format_RGBA8888)
                         .copy();
        c.IccProfile = ReadAll(c.Path + QStringLiteral(".icc"));
        pictures.Good.push_back(c);
    }
    for (const QString& line : lines("refused.txt")) {
        const QStringList fields = line.split(QLatin1Char(' '));
        pictures.Refused.push_back({dir + QLatin1Char('/') + fields.value(0),
                                    fields.value(1) == QLatin1String("large"),
                                    fields.mid(2).join(QLatin1Char(' '))});
    }
    return pictures;
}

namespace {

// Empty (readable in failures) when the file is refused as the case says; else what happened.
std::string CheckRefused(const TCodec& codec, const TRefusedCase& refused) {
    const QString begins =
        QStringLiteral("%1 image \"%2\" is ").arg(QLatin1String(codec.Name), refused.Path);
    try {
        TCodecImage image(codec);
        image.LoadFromFile(refused.Path);
        image.DIBNeeded();
    } catch (const EOutOfResources& e) {
        if (refused.Large && e.Message() == begins + QStringLiteral("too large ") + refused.Text)
            return {};
        return e.Message().toStdString();
    } catch (const EInvalidGraphic& e) {
        if (!refused.Large && e.Message() == begins + QStringLiteral("not valid: ") + refused.Text)
            return {};
        return e.Message().toStdString();
    } catch (const Exception& e) {
        return e.Message().toStdString();
    }
    return "it decodes";
}

// Empty when a picture over codec loads the file with the expected header and decodes it to the
// expected pixels, whole and, for upright pictures, row by row; else what differs.
std::string CheckPicture(const TCodec& codec, const TPictureCase& picture) {
    TCodecImage image(codec);
    try {
        image.LoadFromFile(picture.Path);
        const TPictureHeader& header = image.Header();
        if (header.Alpha != picture.Alpha || header.Orientation != picture.Orientation ||
            header.IccProfile != picture.IccProfile)
            return (QStringLiteral("header: alpha %1, orientation %2, profile of %3 bytes")
                        .arg(header.Alpha)
                        .arg(header.Orientation)
                        .arg(header.IccProfile.size()))
                .toStdString();
        if (image.Width() != picture.Expected.width() ||
            image.Height() != picture.Expected.height())
            return (QStringLiteral("size %1 x %2").arg(image.Width()).arg(image.Height()))
                .toStdString();
        const int bpp = picture.Alpha ? 4 : 3;
        if (std::unique_ptr<TRowReader> rows = image.OpenRows()) {
            for (int y = 0; y < image.Height(); ++y) {
                const QString diff = CompareRow(
                    rows->Row(y), ExpectedRow(picture.Expected, y, picture.Alpha), y, bpp);
                if (!diff.isEmpty())
                    return (QStringLiteral("row by row: ") + diff).toStdString();
            }
        } else if (picture.Orientation == 1) {
            return "an upright picture is not read row by row";
        }
        image.DIBNeeded();
        for (int y = 0; y < image.Height(); ++y) {
            const QString diff =
                CompareRow(image.Image().constScanLine(y),
                           ExpectedRow(picture.Expected, y, picture.Alpha), y, bpp);
            if (!diff.isEmpty())
                return diff.toStdString();
        }
    } catch (const Exception& e) {
        return e.Message().toStdString();
    }
    return {};
}

QImage DecodeBytes(const TCodec& codec, const QByteArray& data, const QString& name) {
    TCodecImage image(codec);
    image.LoadFromBytes(data, name);
    image.DIBNeeded();
    return image.Image();
}

// Empty when every prefix of data shorter than it raises EInvalidGraphic when it is loaded or
// decoded; else the first that did not.
std::string CheckTruncations(const TCodec& codec, const QByteArray& data) {
    for (qsizetype n = 0; n < data.size(); ++n) {
        try {
            DecodeBytes(codec, data.left(n), QStringLiteral("cut"));
            return (QStringLiteral("the first %1 of %2 bytes decode").arg(n).arg(data.size()))
                .toStdString();
        } catch (const EInvalidGraphic&) {
        } catch (const Exception& e) {
            return (QStringLiteral("the first %1 bytes: %2").arg(n).arg(e.Message())).toStdString();
        }
    }
    return {};
}

std::string CheckLoadsByContent(const QString& path, const TCodec& codec) {
    TPicture picture;
    try {
        picture.LoadFromFile(path);
    } catch (const Exception& e) {
        return e.Message().toStdString();
    }
    const auto* image = dynamic_cast<const TCodecImage*>(picture.Graphic());
    if (!image || &image->Codec() != &codec)
        return (QStringLiteral("not loaded as %1").arg(QLatin1String(codec.Name))).toStdString();
    return {};
}

// What is written to the standard error stream while work runs.
QString CapturedStderr(const std::function<void()>& work) {
    std::fflush(stderr);
    QTemporaryDir dir;
    const QByteArray path = dir.filePath(QStringLiteral("stderr")).toLocal8Bit();
    const int saved = dup(2);
    std::FILE* file = std::fopen(path.constData(), "w");
    dup2(fileno(file), 2);
    try {
        work();
    } catch (...) {
    }
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::fclose(file);
    return QString::fromUtf8(ReadAll(QString::fromLocal8Bit(path)));
}

} // namespace

void ExpectPicturesDecode(const TCodec& codec, const TPictures& pictures,
                          const std::function<bool(const QString& path)>& sequential) {
    EXPECT_FALSE(pictures.Good.empty());
    for (const TPictureCase& picture : pictures.Good) {
        EXPECT_EQ(CheckPicture(codec, picture), "") << picture.Path.toStdString();
        if (!sequential)
            continue;
        const QByteArray data = ReadAll(picture.Path);
        auto decoder = codec.Open(reinterpret_cast<const uint8_t*>(data.constData()),
                                  size_t(data.size()), picture.Path);
        decoder->ReadHeader();
        EXPECT_EQ(decoder->Sequential(), sequential(picture.Path)) << picture.Path.toStdString();
    }
}

void ExpectRefused(const TCodec& codec, const TPictures& pictures, const QStringList& truncated) {
    EXPECT_FALSE(pictures.Refused.empty());
    const QString printed = CapturedStderr([&] {
        for (const TRefusedCase& refused : pictures.Refused)
            EXPECT_EQ(CheckRefused(codec, refused), "") << refused.Path.toStdString();
        for (const QString& name : truncated)
            EXPECT_EQ(CheckTruncations(codec, ReadAll(pictures.Dir + '/' + name)), "")
                << name.toStdString();
    });
    EXPECT_EQ(printed.toStdString(), "");
}

void ExpectLoadsByContent(const TCodec& codec, const TPictures& pictures, const QString& name,
                          const QString& lyingName) {
    QTemporaryDir dir;
    const QString lying = dir.filePath(lyingName);
    ASSERT_TRUE(QFile::copy(pictures.Dir + '/' + name, lying));
    EXPECT_EQ(CheckLoadsByContent(lying, codec), "");
}

} // namespace codectest
