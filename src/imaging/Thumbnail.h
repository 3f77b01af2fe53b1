// Pictures kept only at the size they are shown: the editors hold these instead of whole
// pictures, so that a program with two large photographs in its editors stays small.
#pragma once

#include "toolkit/Graphics.h"

#include <QImage>
#include <QSize>

#include <memory>

// A picture's reduced copy. Its own size is the picture's; its pixels (at least the size it is
// shown at, proportions kept) are drawn scaled into whatever rectangle it is painted into.
class TThumbnail : public TGraphic {
public:
    TThumbnail(int width, int height, QImage pixels, bool transparent);

    int Width() const override { return FWidth; }
    int Height() const override { return FHeight; }
    bool Transparent() const override { return FTransparent; }
    // A thumbnail is made from a picture, not loaded: these raise EInvalidOperation.
    void LoadFromFile(const QString& fileName) override;
    void LoadFromBytes(const QByteArray& data, const QString& name) override;
    void Paint(QPainter& painter, const QRect& target) override;
    std::unique_ptr<TGraphic> Clone() const override;

    // Format_BGR888 for an opaque picture, Format_ARGB32_Premultiplied for a transparent one.
    const QImage& Pixels() const { return FPixels; }

private:
    int FWidth, FHeight;
    QImage FPixels;
    bool FTransparent;
};

// The thumbnail of a loaded picture that fits in box (device pixels), never larger than the
// picture: decoded at a reduced scale where the codec can, read row by row where it can, and
// box-filtered down to size; vector pictures and icons drawn at that size. The picture itself
// is not decoded whole where that can be avoided. progress, when set, gets the starting and
// ending events of the picture's loading (Sender: the picture). nullptr for an empty picture.
std::unique_ptr<TThumbnail> MakeThumbnail(TGraphic* graphic, QSize box,
                                          const TProgressEvent& progress = nullptr);
