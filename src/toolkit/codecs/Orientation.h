// The eight orientations a picture may record (EXIF's Orientation tag): where a stored pixel goes
// when the picture is shown upright.
#pragma once

#include <QImage>
#include <QSize>

#include <cstddef>
#include <cstdint>
#include <functional>

// 1 as stored, 2 mirrored left to right, 3 turned 180 degrees, 4 mirrored top to bottom,
// 5 mirrored along the main diagonal, 6 turned 90 degrees clockwise, 7 mirrored along the other
// diagonal, 8 turned 90 degrees anticlockwise. Values outside 1..8 count as 1.
int ValidOrientation(int orientation);

// True when the orientation swaps width and height (5 to 8).
bool OrientationSwapsSides(int orientation);

// The upright size of a picture stored as stored.width() x stored.height().
QSize OrientedSize(QSize stored, int orientation);

// Writes stored rows y .. y + count - 1 (stored.width() pixels of bytesPerPixel bytes each) to
// their upright places in the image at bits (upright size, bytesPerLine per row). Rows that
// become columns are placed a few at a time, column by column.
void PlaceStoredRows(const uint8_t* const* rows, int count, int y, QSize stored, int orientation,
                     int bytesPerPixel, uint8_t* bits, ptrdiff_t bytesPerLine);

// Decodes a picture stored as stored.width() x stored.height() pixels of bytesPerPixel bytes into
// image, allocated at the upright size: readRows(rows, count) writes the next count stored rows,
// top down, and returns false when it fails, which ends the decoding with false; finishRow, when
// set, converts each stored row (colours, premultiplication) before it is placed. An upright
// picture is decoded straight into the image, the others through a few rows on the side.
bool DecodeUpright(QImage& image, QSize stored, int orientation, int bytesPerPixel,
                   const std::function<bool(uint8_t* const* rows, int count)>& readRows,
                   const std::function<void(uint8_t* row, int width)>& finishRow);
