// Picture memory shared by the bitmaps and the picture codecs: the pixel formats a bitmap
// records, the size limits every loader checks before allocating, and the allocator for large
// pixel buffers.
#pragma once

#include <QImage>

#include <cstdint>

enum class TPixelFormat { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit };

// Largest picture the loaders accept (pixels); bigger headers are refused before allocating.
constexpr int64_t kMaxPicturePixels = int64_t(1) << 28; // 268 megapixels, 1 GiB at 32 bits
constexpr int kMaxPictureSide = 1 << 16;

// QImage with storage suited to large pictures: zero-initialised lazily by the kernel and, where
// the system offers it, backed by huge pages. Contents are unspecified (callers fill them).
QImage AllocateImage(int width, int height, QImage::Format format);

// Hands memory freed by large pictures back to the system now (the C library otherwise keeps
// much of it for later use): for a program that then sits idle.
void ReleaseFreedMemory();
