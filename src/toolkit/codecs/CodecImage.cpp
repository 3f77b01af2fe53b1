#include "toolkit/codecs/CodecImage.h"

#include "toolkit/codecs/ColorProfile.h"
#include "toolkit/codecs/DecodeProgress.h"
#include "toolkit/codecs/Orientation.h"
#include "toolkit/codecs/PictureFile.h"

#include <QDir>
#include <QPainter>

#include <algorithm>
#include <vector>

namespace {

// (c x a + 127) / 255 for each colour of count straight blue, green, red, alpha pixels.
void Premultiply(uint8_t* pixels, int count) {
    for (int i = 0; i < count; ++i, pixels += 4) {
        const unsigned a = pixels[3];
        if (a == 255)
            continue;
        for (int c = 0; c < 3; ++c)
            pixels[c] = uint8_t((pixels[c] * a + 127) / 255);
    }
}

// A decoded row in sRGB, premultiplied where the picture has alpha.
void FinishRow(const TColorTransform* transform, bool alpha, uint8_t* row, int width) {
    if (transform)
        transform->Apply(row, width);
    if (alpha)
        Premultiply(row, width);
}

} // namespace

QSize TPictureDecoder::ReduceTo(int, int) {
    return QSize();
}

bool TPictureDecoder::DecodeInto(uint8_t*, qsizetype) {
    return false;
}

void TPictureDecoder::ReportProgress(int percent) {
    if (Progress && !Progress(percent))
        throw EAbort(QStringLiteral("Decoding was stopped"));
}

void ThrowInvalidPicture(const char* codec, const QString& name, const QString& why) {
    throw EInvalidGraphic(QStringLiteral("%1 image \"%2\" is not valid: %3")
                              .arg(QLatin1String(codec), QDir::toNativeSeparators(name), why));
}

void CheckPictureLimits(const char* codec, const QString& name, int64_t width, int64_t height,
                        int64_t bytesPerPixel) {
    if (width <= 0 || height <= 0)
        ThrowInvalidPicture(codec, name, QStringLiteral("the picture has no pixels"));
    if (width > kMaxPictureSide || height > kMaxPictureSide || width * height > kMaxPicturePixels ||
        width * height * std::max<int64_t>(bytesPerPixel, 1) > 4 * kMaxPicturePixels)
        throw EOutOfResources(QStringLiteral("%1 image \"%2\" is too large (%3 x %4 pixels)")
                                  .arg(QLatin1String(codec), QDir::toNativeSeparators(name))
                                  .arg(width)
                                  .arg(height));
}

// ---------------------------------------------------------------------------------------------

// Rows decoded while they are read, kept in a small ring.
class TCodecImage::TStreamedRows : public TRowReader {
public:
    TStreamedRows(const TCodecImage& owner, std::unique_ptr<TPictureDecoder> decoder)
        : FDecoder(std::move(decoder)), FAlpha(owner.FHeader.Alpha),
          FLayout(FAlpha ? TRowLayout::Bgra32 : TRowLayout::Bgr24),
          FTransform(TColorTransform::ToSrgb(owner.FHeader.IccProfile, FLayout)),
          FWidth(owner.FHeader.Width), FHeight(owner.FHeader.Height),
          FRowBytes(size_t(FWidth) * size_t(BytesPerPixel(FLayout))),
          FRing(FRowBytes * size_t(kRing)) {
        FDecoder->Start(FLayout);
    }

    const uint8_t* Row(int y) override {
        if (y < FNext - kRing || y >= FHeight)
            throw EInvalidOperation(QStringLiteral("Row %1 asked for out of order").arg(y));
        while (FNext <= y) {
            uint8_t* row = Slot(FNext);
            FDecoder->ReadRows(&row, 1);
            FinishRow(FTransform.get(), FAlpha, row, FWidth);
            ++FNext;
        }
        return Slot(y);
    }
    bool Alpha() const override { return FAlpha; }

private:
    static constexpr int kRing = 4;
    uint8_t* Slot(int y) { return FRing.data() + FRowBytes * size_t(y % kRing); }

    std::unique_ptr<TPictureDecoder> FDecoder;
    bool FAlpha;
    TRowLayout FLayout;
    std::unique_ptr<TColorTransform> FTransform;
    int FWidth, FHeight;
    size_t FRowBytes;
    std::vector<uint8_t> FRing;
    int FNext = 0;
};

TCodecImage::TCodecImage(const TCodec& codec) : FCodec(&codec), FClock(SteadyMilliseconds) {}

TCodecImage::~TCodecImage() = default;

void TCodecImage::SetClock(TClock clock) {
    FClock = clock ? std::move(clock) : TClock(SteadyMilliseconds);
}

void TCodecImage::LoadFromFile(const QString& fileName) {
    LoadFromBytes(ReadPictureFile(fileName), fileName);
}

