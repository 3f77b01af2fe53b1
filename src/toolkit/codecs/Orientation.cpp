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

namespace {

// Where stored pixel (0, y) goes (bytes from the image's start), and how far each next pixel of
// the stored row goes from it.
struct TPlacement {
    ptrdiff_t Base, Step;
};

TPlacement Placement(int y, QSize stored, int orientation, ptrdiff_t bpp, ptrdiff_t bpl) {
    const ptrdiff_t right = stored.width() - 1, bottom = stored.height() - 1 - y;
    switch (orientation) {
    case 2: // mirrored left to right
        return {y * bpl + right * bpp, -bpp};
    case 3: // turned 180 degrees
        return {bottom * bpl + right * bpp, -bpp};
    case 4: // mirrored top to bottom
        return {bottom * bpl, bpp};
    case 5: // mirrored along the main diagonal: rows become columns
        return {y * bpp, bpl};
    case 6: // turned 90 degrees clockwise
        return {bottom * bpp, bpl};
    case 7: // mirrored along the other diagonal
        return {bottom * bpp + right * bpl, -bpl};
    case 8: // turned 90 degrees anticlockwise
        return {y * bpp + right * bpl, -bpl};
    default:
        return {y * bpl, bpp};
    }
}

// Places up to kChunkRows stored rows of pixels of Fixed bytes (0: of bytesPerPixel). Rows that
// become columns are written a stored column at a time: the rows' pixels of one column lie side
// by side in one upright line.
template <size_t Fixed>
void PlaceChunk(const uint8_t* const* rows, int count, int y, QSize stored, int orientation,
                size_t bytesPerPixel, uint8_t* bits, ptrdiff_t bytesPerLine) {
    const size_t Bpp = Fixed ? Fixed : bytesPerPixel;
    const int w = stored.width();
    ptrdiff_t bases[kChunkRows];
    ptrdiff_t step = 0;
    for (int i = 0; i < count; ++i) {
        const TPlacement p = Placement(y + i, stored, orientation, ptrdiff_t(Bpp), bytesPerLine);
        bases[i] = p.Base;
        step = p.Step;
    }
    if (OrientationSwapsSides(orientation)) {
        for (int x = 0; x < w; ++x)
            for (int i = 0; i < count; ++i)
                std::memcpy(bits + bases[i] + x * step, rows[i] + size_t(x) * Bpp, Bpp);
        return;
    }
    for (int i = 0; i < count; ++i) {
        uint8_t* out = bits + bases[i];
        const uint8_t* in = rows[i];
        for (int x = 0; x < w; ++x, out += step, in += Bpp)
            std::memcpy(out, in, Bpp);
    }
}

} // namespace

void PlaceStoredRows(const uint8_t* const* rows, int count, int y, QSize stored, int orientation,
                     int bytesPerPixel, uint8_t* bits, ptrdiff_t bytesPerLine) {
    orientation = ValidOrientation(orientation);
    for (int done = 0; done < count; done += kChunkRows) {
        const int n = std::min(kChunkRows, count - done);
        if (orientation == 1 || orientation == 4) { // rows stay rows, in order or from the bottom
            for (int i = 0; i < n; ++i)
                std::memcpy(
                    bits + Placement(y + done + i, stored, orientation, bytesPerPixel, bytesPerLine)
                               .Base,
                    rows[done + i], size_t(stored.width()) * size_t(bytesPerPixel));
        } else if (bytesPerPixel == 3) {
            PlaceChunk<3>(rows + done, n, y + done, stored, orientation, 3, bits, bytesPerLine);
        } else if (bytesPerPixel == 4) {
            PlaceChunk<4>(rows + done, n, y + done, stored, orientation, 4, bits, bytesPerLine);
        } else {
            PlaceChunk<0>(rows + done, n, y + done, stored, orientation, size_t(bytesPerPixel),
                          bits, bytesPerLine);
        }
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
        for (int i = 0; finishRow && i < n; ++i)
            finishRow(rows[i], stored.width());
        if (!inPlace)
            PlaceStoredRows(rows, n, y, stored, orientation, bytesPerPixel, image.bits(),
                            image.bytesPerLine());
    }
    return true;
}
