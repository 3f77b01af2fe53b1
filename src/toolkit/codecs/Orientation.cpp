#include "toolkit/codecs/Orientation.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Rows decoded per step.
constexpr int kChunkRows = 16;

} // namespace

int ValidOrientation(int orientation) {
    return orientation >= 1 && orientation <= 8 ? orientation : 1;
}

bool OrientationSwapsSides(int orientation) {
    return ValidOrientation(orientation) >= 5;
}

QSize OrientedSize(QSize stored, int orientation) {
    return OrientationSwapsSides(orientation) ? stored.transposed() : stored;
}

void PlaceStoredRow(const uint8_t* row, int y, QSize stored, int orientation, int bytesPerPixel,
                    uint8_t* bits, ptrdiff_t bytesPerLine) {
    const int w = stored.width(), h = stored.height();
    const size_t bpp = size_t(bytesPerPixel);
    orientation = ValidOrientation(orientation);
    if (orientation == 1 || orientation == 4) {
        // The row stays a row, at the top or mirrored to the bottom.
        std::memcpy(bits + bytesPerLine * (orientation == 1 ? y : h - 1 - y), row, size_t(w) * bpp);
        return;
    }
    // Upright position of stored pixel (x, y), as (column, line).
    for (int x = 0; x < w; ++x) {
        int column = 0, line = 0;
        switch (orientation) {
        case 2:
            column = w - 1 - x, line = y;
            break;
        case 3:
            column = w - 1 - x, line = h - 1 - y;
            break;
        case 5:
            column = y, line = x;
            break;
        case 6:
            column = h - 1 - y, line = x;
            break;
        case 7:
            column = h - 1 - y, line = w - 1 - x;
            break;
        default: // 8
            column = y, line = w - 1 - x;
            break;
        }
        std::memcpy(bits + bytesPerLine * line + ptrdiff_t(size_t(column) * bpp),
                    row + size_t(x) * bpp, bpp);
    }
}

bool DecodeUpright(QImage& image, QSize stored, int orientation, int bytesPerPixel,
                   const std::function<bool(uint8_t* const* rows, int count)>& readRows,
                   const std::function<void(uint8_t* row, int width)>& finishRow) {
    orientation = ValidOrientation(orientation);
    const bool inPlace = orientation == 1;
    const size_t rowBytes = size_t(stored.width()) * size_t(bytesPerPixel);
    std::vector<uint8_t> chunk;
    if (!inPlace)
        chunk.resize(rowBytes * kChunkRows);
    uint8_t* rows[kChunkRows];
    for (int y = 0; y < stored.height(); y += kChunkRows) {
        const int n = std::min(kChunkRows, stored.height() - y);
        for (int i = 0; i < n; ++i)
            rows[i] = inPlace ? image.scanLine(y + i) : chunk.data() + size_t(i) * rowBytes;
        if (!readRows(rows, n))
            return false;
        for (int i = 0; i < n; ++i) {
            if (finishRow)
                finishRow(rows[i], stored.width());
            if (!inPlace)
                PlaceStoredRow(rows[i], y + i, stored, orientation, bytesPerPixel, image.bits(),
                               image.bytesPerLine());
        }
    }
    return true;
}
