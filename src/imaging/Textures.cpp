#include "imaging/Textures.h"

#include "imaging/Hv3DException.h"
#include "imaging/PixelRows.h"
#include "imaging/TextureResampler.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/mman.h>
#include <utility>
#include <vector>

namespace {

constexpr size_t kHugePage = size_t(2) << 20;

void CheckSize(int width, int height) {
    if (width < 0 || height < 0)
        throw EInvalidOperation(
            QStringLiteral("Invalid texture size %1 x %2").arg(width).arg(height));
}

void SetProgress(TProgressVar* progress, int32_t value) {
    if (progress)
        progress->store(value);
}

bool IsCancelled(const TCancelVar* cancel) {
    return cancel && cancel->load();
}

int32_t RowPercent(int y, int height) {
    return int32_t(int64_t(y) * 100 / height);
}

inline void ToBgr(uint32_t pixel, uint8_t* p) {
    p[0] = uint8_t(pixel >> 16);
    p[1] = uint8_t(pixel >> 8);
    p[2] = uint8_t(pixel);
}

void BgrRowToPixels(const uint8_t* line, uint32_t* row, int width) {
    pixelrows::BgrToRgbx(line, row, width);
}

void PixelsToBgrRow(const uint32_t* row, uint8_t* line, int width) {
    pixelrows::RgbxToBgr(row, line, width);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Storage

void THvBitmap32::Allocate(int width, int height) {
    CheckSize(width, height);
    Release();
    const size_t count = size_t(width) * size_t(height);
    if (count > 0) {
        if (count > (SIZE_MAX - kHugePage) / 4)
            throw EOutOfResources(QStringLiteral("Out of memory for a texture of %1 x %2 pixels")
                                      .arg(width)
                                      .arg(height));
        const size_t bytes = count * 4;
        if (bytes < kHugePage) {
            FPixels = static_cast<uint32_t*>(std::calloc(count, 4));
            if (!FPixels)
                throw EOutOfResources(
                    QStringLiteral("Out of memory for a texture of %1 x %2 pixels")
                        .arg(width)
                        .arg(height));
        } else {
            // Fresh anonymous pages read as zero without being written, and a 2 MiB aligned
            // region can be backed by huge pages, whose first touch costs far less than that of
            // ordinary pages.
            const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
            const size_t mapped = rounded + kHugePage;
            void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (base == MAP_FAILED)
                throw EOutOfResources(
                    QStringLiteral("Out of memory for a texture of %1 x %2 pixels")
                        .arg(width)
                        .arg(height));
            const uintptr_t start = reinterpret_cast<uintptr_t>(base);
            const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
#ifdef MADV_HUGEPAGE
            madvise(reinterpret_cast<void*>(aligned), rounded, MADV_HUGEPAGE);
#endif
            FMapping = base;
            FMappingBytes = mapped;
            FPixels = reinterpret_cast<uint32_t*>(aligned);
        }
    }
    FWidth = width;
    FHeight = height;
}

void THvBitmap32::Release() noexcept {
    if (FMapping)
        munmap(FMapping, FMappingBytes);
    else
        std::free(FPixels);
    FMapping = nullptr;
    FMappingBytes = 0;
    FPixels = nullptr;
    FWidth = FHeight = 0;
}

THvBitmap32::~THvBitmap32() {
    Release();
}

THvBitmap32::THvBitmap32(THvBitmap32&& other) noexcept
    : TObject(other), FWidth(std::exchange(other.FWidth, 0)),
      FHeight(std::exchange(other.FHeight, 0)), FPixels(std::exchange(other.FPixels, nullptr)),
      FMapping(std::exchange(other.FMapping, nullptr)),
      FMappingBytes(std::exchange(other.FMappingBytes, 0)) {}

THvBitmap32& THvBitmap32::operator=(THvBitmap32&& other) noexcept {
    if (this != &other) {
        Release();
        FWidth = std::exchange(other.FWidth, 0);
        FHeight = std::exchange(other.FHeight, 0);
        FPixels = std::exchange(other.FPixels, nullptr);
        FMapping = std::exchange(other.FMapping, nullptr);
        FMappingBytes = std::exchange(other.FMappingBytes, 0);
    }
    return *this;
}

THvBitmap32& THvBitmap32::operator=(const THvBitmap32& other) {
    if (this != &other)
        *this = THvBitmap32(other);
    return *this;
}

void THvBitmap32::Dispose() noexcept {
    Release();
}

// ---------------------------------------------------------------------------------------------
// Constructors

THvBitmap32::THvBitmap32(const THvBitmap32& Source) : TObject(Source) {
    Allocate(Source.FWidth, Source.FHeight);
    if (FPixels)
        std::memcpy(FPixels, Source.FPixels, size_t(FWidth) * size_t(FHeight) * 4);
}

THvBitmap32::THvBitmap32(int Width, int Height, uint32_t Color) {
    Allocate(Width, Height);
    if (Color != 0)
        std::fill(FPixels, FPixels + size_t(FWidth) * size_t(FHeight), Color);
}

THvBitmap32::THvBitmap32(int Width, int Height, TCanvas* Canvas, TProgressVar* Progress,
                         TCancelVar* Cancel) {
    SetProgress(Progress, 0);
    TCanvasLock lock(Canvas);
    try {
        if (!Canvas)
            throw EInvalidOperation(QStringLiteral("No canvas"));
        Allocate(Width, Height);
        const QImage& image = Canvas->Owner()->Image();
        const bool direct = image.format() == QImage::Format_BGR888;
        for (int y = 0; y < FHeight; ++y) {
            if (IsCancelled(Cancel))
                break;
            uint32_t* row = Pixels(y);
            if (direct && y < image.height()) {
                // The same values as one canvas read per pixel, a scan line at a time; reads
                // beyond the bitmap report an invalid colour, stored as white.
                const int inside = std::min(FWidth, image.width());
                BgrRowToPixels(image.constScanLine(y), row, inside);
                std::fill(row + inside, row + FWidth, 0x00FFFFFFu);
            } else {
                for (int x = 0; x < FWidth; ++x) {
                    const TColor c = Canvas->Pixels(x, y);
                    row[x] = c < 0 ? 0x00FFFFFFu : uint32_t(c);
                }
            }
            SetProgress(Progress, RowPercent(y, FHeight));
        }
    } catch (...) {
        const int error = errno;
        Release();
        throw THv3DException(THv3DException::ErrorMessage(
            QStringLiteral("THvBitmap32 image conversion error ("), error));
    }
    SetProgress(Progress, 100);
}

THvBitmap32::THvBitmap32(TBitmap* Bitmap, TProgressVar* Progress, TCancelVar* Cancel) {
    InitFromBitmap(Bitmap, Progress, Cancel);
}

void THvBitmap32::InitFromBitmap(TBitmap* bitmap, TProgressVar* progress, TCancelVar* cancel) {
    TCanvasLock lock(bitmap ? bitmap->Canvas() : nullptr);
    try {
        if (!bitmap)
            throw EInvalidOperation(QStringLiteral("No bitmap"));
        Allocate(bitmap->Width(), bitmap->Height());
        SetProgress(progress, 0);
        bitmap->SetPixelFormat(TPixelFormat::pf24bit);
        bitmap->SetHandleType(TBitmapHandleType::bmDIB);
        // Read through the const scan lines: a bitmap sharing its pixels with a picture is read
        // without being copied.
        const TBitmap* source = bitmap;
        for (int y = 0; y < FHeight; ++y) {
            if (FWidth > 0) // a bitmap with no columns has no scan lines to read
                BgrRowToPixels(source->ScanLine(y), Pixels(y), FWidth);
            SetProgress(progress, RowPercent(y, FHeight));
            if (IsCancelled(cancel))
                break;
        }
        SetProgress(progress, 100);
    } catch (...) {
        const int error = errno;
        Release();
        throw THv3DException(THv3DException::ErrorMessage(
            QStringLiteral("THvBitmap32.Create(TBitmap) error ("), error));
    }
}

namespace {

std::unique_ptr<TPicture> LoadPicture(const QString& fileName) {
    auto picture = std::make_unique<TPicture>();
    picture->LoadFromFile(fileName);
    return picture;
}

} // namespace

THvBitmap32::THvBitmap32(const QString& FileName) {
    const std::unique_ptr<TPicture> picture = LoadPicture(FileName);
    InitFromPicture(picture.get());
}

THvBitmap32::THvBitmap32(TPicture* Picture) {
    InitFromPicture(Picture);
}

void THvBitmap32::InitFromPicture(TPicture* picture) {
    TGraphic* graphic = picture ? picture->Graphic() : nullptr;
    TBitmap bitmap;
    bitmap.SetWidth(graphic ? graphic->Width() : 0);
    bitmap.SetHeight(graphic ? graphic->Height() : 0);
    bitmap.SetPixelFormat(TPixelFormat::pf24bit);
    TCanvasLock lock(bitmap.Canvas());
    if (graphic)
        bitmap.Canvas()->Draw(0, 0, graphic);
    InitFromBitmap(&bitmap, nullptr, nullptr);
}

THvBitmap32::THvBitmap32(const THvBitmap32& Source, int Width, int Height, int XFactor, int YFactor,
                         TProgressVar* Progress, TCancelVar* Cancel) {
    if (XFactor < 1 || YFactor < 1)
        throw EInvalidOperation(
            QStringLiteral("Invalid supersampling factors %1 x %2").arg(XFactor).arg(YFactor));
    Allocate(Width, Height);
    try {
        Resample(Source, XFactor, YFactor, Progress, Cancel);
    } catch (...) {
        Release(); // a constructor that throws runs no destructor
        throw;
    }
}

THvBitmap32::THvBitmap32(const THvBitmap32& Source, int Width, int Height, TProgressVar* Progress,
                         TCancelVar* Cancel) {
    CheckSize(Width, Height);
    if (Width == 0 || Height == 0)
        return; // the empty texture of the fill constructor; Progress untouched
    Allocate(Width, Height);
    try {
        Resample(Source, hvresample::Factor(Source.FWidth, Width),
                 hvresample::Factor(Source.FHeight, Height), Progress, Cancel);
    } catch (...) {
        Release(); // a constructor that throws runs no destructor
        throw;
    }
}

void THvBitmap32::Resample(const THvBitmap32& source, int xFactor, int yFactor,
                           TProgressVar* progress, TCancelVar* cancel) {
    if ((source.FWidth == 0 || source.FHeight == 0) && FWidth > 0 && FHeight > 0)
        throw EInvalidOperation(
            QStringLiteral("Cannot resample an empty texture (%1 x %2) to %3 x %4 pixels")
                .arg(source.FWidth)
                .arg(source.FHeight)
                .arg(FWidth)
                .arg(FHeight));
    const auto plane = [](const THvBitmap32& t) {
        hvresample::TPlane p;
        p.Data = reinterpret_cast<uint8_t*>(t.FPixels);
        p.Stride = ptrdiff_t(t.FWidth) * 4;
        p.Width = t.FWidth;
        p.Height = t.FHeight;
        p.Layout = hvresample::TLayout::Rgbx32;
        return p;
    };
    hvresample::Resample(plane(source), plane(*this), xFactor, yFactor, progress, cancel);
}

// ---------------------------------------------------------------------------------------------
// Output and transforms

void THvBitmap32::DrawTo(TCanvas* Canvas, int X, int Y) const {
    if (!Canvas)
        return;
    TCanvasLock lock(Canvas);
    QImage& image = Canvas->Owner()->Image();
    if (image.format() != QImage::Format_BGR888) {
        for (int r = 0; r < FHeight; ++r)
            for (int c = 0; c < FWidth; ++c)
                Canvas->SetPixels(X + c, Y + r, TColor(Pixel(c, r)));
        return;
    }
    // The same pixels as one canvas write per pixel, a scan line at a time: points outside the
    // bitmap are skipped, and a value with the top bit set is a system colour the canvas
    // resolves.
    const int64_t left = std::max<int64_t>(0, X),
                  right = std::min<int64_t>(image.width(), int64_t(X) + FWidth);
    const int64_t top = std::max<int64_t>(0, Y),
                  bottom = std::min<int64_t>(image.height(), int64_t(Y) + FHeight);
    if (left >= right || top >= bottom)
        return;
    const int count = int(right - left);
    for (int64_t y = top; y < bottom; ++y) {
        const uint32_t* row = Pixels(int(y - Y)) + (left - X);
        uint8_t* line = image.scanLine(int(y)) + 3 * left;
        if (std::none_of(row, row + count, [](uint32_t p) { return p & 0x80000000u; })) {
            PixelsToBgrRow(row, line, count);
            continue;
        }
        for (int x = 0; x < count; ++x, line += 3) {
            const uint32_t p = row[x];
            ToBgr(p & 0x80000000u ? uint32_t(ColorToRGB(TColor(p))) : p, line);
        }
    }
}

void THvBitmap32::CopyTo(THvBitmap32* Dest, int X, int Y) const noexcept {
    if (!Dest)
        return;
    const int64_t left = std::max<int64_t>(0, X),
                  right = std::min<int64_t>(Dest->FWidth, int64_t(X) + FWidth);
    const int64_t top = std::max<int64_t>(0, Y),
                  bottom = std::min<int64_t>(Dest->FHeight, int64_t(Y) + FHeight);
    if (left >= right || top >= bottom)
        return;
    const size_t bytes = size_t(right - left) * 4;
    // A copy onto itself moving down goes bottom-up so that no row is read after it was written.
    const bool upwards = Dest == this && Y > 0;
    for (int64_t n = 0; n < bottom - top; ++n) {
        const int64_t y = upwards ? bottom - 1 - n : top + n;
        std::memmove(Dest->Pixels(int(y)) + left, Pixels(int(y - Y)) + (left - X), bytes);
    }
}

void THvBitmap32::FlipVertical() {
    for (int i = 0; i < FHeight / 2; ++i)
        std::swap_ranges(Pixels(i), Pixels(i) + FWidth, Pixels(FHeight - 1 - i));
}

void THvBitmap32::FlipHorizontal() {
    for (int y = 0; y < FHeight; ++y)
        std::reverse(Pixels(y), Pixels(y) + FWidth);
}

void THvBitmap32::Rotate90() {
    // Through a transposed copy: new pixel (c, r) = old pixel (r, Height - 1 - c).
    THvBitmap32 turned(FHeight, FWidth, 0u);
    for (int r = 0; r < turned.FHeight; ++r) {
        uint32_t* row = turned.Pixels(r);
        for (int c = 0; c < turned.FWidth; ++c)
            row[c] = Pixel(r, FHeight - 1 - c);
    }
    *this = std::move(turned);
}

void THvBitmap32::ToBitmap(TBitmap* Bitmap) const {
    if (!Bitmap)
        return;
    TCanvasLock lock(Bitmap->Canvas());
    // Format first, then the size: every pixel is written below, so the result is the same as
    // setting the width and then the height, without converting content that is overwritten.
    Bitmap->SetPixelFormat(TPixelFormat::pf24bit);
    Bitmap->SetSize(FWidth, FHeight);
    try {
        for (int y = 0; y < FHeight && FWidth > 0; ++y)
            PixelsToBgrRow(Pixels(y), Bitmap->ScanLine(y), FWidth);
    } catch (...) {
        const int error = errno;
        throw THv3DException(
            THv3DException::ErrorMessage(QStringLiteral("THvBitmap32.ToBitmap error ("), error));
    }
}

uint32_t THvBitmap32::SampleBilinear(long double U, long double V) const {
    if (FWidth <= 0 || FHeight <= 0)
        return 0;
    // Index and weight along one axis. Negative (and NaN) coordinates read the first pixel;
    // where both indices are the last pixel the weight cannot change the result and is 0.
    const auto axis = [](long double t, int size, int& i0, int& i1, uint32_t& f) {
        const long double T = t * static_cast<long double>(size - 1);
        const long double whole = std::floor(T);
        if (!(whole >= 0)) {
            i0 = i1 = 0;
            f = 0;
        } else if (whole < static_cast<long double>(size - 1)) {
            i0 = int(whole);
            i1 = i0 + 1;
            f = uint32_t(std::floor((T - static_cast<long double>(i0)) * 256.0L));
        } else {
            i0 = i1 = size - 1;
            f = 0;
        }
    };
    int x0, x1, y0, y1;
    uint32_t fx, fy;
    axis(U, FWidth, x0, x1, fx);
    axis(V, FHeight, y0, y1, fy);
    const uint32_t p00 = Pixel(x0, y0), p10 = Pixel(x1, y0);
    const uint32_t p01 = Pixel(x0, y1), p11 = Pixel(x1, y1);
    uint32_t result = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        const uint32_t c00 = (p00 >> shift) & 0xFF, c10 = (p10 >> shift) & 0xFF;
        const uint32_t c01 = (p01 >> shift) & 0xFF, c11 = (p11 >> shift) & 0xFF;
        const uint32_t value =
            ((256 - fy) * ((256 - fx) * c00 + fx * c10) + fy * ((256 - fx) * c01 + fx * c11)) >> 16;
        result |= value << shift;
    }
    return result;
}
