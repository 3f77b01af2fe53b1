#include "toolkit/codecs/SvgImage.h"

#include "toolkit/codecs/PictureDecoder.h"
#include "toolkit/codecs/PictureFile.h"

#include <QDir>
#include <QPainter>

#include <cmath>
#include <zlib.h>

namespace {

constexpr const char* kCodec = "SVG";

QString Shown(const QString& name) {
    return QDir::toNativeSeparators(name);
}

[[noreturn]] void TooLarge(const QString& name, int64_t maxBytes) {
    throw EOutOfResources(QStringLiteral("SVG image \"%1\" is too large (more than %2 bytes of "
                                         "SVG text)")
                              .arg(Shown(name))
                              .arg(maxBytes));
}

QByteArray Gunzip(const QByteArray& data, const QString& name, int64_t maxBytes) {
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        throw EOutOfResources(
            QStringLiteral("SVG image \"%1\": cannot decompress").arg(Shown(name)));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    QByteArray text;
    int result = Z_OK;
    while (result == Z_OK) {
        // One byte more than the limit tells text that goes past it.
        const qsizetype room = qsizetype(std::min<int64_t>(maxBytes + 1 - text.size(), 1 << 20));
        if (room <= 0) {
            inflateEnd(&stream);
            TooLarge(name, maxBytes);
        }
        const qsizetype before = text.size();
        text.resize(before + room);
        stream.next_out = reinterpret_cast<Bytef*>(text.data() + before);
        stream.avail_out = uInt(room);
        result = inflate(&stream, Z_NO_FLUSH);
        text.resize(before + room - qsizetype(stream.avail_out));
        if (result == Z_BUF_ERROR && stream.avail_in > 0)
            result = Z_OK; // out of room, more to come
    }
    const char* why = stream.msg;
    inflateEnd(&stream);
    if (text.size() > maxBytes)
        TooLarge(name, maxBytes);
    if (result != Z_STREAM_END)
        ThrowInvalidPicture(kCodec, name,
                            result == Z_BUF_ERROR
                                ? QStringLiteral("the compressed data ends too early")
                                : QStringLiteral("the compressed data is damaged (%1)")
                                      .arg(QString::fromLatin1(why ? why : "zlib error")));
    return text;
}

} // namespace

bool IsGzip(const QByteArray& head) {
    return head.size() >= 3 && head.startsWith("\x1F\x8B\x08");
}

QByteArray SvgText(const QByteArray& data, const QString& name, int64_t maxBytes) {
    if (IsGzip(data))
        return Gunzip(data, name, maxBytes);
    if (data.size() > maxBytes)
        TooLarge(name, maxBytes);
    return data;
}

TSvgImage::TSvgImage() = default;
TSvgImage::~TSvgImage() = default;

int TSvgImage::CpuSeconds(int64_t pixels) const {
    return FTimeLimit > 0 ? FTimeLimit : svgrender::DefaultCpuSeconds(pixels);
}

void TSvgImage::LoadFromFile(const QString& fileName) {
    // A compressed file larger than the text limit would not fit it either.
    LoadFromBytes(ReadPictureFile(fileName, svgrender::kMaxSvgBytes), fileName);
}

void TSvgImage::LoadFromBytes(const QByteArray& data, const QString& name) {
    auto source = std::make_shared<const svgrender::TSource>(SvgText(data, name));
    const svgrender::TFrame frame = svgrender::Measure(*source, name, CpuSeconds(0));
    // Fractional sizes are rounded up, so that no part of the picture is cut off.
    const double width = std::ceil(frame.Width), height = std::ceil(frame.Height);
    CheckPictureLimits(kCodec, name, int64_t(std::min(width, 1e12)),
                       int64_t(std::min(height, 1e12)));
    FSource = std::move(source);
    FName = name;
    FFrame = frame;
    FSize = QSize(int(width), int(height));
}

QImage TSvgImage::RenderPart(QSize size, const QRect& part) const {
    if (!FSource)
        throw EInvalidOperation(QStringLiteral("An empty SVG image cannot be drawn"));
    CheckPictureLimits(kCodec, FName, size.width(), size.height());
    if (!QRect(QPoint(0, 0), size).contains(part) || part.isEmpty())
        throw EInvalidOperation(QStringLiteral("Part (%1, %2, %3 x %4) of an SVG image drawn "
                                               "at %5 x %6 asked for")
                                    .arg(part.left())
                                    .arg(part.top())
                                    .arg(part.width())
                                    .arg(part.height())
                                    .arg(size.width())
                                    .arg(size.height()));
    const int64_t pixels = int64_t(part.width()) * part.height();
    return svgrender::Render(*FSource, FFrame, size, part, FName, CpuSeconds(pixels));
}

QImage TSvgImage::Render(QSize size) {
    return RenderPart(size, QRect(QPoint(0, 0), size));
}

void TSvgImage::Paint(QPainter& painter, const QRect& target) {
    if (!FSource || target.isEmpty())
        return;
    QRect part = target;
    // Where the painter only moves, only what it can paint on is drawn.
    if (painter.transform().type() <= QTransform::TxTranslate && painter.device()) {
        const QRect device(0, 0, painter.device()->width(), painter.device()->height());
        QRectF visible = painter.transform().inverted().mapRect(QRectF(device));
        if (painter.hasClipping())
            visible &= painter.clipBoundingRect();
        part &= visible.toAlignedRect();
        if (part.isEmpty())
            return;
    }
    const QImage drawn = RenderPart(target.size(), part.translated(-target.topLeft()));
    painter.drawImage(part.topLeft(), drawn);
}

std::unique_ptr<TGraphic> TSvgImage::Clone() const {
    auto copy = std::make_unique<TSvgImage>();
    copy->FSource = FSource;
    copy->FName = FName;
    copy->FFrame = FFrame;
    copy->FSize = FSize;
    copy->FTimeLimit = FTimeLimit;
    return copy;
}
