#include "toolkit/codecs/PngCodec.h"

#include "toolkit/codecs/Exif.h"

#include <spng.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr const char* kName = "PNG";
// Ancillary chunks (text, profiles, EXIF): each at most 16 MiB, those kept at most 64 MiB
// together. Image data (IDAT) is not limited by these.
constexpr size_t kMaxChunkBytes = size_t(16) << 20;
constexpr size_t kMaxKeptChunkBytes = size_t(64) << 20;

uint32_t Be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// What the chunk headers say, read without the chunks' contents: where the eXIf chunk is (before
// or after the image data), and whether every chunk up to IEND is complete.
struct TChunkScan {
    bool Complete = false;
    const uint8_t* Exif = nullptr;
    size_t ExifSize = 0;
};

TChunkScan ScanChunks(const uint8_t* data, size_t size) {
    TChunkScan scan;
    for (size_t at = 8; at <= size && size - at >= 12;) {
        const size_t length = Be32(data + at);
        if (length > size - at - 12)
            break; // the chunk runs past the end of the file
        const uint8_t* type = data + at + 4;
        if (std::memcmp(type, "IEND", 4) == 0) {
            scan.Complete = true;
            break;
        }
        if (std::memcmp(type, "eXIf", 4) == 0 && !scan.Exif) {
            scan.Exif = data + at + 8;
            scan.ExifSize = length;
        }
        at += 12 + length;
    }
    return scan;
}

// Red and blue of count pixels of bytesPerPixel bytes swapped in place.
void SwapRedBlue(uint8_t* pixels, int count, int bytesPerPixel) {
    for (int i = 0; i < count; ++i, pixels += bytesPerPixel)
        std::swap(pixels[0], pixels[2]);
}

// Scan lines of an interlaced picture of height rows: the rows of the seven passes that have
// pixels.
int64_t InterlacedScanlines(uint32_t width, uint32_t height) {
    static const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                     {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}}; // x, y, dx, dy
    int64_t total = 0;
    for (const auto& p : passes)
        if (width > uint32_t(p[0]) && height > uint32_t(p[1]))
            total += (int64_t(height) - p[1] + p[3] - 1) / p[3];
    return total;
}

class TPngDecoder final : public TPictureDecoder {
public:
    TPngDecoder(const uint8_t* data, size_t size, const QString& name)
        : FData(data), FSize(size), FName(name), FContext(nullptr, spng_ctx_free) {}

    TPictureHeader ReadHeader() override;
    bool Sequential() const override { return !FInterlaced; }
    void Start(TRowLayout layout) override;
    void ReadRows(uint8_t* const* rows, int count) override;

private:
    [[noreturn]] void Fail(int error) const;
    void Check(int error) const {
        if (error != 0)
            Fail(error);
    }
    void DecodeInterlaced();

    const uint8_t* FData;
    size_t FSize;
    QString FName;
    std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> FContext;
    spng_ihdr FIhdr{};
    bool FInterlaced = false;
    int FBytesPerPixel = 4;
    size_t FRowBytes = 0;
    int FNext = 0;
    // An interlaced picture, deinterlaced whole before its first row is given.
    std::unique_ptr<uint8_t[]> FWhole;
};

void TPngDecoder::Fail(int error) const {
    QString why;
    switch (error) {
    case SPNG_IO_EOF:
    case SPNG_EIDAT_TOO_SHORT:
        why = QStringLiteral("the file is truncated");
        break;
    case SPNG_ESIGNATURE:
        why = QStringLiteral("the file does not start with a PNG signature");
        break;
    case SPNG_ECHUNK_CRC:
        why = QStringLiteral("a chunk's checksum is wrong");
        break;
    case SPNG_ECHUNK_LIMITS:
        why = QStringLiteral("a chunk is larger than allowed");
        break;
    case SPNG_EMEM:
        throw std::bad_alloc();
    default:
        why = QStringLiteral("the data is damaged (%1)").arg(QLatin1String(spng_strerror(error)));
        break;
    }
    ThrowInvalidPicture(kName, FName, why);
}

