// Windows bitmap files: decoding every variant Windows' own reader accepts, and writing the
// 24-bit form the wallpaper file uses.
#pragma once

#include "toolkit/Graphics.h"

#include <QByteArray>
#include <QImage>
#include <QString>

// Decodes a BMP file's bytes. Returns the picture as QImage::Format_RGB32 or Format_BGR888 and
// sets *format to the pixel format of the file (1, 4, 8, 16, 24 or 32 bits). Damaged or
// unsupported data raises EInvalidGraphic with a message naming `name`.
QImage DecodeBmp(const QByteArray& data, const QString& name, TPixelFormat* format);

// A 24-bit BMP file: BITMAPFILEHEADER, BITMAPINFOHEADER, bottom-up rows padded to 4 bytes.
QByteArray EncodeBmp24(const QImage& image);
