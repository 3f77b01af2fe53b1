#include "EncoderTools.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace encodertools {

QString Tool(const QString& name) {
    const QString path = QStringLiteral("/usr/bin/") + name;
    return QFileInfo(path).isExecutable() ? path : QString();
}

void RunTool(const QString& tool, const QStringList& args) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("/usr/bin/") + tool, args);
    const bool ok = process.waitForFinished(120000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    ASSERT_TRUE(ok) << tool.toStdString() << " " << args.join(QLatin1Char(' ')).toStdString()
                    << " failed:\n"
                    << process.readAll().toStdString();
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

QImage Pattern(int width, int height, bool alpha, bool sixteenBits) {
    QImage image(width, height, sixteenBits ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool corner = x < std::max(2, width / 5) && y < std::max(2, height / 5);
            const int r = corner ? 65535 : x * 65535 / std::max(1, width - 1);
            const int g = y * 65535 / std::max(1, height - 1);
            const int b = ((x + 2 * y) * 4099) % 65536;
            const int a = alpha ? 65535 - x * 65535 / std::max(1, width - 1) : 65535;
            image.setPixelColor(x, y,
                                QColor::fromRgba64(quint16(r), quint16(g), quint16(b), quint16(a)));
        }
    if (!alpha)
        return image.convertToFormat(sixteenBits ? QImage::Format_RGBX64 : QImage::Format_RGB888);
    return image;
}

TDecoded DecodeRaw(const TCodec& codec, const QByteArray& data, QSize reduce) {
    std::unique_ptr<TPictureDecoder> decoder =
        codec.Open(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()), "test");
    TDecoded out;
    out.Header = decoder->ReadHeader();
    QSize size(out.Header.Width, out.Header.Height);
    if (reduce.isValid()) {
        const QSize reduced = decoder->ReduceTo(reduce.width(), reduce.height());
        if (!reduced.isEmpty())
            size = reduced;
    }
    const bool alpha = out.Header.Alpha;
    decoder->Start(alpha ? TRowLayout::Bgra32 : TRowLayout::Bgr24);
    out.Image = QImage(size, alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    const int bpp = alpha ? 4 : 3;
    for (int y = 0; y < size.height(); ++y) {
        uint8_t* row = out.Image.scanLine(y);
        decoder->ReadRows(&row, 1);
        for (int x = 0; x < size.width(); ++x)
            std::swap(row[x * bpp], row[x * bpp + 2]);
    }
    return out;
}

namespace {

// Portable arbitrary map (P7), as dwebp -pam writes it: 8-bit RGB_ALPHA.
QImage ReadPam(const QByteArray& data) {
    const qsizetype end = data.indexOf("ENDHDR\n");
    if (!data.startsWith("P7\n") || end < 0)
        return QImage();
    int width = 0, height = 0, depth = 0;
    for (const QByteArray& line : data.left(end).split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() != 2)
            continue;
        if (parts[0] == "WIDTH")
            width = parts[1].toInt();
        else if (parts[0] == "HEIGHT")
            height = parts[1].toInt();
        else if (parts[0] == "DEPTH")
            depth = parts[1].toInt();
    }
    const char* pixels = data.constData() + end + 7;
    if (depth != 4 || data.size() - end - 7 < qsizetype(width) * height * 4)
        return QImage();
    QImage image(width, height, QImage::Format_RGBA8888);
    for (int y = 0; y < height; ++y)
        std::memcpy(image.scanLine(y), pixels + size_t(y) * size_t(width) * 4, size_t(width) * 4);
    return image;
}

QImage AsRgba64(const QImage& image) {
    return image.convertToFormat(QImage::Format_RGBA64);
}

} // namespace

QImage ReadReference(const QString& path) {
    const QByteArray data = ReadAll(path);
    if (data.startsWith("P7\n"))
        return ReadPam(data);
    QImage image = QImage::fromData(data);
    if (image.isNull())
        return image;
    if (image.depth() > 32)
        return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_RGBA64
                                                             : QImage::Format_RGBX64);
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_RGBA8888
                                                         : QImage::Format_RGB888);
}

int MaxDifference(const QImage& a, const QImage& b) {
    if (a.size() != b.size())
        return -1;
    const QImage x = AsRgba64(a), y = AsRgba64(b);
    int worst = 0;
    for (int row = 0; row < x.height(); ++row) {
        const auto* p = reinterpret_cast<const QRgba64*>(x.constScanLine(row));
        const auto* q = reinterpret_cast<const QRgba64*>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col) {
            const bool clear = p[col].alpha() == 0 && q[col].alpha() == 0;
            const int d[4] = {clear ? 0 : std::abs(int(p[col].red()) - int(q[col].red())),
                              clear ? 0 : std::abs(int(p[col].green()) - int(q[col].green())),
                              clear ? 0 : std::abs(int(p[col].blue()) - int(q[col].blue())),
                              std::abs(int(p[col].alpha()) - int(q[col].alpha()))};
            for (int v : d)
                worst = std::max(worst, (v + 256) / 257);
        }
    }
    return worst;
}

QImage AsPicture(const QImage& straight) {
    if (!straight.hasAlphaChannel())
        return straight.convertToFormat(QImage::Format_BGR888);
    const QImage in = straight.convertToFormat(QImage::Format_RGBA8888);
    QImage out(in.size(), QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < in.height(); ++y) {
        const uint8_t* p = in.constScanLine(y);
        auto* q = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < in.width(); ++x, p += 4) {
            const unsigned a = p[3];
            auto pm = [a](unsigned c) { return int((c * a + 127) / 255); };
            q[x] = qRgba(pm(p[0]), pm(p[1]), pm(p[2]), int(a));
        }
    }
    return out;
}

QImage Oriented(const QImage& stored, int orientation) {
    const int w = stored.width(), h = stored.height();
    const bool swap = orientation >= 5 && orientation <= 8;
    QImage out(swap ? h : w, swap ? w : h, stored.format());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int u = x, v = y;
            switch (orientation) {
            case 2:
                u = w - 1 - x;
                break;
            case 3:
                u = w - 1 - x;
                v = h - 1 - y;
                break;
            case 4:
                v = h - 1 - y;
                break;
            case 5:
                u = y;
                v = x;
                break;
            case 6:
                u = h - 1 - y;
                v = x;
                break;
            case 7:
                u = h - 1 - y;
                v = w - 1 - x;
                break;
            case 8:
                u = y;
                v = w - 1 - x;
                break;
            default:
                break;
            }
            const int bpp = stored.depth() / 8;
            std::memcpy(out.scanLine(v) + u * bpp, stored.constScanLine(y) + x * bpp, size_t(bpp));
        }
    return out;
}

} // namespace encodertools
