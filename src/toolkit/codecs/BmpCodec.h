// Windows bitmap files: decoding every variant Windows' own reader accepts, and writing the
// 24-bit form the wallpaper file uses.
#pragma once

#include "toolkit/ImageMemory.h"

#include <QByteArray>
#include <QImage>
#include <QString>

// Decodes a BMP file's bytes: 1, 2, 4, 8, 16, 24 and 32 bits per pixel, RLE4, RLE8 and OS/2
// RLE24, bit fields, top-down and bottom-up rows, OS/2 1.x and 2.x, version 3, 4 and 5 headers
// and OS/2 bitmap arrays (the first bitmap). Returns Format_BGR888 for 24-bit files and
// Format_RGB32 (opaque: an alpha channel in the file is ignored, as Windows draws it) for the
// others, and sets *format to the pixel format of the file. Pixels an RLE stream leaves
// undefined take palette entry 0, as in a freshly created Windows DIB.
// Damaged or unsupported data raises EInvalidGraphic, a picture of more than maxPixels pixels
// (or a side above kMaxPictureSide) EOutOfResources before anything is allocated; the
// messages name `name`.
QImage DecodeBmp(const QByteArray& data, const QString& name, TPixelFormat* format,
                 int64_t maxPixels = kMaxPicturePixels);

// A 24-bit BMP file: BITMAPFILEHEADER, BITMAPINFOHEADER, bottom-up rows padded to 4 bytes.
QByteArray EncodeBmp24(const QImage& image);