void TCodecImage::LoadFromBytes(const QByteArray& data, const QString& name) {
    std::unique_ptr<TPictureDecoder> decoder =
        FCodec->Open(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()), name);
    TPictureHeader header = decoder->ReadHeader();
    CheckPictureLimits(FCodec->Name, name, header.Width, header.Height, 0);
    header.Orientation = ValidOrientation(header.Orientation);
    FData = data;
    FName = name;
    FHeader = header;
    FSize = OrientedSize(QSize(header.Width, header.Height), header.Orientation);
    FImage = QImage();
}

QImage TCodecImage::Decode(TPictureDecoder& decoder, QSize stored,
                           const std::function<bool(int)>& progress) const {
    const bool alpha = FHeader.Alpha;
    const TRowLayout layout = alpha ? TRowLayout::Bgra32 : TRowLayout::Bgr24;
    const std::unique_ptr<TColorTransform> transform =
        TColorTransform::ToSrgb(FHeader.IccProfile, layout);
    decoder.Progress = progress;
    decoder.Start(layout);

    const QSize upright = OrientedSize(stored, FHeader.Orientation);
    QImage image =
        AllocateImage(upright.width(), upright.height(),
                      alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_BGR888);
    if (FHeader.Orientation == 1 && decoder.DecodeInto(image.bits(), image.bytesPerLine())) {
        if (transform || alpha)
            for (int y = 0; y < image.height(); ++y)
                FinishRow(transform.get(), alpha, image.scanLine(y), image.width());
        return image;
    }
    DecodeUpright(
        image, stored, FHeader.Orientation, BytesPerPixel(layout),
        [&decoder](uint8_t* const* rows, int count) {
            decoder.ReadRows(rows, count);
            return true;
        },
        [&transform, alpha](uint8_t* row, int width) {
            FinishRow(transform.get(), alpha, row, width);
        });
    return image;
}

void TCodecImage::DIBNeeded() {
    if (!FImage.isNull() || Empty())
        return;
    const TRect whole = Rect(0, 0, Width(), Height());
    Progress(this, TProgressStage::psStarting, 0, false, whole, QString());
    TDecodeProgress throttle(
        [this, whole](int percent) {
            Progress(this, TProgressStage::psRunning, uint8_t(percent), false, whole, QString());
        },
        FClock);
    QImage image;
    try {
        std::unique_ptr<TPictureDecoder> decoder = FCodec->Open(
            reinterpret_cast<const uint8_t*>(FData.constData()), size_t(FData.size()), FName);
        decoder->ReadHeader();
        image = Decode(*decoder, QSize(FHeader.Width, FHeader.Height),
                       [&throttle](int percent) { return throttle.Running(percent); });
    } catch (...) {
        try {
            Progress(this, TProgressStage::psEnding, 0, false, whole, QString());
        } catch (...) {
            // The decoding error is the one to report.
        }
        if (throttle.HandlerError)
            std::rethrow_exception(throttle.HandlerError);
        throw;
    }
    FImage = std::move(image);
    Progress(this, TProgressStage::psEnding, 100, false, whole, QString());
}

QImage TCodecImage::DecodeReduced(QSize atLeast) const {
    if (!FImage.isNull())
        return FImage;
    std::unique_ptr<TPictureDecoder> decoder = FCodec->Open(
        reinterpret_cast<const uint8_t*>(FData.constData()), size_t(FData.size()), FName);
    decoder->ReadHeader();
    // Asked for in the stored orientation.
    const QSize wanted =
        OrientationSwapsSides(FHeader.Orientation) ? atLeast.transposed() : atLeast;
    QSize stored = decoder->ReduceTo(wanted.width(), wanted.height());
    if (stored.isEmpty())
        stored = QSize(FHeader.Width, FHeader.Height);
    return Decode(*decoder, stored, nullptr);
}

void TCodecImage::Paint(QPainter& painter, const QRect& target) {
    if (Empty() || target.isEmpty())
        return;
    DIBNeeded();
    painter.drawImage(target, FImage);
}

std::unique_ptr<TGraphic> TCodecImage::Clone() const {
    auto copy = std::make_unique<TCodecImage>(*FCodec);
    copy->FData = FData;
    copy->FName = FName;
    copy->FHeader = FHeader;
    copy->FSize = FSize;
    copy->FImage = FImage;
    copy->FClock = FClock;
    return copy;
}

std::unique_ptr<TRowReader> TCodecImage::OpenRows() {
    if (Empty())
        return nullptr;
    if (!FImage.isNull())
        return nullptr; // decoded: used whole
    if (FHeader.Orientation != 1)
        return nullptr;
    // A codec that decodes whole pictures holds its own copy while the rows are read from it;
    // that is still one copy fewer than decoding into the picture first.
    std::unique_ptr<TPictureDecoder> decoder = FCodec->Open(
        reinterpret_cast<const uint8_t*>(FData.constData()), size_t(FData.size()), FName);
    decoder->ReadHeader();
    return std::make_unique<TStreamedRows>(*this, std::move(decoder));
}
