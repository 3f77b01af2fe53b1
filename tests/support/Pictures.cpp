#include "support/Pictures.h"

namespace testsupport {

QString WriteBmp(const QString& dir, const QString& name, int w, int h, TColor color) {
    TBitmap bmp(w, h, TPixelFormat::pf24bit);
    bmp.Canvas()->Brush().Color = color;
    bmp.Canvas()->FillRect(Rect(0, 0, w, h));
    const QString path = dir + QLatin1Char('/') + name;
    bmp.SaveToFile(path);
    return path;
}

QString WritePatternBmp(const QString& dir, const QString& name, int w, int h) {
    TBitmap bmp(w, h, TPixelFormat::pf24bit);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            bmp.Canvas()->SetPixels(
                x, y, TColor((x * 255 / w) | ((y * 255 / h) << 8) | (((x + y) % 7 * 36) << 16)));
    const QString path = dir + QLatin1Char('/') + name;
    bmp.SaveToFile(path);
    return path;
}

} // namespace testsupport