TPictureHeader TPngDecoder::ReadHeader() {
    FContext.reset(spng_ctx_new(0));
    if (!FContext)
        throw std::bad_alloc();
    spng_ctx* ctx = FContext.get();
    // Damaged ancillary chunks are left out, as other readers do; damaged image data is an error.
    Check(spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_DISCARD));
    Check(spng_set_image_limits(ctx, kMaxPictureSide, kMaxPictureSide));
    Check(spng_set_chunk_limits(ctx, kMaxChunkBytes, kMaxKeptChunkBytes));
    Check(spng_set_png_buffer(ctx, FData, FSize));
    const int error = spng_get_ihdr(ctx, &FIhdr);
    if ((error == SPNG_EUSER_WIDTH || error == SPNG_EUSER_HEIGHT) && FSize >= 24)
        CheckPictureLimits(kName, FName, Be32(FData + 16), Be32(FData + 20));
    Check(error);

    // The decoded size the data needs: samples of one or two bytes.
    const int channels = FIhdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR         ? 3
                         : FIhdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ? 4
                         : FIhdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ? 2
                                                                               : 1;
    CheckPictureLimits(kName, FName, FIhdr.width, FIhdr.height,
                       std::max(4, channels * (FIhdr.bit_depth == 16 ? 2 : 1)));

    // The chunks are all there: a file cut short is refused now, not after some rows were drawn.
    // Of an animation only the default image (IDAT) is decoded; the other frames' chunks (fdAT)
    // are stepped over here and never read by libspng.
    const TChunkScan scan = ScanChunks(FData, FSize);
    if (!scan.Complete)
        ThrowInvalidPicture(kName, FName, QStringLiteral("the file is truncated"));

    TPictureHeader header;
    header.Width = int(FIhdr.width);
    header.Height = int(FIhdr.height);
    spng_trns trns;
    const int trnsError = spng_get_trns(ctx, &trns);
    if (trnsError != SPNG_ECHUNKAVAIL)
        Check(trnsError);
    header.Alpha = FIhdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ||
                   FIhdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA || trnsError == 0;
    // An embedded profile rules; an sRGB chunk says the pixels are sRGB already, and gAMA and
    // cHRM alone are left alone as most programs do.
    spng_iccp iccp;
    const int iccpError = spng_get_iccp(ctx, &iccp);
    if (iccpError == 0)
        header.IccProfile = QByteArray(iccp.profile, qsizetype(iccp.profile_len));
    else if (iccpError != SPNG_ECHUNKAVAIL)
        Check(iccpError);
    if (scan.Exif)
        header.Orientation = ExifOrientation(scan.Exif, scan.ExifSize);
    FInterlaced = FIhdr.interlace_method != SPNG_INTERLACE_NONE;
    return header;
}

void TPngDecoder::Start(TRowLayout layout) {
    FBytesPerPixel = BytesPerPixel(layout);
    const int format = layout == TRowLayout::Bgr24 ? SPNG_FMT_RGB8 : SPNG_FMT_RGBA8;
    // 16-bit samples become their high byte; tRNS makes its colour or palette entries
    // transparent.
    Check(spng_decode_image(FContext.get(), nullptr, 0, format,
                            SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE));
    FRowBytes = size_t(FIhdr.width) * size_t(FBytesPerPixel);
}

void TPngDecoder::DecodeInterlaced() {
    FWhole.reset(new uint8_t[FRowBytes * FIhdr.height]);
    const int64_t total = InterlacedScanlines(FIhdr.width, FIhdr.height);
    for (int64_t done = 0;; ++done) {
        ReportProgress(int(std::min<int64_t>(done * 100 / total, 99)));
        // The end may be known before or only after the last row's call.
        spng_row_info info;
        int error = spng_get_row_info(FContext.get(), &info);
        if (error == SPNG_EOI)
            break;
        Check(error);
        if (info.row_num >= FIhdr.height)
            Fail(SPNG_EINTERNAL);
        error = spng_decode_row(FContext.get(), FWhole.get() + FRowBytes * info.row_num, FRowBytes);
        if (error == SPNG_EOI)
            break;
        Check(error);
    }
}

void TPngDecoder::ReadRows(uint8_t* const* rows, int count) {
    if (count > int(FIhdr.height) - FNext)
        throw EInvalidOperation(QStringLiteral("PNG rows asked for beyond the picture"));
    if (FInterlaced && !FWhole)
        DecodeInterlaced();
    for (int i = 0; i < count; ++i, ++FNext) {
        if (FInterlaced) {
            std::memcpy(rows[i], FWhole.get() + FRowBytes * size_t(FNext), FRowBytes);
        } else {
            ReportProgress(int(int64_t(FNext) * 100 / FIhdr.height));
            const int error = spng_decode_row(FContext.get(), rows[i], FRowBytes);
            // The last row's decoding says that the image ends there.
            if (error != 0 && !(error == SPNG_EOI && FNext + 1 == int(FIhdr.height)))
                Fail(error);
        }
        SwapRedBlue(rows[i], int(FIhdr.width), FBytesPerPixel);
    }
}

} // namespace

const TCodec& PngCodec() {
    static const TCodec codec{kName, [](const uint8_t* data, size_t size, const QString& name) {
                                  return std::make_unique<TPngDecoder>(data, size, name);
                              }};
    return codec;
}

QImage DecodePngImage(const uint8_t* data, size_t size, const QString& name) {
    TPngDecoder decoder(data, size, name);
    const TPictureHeader header = decoder.ReadHeader();
    QImage image = AllocateImage(header.Width, header.Height, QImage::Format_ARGB32);
    decoder.Start(TRowLayout::Bgra32);
    for (int y = 0; y < header.Height; ++y) {
        uint8_t* row = image.scanLine(y);
        decoder.ReadRows(&row, 1);
    }
    return image;
}
