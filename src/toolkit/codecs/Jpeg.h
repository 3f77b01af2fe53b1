// JPEG pictures on libjpeg-turbo: the file is read and its header parsed when the picture is
// loaded; the pixels are decoded when the picture is first drawn, with progress events. The
// picture is upright (the EXIF orientation is applied) and in sRGB (an embedded ICC profile that
// is not sRGB is converted; CMYK samples go through a CMYK profile where the file has one).
#pragma once

#include "toolkit/Graphics.h"
#include "toolkit/codecs/DecodeProgress.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class TJPEGImage : public TGraphic {
public:
    // Milliseconds from any fixed point; steady. Tests inject their own.
    using TClock = std::function<int64_t()>;
    // Shortest time between two "running" progress events.
    static constexpr int64_t kProgressIntervalMs = TDecodeProgress::kIntervalMs;

    TJPEGImage();
    ~TJPEGImage() override;

    // The upright size.
    int Width() const override { return FWidth; }
    int Height() const override { return FHeight; }

    // Reads the whole file and parses its header (size, colour space, orientation, profile). A
    // damaged header, a 12-bit file or a size above the pixel limit raise an error naming the
    // file; the pixel data (and the profile) are only checked when it is decoded.
    void LoadFromFile(const QString& fileName) override;
    void LoadFromBytes(const QByteArray& data, const QString& name) override;

    // Decodes on the first call (see DIBNeeded), then draws the decoded picture.
    void Paint(QPainter& painter, const QRect& target) override;
    std::unique_ptr<TGraphic> Clone() const override;
    // Rows decoded as they are read (with the same libjpeg settings and colour conversion, so
    // the same pixels), without progress events; nullptr for a picture not stored upright and
    // once the picture is decoded.
    std::unique_ptr<TRowReader> OpenRows() override;

    // Decodes the pixels unless that was done already. Progress: starting with 0 percent,
    // running with the whole percentage decoded so far (at most once per kProgressIntervalMs
    // and only when it changed), ending with 100, or with 0 when decoding fails; the message is
    // always empty and Sender is this graphic. A failure raises EInvalidGraphic naming the file
    // and leaves the picture undecoded.
    void DIBNeeded();
    bool Decoded() const override { return !FImage.isNull(); }
    // The picture decoded at the smallest of libjpeg's scales (1/8, 1/4, 1/2, 1) that is at
    // least atLeast (upright) or the whole picture, for thumbnails: the decoded picture when there
    // is one, else a new one that is not kept. No progress events; failures as DIBNeeded's.
    QImage DecodeReduced(QSize atLeast);
    // The decoded picture, upright (QImage::Format_BGR888); null before decoding.
    const QImage& Image() const { return FImage; }
    // Raw file bytes as loaded.
    const QByteArray& Data() const { return FData; }
    bool Grayscale() const { return FGrayscale; }
    // The EXIF orientation (1..8, see Orientation.h) and the ICC profile (empty when none) the
    // file records.
    int Orientation() const { return FOrientation; }
    const QByteArray& IccProfile() const { return FIccProfile; }

    // The clock behind the progress throttle (default: a steady clock).
    void SetClock(TClock clock);
    // Largest picture accepted (pixels); at most kMaxPicturePixels.
    void SetMaxPixels(int64_t pixels);
    // Upper bound for libjpeg's working memory in bytes (0: none); bigger needs fail cleanly.
    void SetMaxMemory(int64_t bytes) { FMaxMemory = bytes; }

private:
    class TStreamedRows;
    class TColour;
    QSize StoredSize() const;
    QString DisplayName() const;
    [[noreturn]] void Fail(const QString& what) const;
    QImage Decode(int denominator, bool report);

    QByteArray FData;
    QString FName;
    int FWidth = 0, FHeight = 0; // upright
    bool FGrayscale = false;
    bool FCmyk = false;
    int FOrientation = 1;
    QByteArray FIccProfile;
    QImage FImage;
    TClock FClock;
    int64_t FMaxPixels = kMaxPicturePixels;
    int64_t FMaxMemory = 0;
};
