#include "imaging/Thumbnail.h"

#include "imaging/TextureResampler.h"
#include "toolkit/codecs/CodecImage.h"
#include "toolkit/codecs/Jpeg.h"

#include <QPainter>

TThumbnail::TThumbnail(int width, int height, QImage pixels, bool transparent)
    : FWidth(width), FHeight(height), FPixels(std::move(pixels)), FTransparent(transparent) {}

void TThumbnail::LoadFromFile(const QString&) {
    throw EInvalidOperation(QStringLiteral("A thumbnail cannot be loaded"));
}

void TThumbnail::LoadFromBytes(const QByteArray&, const QString&) {
    throw EInvalidOperation(QStringLiteral("A thumbnail cannot be loaded"));
}

void TThumbnail::Paint(QPainter& painter, const QRect& target) {
    if (!FPixels.isNull() && !target.isEmpty())
        painter.drawImage(target, FPixels);
}

std::unique_ptr<TGraphic> TThumbnail::Clone() const {
    return std::make_unique<TThumbnail>(FWidth, FHeight, FPixels, FTransparent);
}

namespace {

// Source rows (a plane of the picture) box-filtered down to size.
QImage Reduce(const hvresample::TPlane& source, QSize size) {
    const bool alpha = source.Layout == hvresample::TLayout::Bgra32;
    QImage image(size, alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_BGR888);
    hvresample::TPlane target;
    target.Data = image.bits();
    target.Stride = image.bytesPerLine();
    target.Width = size.width();
    target.Height = size.height();
    target.Layout = alpha ? hvresample::TLayout::Bgra32 : hvresample::TLayout::Bgr24;
    hvresample::Resample(source, target, hvresample::Factor(source.Width, size.width()),
                         hvresample::Factor(source.Height, size.height()), nullptr, nullptr);
    return image;
}

QImage Reduce(const QImage& picture, QSize size) {
    if (picture.size() == size)
        return picture;
    hvresample::TPlane source;
    source.Data = const_cast<uint8_t*>(picture.constBits()); // only read
    source.Stride = picture.bytesPerLine();
    source.Width = picture.width();
    source.Height = picture.height();
    source.Layout = picture.format() == QImage::Format_BGR888 ? hvresample::TLayout::Bgr24
                                                              : hvresample::TLayout::Bgra32;
    return Reduce(source, size);
}

} // namespace

std::unique_ptr<TThumbnail> MakeThumbnail(TGraphic* graphic, QSize box,
                                          const TProgressEvent& progress) {
    if (!graphic || graphic->Empty())
        return nullptr;
    const QSize own(graphic->Width(), graphic->Height());
    QSize size = own;
    if (!box.isEmpty() && (size.width() > box.width() || size.height() > box.height()))
        size = own.scaled(box, Qt::KeepAspectRatio);
    size = size.expandedTo(QSize(1, 1));
    const TRect whole = Rect(0, 0, own.width(), own.height());
    if (progress)
        progress(graphic, TProgressStage::psStarting, 0, false, whole, QString());

    QImage pixels;
    bool transparent = graphic->Transparent();
    if (graphic->Scalable()) {
        pixels = graphic->Render(size);
    } else if (auto* codec = dynamic_cast<TCodecImage*>(graphic)) {
        pixels = Reduce(codec->DecodeReduced(size), size);
    } else if (auto* jpeg = dynamic_cast<TJPEGImage*>(graphic)) {
        pixels = Reduce(jpeg->DecodeReduced(size), size);
    } else if (std::unique_ptr<TRowReader> rows = graphic->OpenRows()) {
        hvresample::TPlane source;
        source.Width = own.width();
        source.Height = own.height();
        source.Layout = rows->Alpha() ? hvresample::TLayout::Bgra32 : hvresample::TLayout::Bgr24;
        source.RowAt = [&rows](int y) { return rows->Row(y); };
        pixels = Reduce(source, size);
        transparent = rows->Alpha();
    } else if (auto* bitmap = dynamic_cast<TBitmap*>(graphic)) {
        pixels = Reduce(bitmap->Bgr24Image(), size);
    } else {
        // Icons and metafiles: drawn at the size they are shown.
        pixels = graphic->Render(size);
        transparent = true;
    }
    if (progress)
        progress(graphic, TProgressStage::psEnding, 100, false, whole, QString());
    return std::make_unique<TThumbnail>(own.width(), own.height(), std::move(pixels), transparent);
}
