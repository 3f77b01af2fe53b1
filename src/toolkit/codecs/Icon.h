// Windows icon files (.ico): the largest image of the file, with its transparency.
#pragma once

#include "toolkit/Graphics.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <memory>

class TIcon : public TGraphic {
public:
    TIcon();
    ~TIcon() override;

    int Width() const override { return FImage.width(); }
    int Height() const override { return FImage.height(); }
    bool Transparent() const override { return true; }

    // Picks the largest image of the file (on a tie the one with the most colours): a
    // Windows-bitmap image (1, 4, 8, 24 or 32 bits with its AND mask; 32-bit images use their
    // alpha channel when it is not all zero) or a PNG image. Damaged data raises
    // EInvalidGraphic, a picture above the pixel limit EOutOfResources; messages name the file.
    void LoadFromFile(const QString& fileName) override;
    void LoadFromBytes(const QByteArray& data, const QString& name) override;
    // Draws with transparency: what is underneath shows through transparent pixels.
    void Paint(QPainter& painter, const QRect& target) override;
    std::unique_ptr<TGraphic> Clone() const override;

    // The chosen image (QImage::Format_ARGB32, not premultiplied); null before loading.
    const QImage& Image() const { return FImage; }
    // Bits per pixel of the chosen image as stored (PNG: bits per sample times channels).
    int BitCount() const { return FBitCount; }
    // Largest picture accepted (pixels); at most kMaxPicturePixels.
    void SetMaxPixels(int64_t pixels);

private:
    QImage FImage;
    int FBitCount = 0;
    int64_t FMaxPixels = kMaxPicturePixels;
};
