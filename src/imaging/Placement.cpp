#include "imaging/Placement.h"

#include "toolkit/SysUtils.h"

#include <algorithm>

TRect FitAndCentre(int Width, int Height, int PictureWidth, int PictureHeight) {
    const long double scale =
        std::min(FloatDivide(Width, PictureWidth), FloatDivide(Height, PictureHeight));
    const int width = int(RoundHalfEven(PictureWidth * scale));
    const int height = int(RoundHalfEven(PictureHeight * scale));
    const int x = int(RoundHalfEven((Width - width) / 2.0L));
    const int y = int(RoundHalfEven((Height - height) / 2.0L));
    return Rect(x, y, x + width, y + height);
}

hvresample::TPlane SourcePlane(const TBitmap* bitmap) {
    const QImage& image = bitmap->Image();
    hvresample::TPlane plane;
    plane.Data = const_cast<uint8_t*>(image.constBits()); // only read
    plane.Stride = image.bytesPerLine();
    plane.Width = image.width();
    plane.Height = image.height();
    plane.Layout = hvresample::TLayout::Bgr24;
    return plane;
}

hvresample::TPlane TargetPlane(TBitmap* bitmap, int x, int y, int width, int height) {
    QImage& image = bitmap->Image();
    hvresample::TPlane plane;
    plane.Stride = image.bytesPerLine();
    plane.Data = image.bits() + plane.Stride * y + 3 * x;
    plane.Width = width;
    plane.Height = height;
    plane.Layout = hvresample::TLayout::Bgr24;
    return plane;
}
