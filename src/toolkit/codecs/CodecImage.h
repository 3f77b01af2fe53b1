// A picture in one of today's formats, read through its codec (see PictureDecoder.h): the file is
// read and its header parsed when the picture is loaded; the pixels are decoded when it is first
// drawn, with the JPEG picture's progress events, or read row by row by the streaming
// composition. The picture is upright (the orientation the file records is applied), in sRGB (an
// embedded profile that is not sRGB is converted), and premultiplied where it is transparent.
#pragma once

#include "toolkit/Graphics.h"
#include "toolkit/codecs/PictureDecoder.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <functional>
#include <memory>

class TCodecImage : public TGraphic {
public:
    using TClock = std::function<int64_t()>;

    explicit TCodecImage(const TCodec& codec);
    ~TCodecImage() override;

    int Width() const override { return FSize.width(); }
    int Height() const override { return FSize.height(); }
    bool Transparent() const override { return FHeader.Alpha; }

    // Reads the file and parses its header; errors name the file.
    void LoadFromFile(const QString& fileName) override;
    void LoadFromBytes(const QByteArray& data, const QString& name) override;

    // Decodes on the first call, then draws the picture (its transparent parts leave what is
    // underneath).
    void Paint(QPainter& painter, const QRect& target) override;
    std::unique_ptr<TGraphic> Clone() const override;
    // For a picture stored upright and not decoded yet, rows decoded as they are read (a codec
    // that decodes whole pictures holds its own copy meanwhile); else nullptr.
    // Rows of a transparent picture are premultiplied blue, green, red, alpha.
    std::unique_ptr<TRowReader> OpenRows() override;

    // Decodes the pixels unless that was done already, with progress events as TJPEGImage's
    // DIBNeeded gives them. A failure raises the codec's error and leaves the picture undecoded.
    void DIBNeeded();
    bool Decoded() const override { return !FImage.isNull(); }
    // The decoded picture: Format_BGR888 when opaque, Format_ARGB32_Premultiplied when
    // transparent; null before decoding.
    const QImage& Image() const { return FImage; }

    // The picture decoded at a reduced scale where the codec can (at least the size asked for,
    // else the full size), upright, in sRGB; the picture itself stays undecoded. For thumbnails.
    QImage DecodeReduced(QSize atLeast) const;

    const TCodec& Codec() const { return *FCodec; }
    const TPictureHeader& Header() const { return FHeader; }
    void SetClock(TClock clock);

private:
    class TStreamedRows;
    // Decodes into an upright image of the decoder's output size.
    QImage Decode(TPictureDecoder& decoder, QSize stored,
                  const std::function<bool(int)>& progress) const;

    const TCodec* FCodec;
    QByteArray FData;
    QString FName;
    TPictureHeader FHeader;
    QSize FSize; // upright
    QImage FImage;
    TClock FClock;
};
