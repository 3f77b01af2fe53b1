#include "toolkit/ImageMemory.h"

#include "toolkit/SysUtils.h"

#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/mman.h>

namespace {

void HugePageRelease(void* info) {
    std::free(info);
}

} // namespace

QImage AllocateImage(int width, int height, QImage::Format format) {
    if (width <= 0 || height <= 0)
        return QImage();
    if (int64_t(width) * height > kMaxPicturePixels)
        throw EOutOfResources(
            QStringLiteral("Image of %1 x %2 pixels is too large").arg(width).arg(height));
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    const qsizetype bpl = ((qsizetype(width) * depth + 31) / 32) * 4;
    const size_t bytes = size_t(bpl) * size_t(height);
    constexpr size_t kHuge = size_t(2) << 20;
    if (bytes < kHuge) {
        QImage img(width, height, format);
        if (img.isNull())
            throw EOutOfResources(QStringLiteral("Out of memory for an image of %1 x %2 pixels")
                                      .arg(width)
                                      .arg(height));
        return img;
    }
    // Large buffers: 2 MiB aligned so the kernel can back them with huge pages; the first
    // touch of ordinary pages costs far more than the work done on them.
    const size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    void* mem = std::aligned_alloc(kHuge, rounded);
    if (!mem)
        throw EOutOfResources(
            QStringLiteral("Out of memory for an image of %1 x %2 pixels").arg(width).arg(height));
#ifdef MADV_HUGEPAGE
    madvise(mem, rounded, MADV_HUGEPAGE);
#endif
    return QImage(static_cast<uchar*>(mem), width, height, bpl, format, HugePageRelease, mem);
}

void ReleaseFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0); // glibc keeps freed heap pages; other C libraries return them themselves
#endif
}
