#include "toolkit/codecs/Jpeg.h"

#include "toolkit/codecs/ColorProfile.h"
#include "toolkit/codecs/DecodeProgress.h"
#include "toolkit/codecs/JpegReader.h"
#include "toolkit/codecs/Orientation.h"
#include "toolkit/codecs/PictureFile.h"

#include <QDir>
#include <QPainter>

#include <algorithm>
#include <exception>
#include <vector>

// How a reader's rows reach sRGB: CMYK samples through a CMYK profile inside the reader (else
// plainly), the rows of the others through their RGB or grey profile once decoded. A profile of
// another colour space than the picture's is ignored.
class TJPEGImage::TColour {
public:
    // After the reader's header was read, before it starts.
    TColour(const TJPEGImage& owner, TJpegReader& reader) {
        if (!owner.FCmyk) {
            FRows = TColorTransform::ToSrgb(owner.FIccProfile, TRowLayout::Bgr24);
            return;
        }
        FCmyk = TCmykTransform::ToSrgb(owner.FIccProfile, reader.CmykInverted());
        if (FCmyk)
            reader.SetCmykConverter(
                [cmyk = FCmyk.get()](const uint8_t* from, uint8_t* to, int width) {
                    cmyk->Apply(from, to, width);
                });
    }

    // Converts a decoded row.
    void Apply(uint8_t* row, int width) const {
        if (FRows)
            FRows->Apply(row, width);
    }

private:
    std::unique_ptr<TColorTransform> FRows;
    std::unique_ptr<TCmykTransform> FCmyk;
};

TJPEGImage::TJPEGImage() : FClock(SteadyMilliseconds) {}

TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::SetClock(TClock clock) {
    FClock = clock ? std::move(clock) : TClock(SteadyMilliseconds);
}

void TJPEGImage::SetMaxPixels(int64_t pixels) {
    FMaxPixels = std::clamp<int64_t>(pixels, 1, kMaxPicturePixels);
}

QSize TJPEGImage::StoredSize() const {
    return OrientedSize(QSize(FWidth, FHeight), FOrientation);
}

QString TJPEGImage::DisplayName() const {
    return QDir::toNativeSeparators(FName);
}

void TJPEGImage::Fail(const QString& what) const {
    throw EInvalidGraphic(
        QStringLiteral("JPEG image \"%1\" is not valid: %2").arg(DisplayName(), what));
}

void TJPEGImage::LoadFromFile(const QString& fileName) {
    LoadFromBytes(ReadPictureFile(fileName), fileName);
}

void TJPEGImage::LoadFromBytes(const QByteArray& data, const QString& name) {
    TJpegReader reader(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()),
                       FMaxMemory);
    const QString display = QDir::toNativeSeparators(name);
    auto fail = [&](const QString& what) {
        throw EInvalidGraphic(
            QStringLiteral("JPEG image \"%1\" is not valid: %2").arg(display, what));
    };
    if (!reader.ReadHeader()) {
        if (reader.Failure() == TJpegReader::TFailure::Precision && reader.Precision() != 8)
            fail(QStringLiteral("%1 bits per sample are not supported (only 8)")
                     .arg(reader.Precision()));
        fail(reader.Message());
    }
    if (reader.ColorSpace() == TJpegReader::TColorSpace::Other)
        fail(QStringLiteral("the colour space of %1 components is not supported")
                 .arg(reader.Components()));
    const int64_t w = reader.Width(), h = reader.Height();
    if (w <= 0 || h <= 0)
        fail(QStringLiteral("the picture has no pixels"));
    if (w > kMaxPictureSide || h > kMaxPictureSide || w * h > FMaxPixels)
        throw EOutOfResources(QStringLiteral("JPEG image \"%1\" is too large (%2 x %3 pixels)")
                                  .arg(display)
                                  .arg(w)
                                  .arg(h));
    FData = data;
    FName = name;
    FOrientation = ValidOrientation(reader.Orientation());
    const QSize upright = OrientedSize(QSize(int(w), int(h)), FOrientation);
    FWidth = upright.width();
    FHeight = upright.height();
    FGrayscale = reader.ColorSpace() == TJpegReader::TColorSpace::Grayscale;
    FCmyk = reader.ColorSpace() == TJpegReader::TColorSpace::Cmyk ||
            reader.ColorSpace() == TJpegReader::TColorSpace::Ycck;
    FIccProfile = reader.IccProfile();
    FImage = QImage();
}

void TJPEGImage::DIBNeeded() {
    if (!FImage.isNull() || Empty())
        return;
    Progress(this, TProgressStage::psStarting, 0, false, Rect(0, 0, FWidth, FHeight), QString());
    FImage = Decode(1, true);
    Progress(this, TProgressStage::psEnding, 100, false, Rect(0, 0, FWidth, FHeight), QString());
}

QImage TJPEGImage::DecodeReduced(QSize atLeast) {
    if (!FImage.isNull() || Empty())
        return FImage;
    // Asked for in the stored orientation; the smallest of libjpeg's scales that is not smaller.
    const QSize wanted = OrientationSwapsSides(FOrientation) ? atLeast.transposed() : atLeast;
    const QSize stored = StoredSize();
    int denominator = 8;
    while (denominator > 1 && ((stored.width() + denominator - 1) / denominator < wanted.width() ||
                               (stored.height() + denominator - 1) / denominator < wanted.height()))
        denominator /= 2;
    return Decode(denominator, false);
}

