// Windows bitmap files: decoding every variant Windows' own reader accepts, and writing the
// 24-bit form the wallpaper file uses.
#pragma once

#include "toolkit/ImageMemory.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// A BMP file's rows, decoded on demand from its bytes (which must stay valid while the reader
// lives): the headers, masks and palette are read and checked, and so is the pixel data's size
// or, for compressed data, the whole stream (noting where each row begins), when the reader is
// made; rows are then decoded in any order and cannot fail. Errors as DecodeBmp's.
class TBmpReader {
public:
    TBmpReader(const uint8_t* data, size_t size, const QString& name,
               int64_t maxPixels = kMaxPicturePixels);
    ~TBmpReader();
    TBmpReader(const TBmpReader&) = delete;
    TBmpReader& operator=(const TBmpReader&) = delete;

    int Width() const;
    int Height() const;
    TPixelFormat PixelFormat() const; // of the file
    // True for 24-bit files, whose rows are blue, green, red; the others give 0xFFRRGGBB words.
    bool Bgr() const;
    // Row y (0 = top) in the file's form: Width() x 3 bytes, or Width() 32-bit words.
    void ReadRow(int y, uint8_t* out) const;
    // Row y as Width() x 3 bytes, blue, green, red; scratch holds a row of words meanwhile.
    void ReadRowBgr(int y, uint8_t* bgr, std::vector<uint32_t>& scratch) const;

private:
    class TDecoder;
    std::unique_ptr<TDecoder> FDecoder;
};

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
// WriteBmp24 hands it to put piece by piece (about a megabyte at a time), so that a file is
// written without the whole of it in memory; put may throw to stop.
void WriteBmp24(const QImage& image, const std::function<void(const char*, qint64)>& put);
QByteArray EncodeBmp24(const QImage& image);