QImage TJPEGImage::Decode(int denominator, bool report) {
    const TRect whole = Rect(0, 0, FWidth, FHeight);
    QImage image;
    QString error;
    std::exception_ptr raised;
    {
        TJpegReader reader(reinterpret_cast<const uint8_t*>(FData.constData()),
                           size_t(FData.size()), FMaxMemory);
        TDecodeProgress throttle(
            [this, report, whole](int percent) {
                if (report)
                    Progress(this, TProgressStage::psRunning, uint8_t(percent), false, whole,
                             QString());
            },
            FClock);
        reader.SetProgress([&throttle](int percent) { return throttle.Running(percent); });
        bool ok = reader.ReadHeader() && reader.SetScale(denominator);
        if (ok) {
            try {
                const TColour colour(*this, reader);
                ok = reader.Start();
                if (ok) {
                    const QSize stored(reader.OutputWidth(), reader.OutputHeight());
                    const QSize upright = OrientedSize(stored, FOrientation);
                    image = AllocateImage(upright.width(), upright.height(), QImage::Format_BGR888);
                    ok = DecodeUpright(
                        image, stored, FOrientation, 3,
                        [&reader](uint8_t* const* rows, int count) {
                            return reader.ReadRows(rows, count);
                        },
                        [&colour](uint8_t* row, int width) { colour.Apply(row, width); });
                }
            } catch (...) {
                raised = std::current_exception();
                ok = false;
            }
        }
        if (!ok && !raised)
            raised = throttle.HandlerError;
        if (!ok && !raised)
            error = reader.Failure() == TJpegReader::TFailure::Memory
                        ? QStringLiteral("decoding needs more memory than allowed")
                        : reader.Message();
        if (!ok)
            image = QImage();
    }

    if (image.isNull()) {
        try {
            if (report)
                Progress(this, TProgressStage::psEnding, 0, false, whole, QString());
        } catch (...) {
            // The decoding error below is the one to report.
        }
        if (raised) {
            try {
                std::rethrow_exception(raised);
            } catch (const EOutOfResources& e) {
                throw EOutOfResources(
                    QStringLiteral("JPEG image \"%1\": %2").arg(DisplayName(), e.Message()));
            }
        }
        Fail(error);
    }
    return image;
}

void TJPEGImage::Paint(QPainter& painter, const QRect& target) {
    if (Empty() || target.isEmpty())
        return;
    DIBNeeded();
    painter.drawImage(target, FImage);
}

std::unique_ptr<TGraphic> TJPEGImage::Clone() const {
    auto copy = std::make_unique<TJPEGImage>();
    copy->FData = FData;
    copy->FName = FName;
    copy->FWidth = FWidth;
    copy->FHeight = FHeight;
    copy->FGrayscale = FGrayscale;
    copy->FCmyk = FCmyk;
    copy->FOrientation = FOrientation;
    copy->FIccProfile = FIccProfile;
    copy->FImage = FImage;
    copy->FClock = FClock;
    copy->FMaxPixels = FMaxPixels;
    copy->FMaxMemory = FMaxMemory;
    return copy;
}

// Rows of an upright picture decoded while they are read, kept in a small ring.
class TJPEGImage::TStreamedRows : public TRowReader {
public:
    explicit TStreamedRows(TJPEGImage* owner)
        : FOwner(owner), FReader(reinterpret_cast<const uint8_t*>(owner->FData.constData()),
                                 size_t(owner->FData.size()), owner->FMaxMemory),
          FRing(size_t(kRing) * size_t(owner->FWidth) * 3) {
        if (!FReader.ReadHeader())
            Fail();
        FColour = std::make_unique<TColour>(*owner, FReader);
        if (!FReader.Start())
            Fail();
    }

    const uint8_t* Row(int y) override {
        if (y < FReader.NextRow() - kRing || y >= FOwner->FHeight)
            throw EInvalidOperation(QStringLiteral("JPEG row %1 asked for out of order").arg(y));
        while (FReader.NextRow() <= y) {
            uint8_t* slot = Slot(FReader.NextRow());
            if (!FReader.ReadRows(&slot, 1))
                Fail();
            FColour->Apply(slot, FOwner->FWidth);
        }
        return Slot(y);
    }

private:
    static constexpr int kRing = 4;
    uint8_t* Slot(int y) { return FRing.data() + size_t(y % kRing) * size_t(FOwner->FWidth) * 3; }

    [[noreturn]] void Fail() const {
        FOwner->Fail(FReader.Failure() == TJpegReader::TFailure::Memory
                         ? QStringLiteral("decoding needs more memory than allowed")
                         : FReader.Message());
    }

    TJPEGImage* FOwner;
    TJpegReader FReader;
    std::unique_ptr<TColour> FColour;
    std::vector<uint8_t> FRing;
};

std::unique_ptr<TRowReader> TJPEGImage::OpenRows() {
    if (Empty())
        return nullptr;
    if (!FImage.isNull())
        return nullptr; // decoded: used whole
    if (FOrientation != 1)
        return nullptr; // decoded whole, then turned
    return std::make_unique<TStreamedRows>(this);
}
