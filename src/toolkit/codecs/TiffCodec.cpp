#include "toolkit/codecs/TiffCodec.h"

#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr const char* kName = "TIFF";
// libtiff's largest single allocation: a whole 16-bit RGBA strip of the largest picture taken.
constexpr tmsize_t kMaxAllocation = tmsize_t(4 * kMaxPicturePixels) + (tmsize_t(1) << 20);
constexpr uint16_t kMaxSamplesPerPixel = 16;
// Tiles may be larger than a small picture, but not beyond this many pixels.
constexpr uint64_t kMaxTilePixelsAnyPicture = uint64_t(1) << 20;

// The file's bytes, read and mapped by libtiff.
struct TMemoryFile {
    const uint8_t* Data;
    size_t Size;
    uint64_t At = 0;
};

tmsize_t ReadFile(thandle_t handle, void* buffer, tmsize_t size) {
    auto* file = static_cast<TMemoryFile*>(handle);
    if (size <= 0 || file->At >= file->Size)
        return 0;
    const size_t n = size_t(std::min<uint64_t>(uint64_t(size), file->Size - file->At));
    std::memcpy(buffer, file->Data + file->At, n);
    file->At += n;
    return tmsize_t(n);
}

tmsize_t WriteFile(thandle_t, void*, tmsize_t) {
    return 0;
}

toff_t SeekFile(thandle_t handle, toff_t offset, int whence) {
    auto* file = static_cast<TMemoryFile*>(handle);
    uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = file->At;
    else if (whence == SEEK_END)
        base = file->Size;
    if (offset > UINT64_MAX - base)
        return toff_t(-1);
    file->At = base + offset;
    return file->At;
}

int CloseFile(thandle_t) {
    return 0;
}

toff_t FileSize(thandle_t handle) {
    return static_cast<TMemoryFile*>(handle)->Size;
}

int MapFile(thandle_t handle, void** base, toff_t* size) {
    auto* file = static_cast<TMemoryFile*>(handle);
    *base = const_cast<uint8_t*>(file->Data);
    *size = file->Size;
    return 1;
}

void UnmapFile(thandle_t, void*, toff_t) {}

// How the colour samples of a pixel make blue, green and red.
enum class TModel { Grey, GreyInverted, Rgb, Palette, Cmyk };

class TTiffDecoder final : public TPictureDecoder {
public:
    TTiffDecoder(const uint8_t* data, size_t size, const QString& name)
        : FFile{data, size}, FName(name), FTiff(nullptr, TIFFClose) {}

    TPictureHeader ReadHeader() override;
    bool Sequential() const override { return FBandHeight == 1 || FBandHeight < FHeight; }
    void Start(TRowLayout layout) override;
    void ReadRows(uint8_t* const* rows, int count) override;

    // libtiff's messages, kept instead of printed.
    void Note(const char* module, bool error, const char* format, va_list args);

private:
    [[noreturn]] void Fail(const QString& fallback) const;
    [[noreturn]] void Unsupported(const QString& what) const {
        ThrowInvalidPicture(kName, FName, what + QStringLiteral(" is not supported"));
    }
    void ReadPalette();
    void LoadBand(uint32_t y);
    // Row y as 8-bit samples (palette indices unscaled), FSamplesPerPixel per pixel.
    const uint8_t* Samples(uint32_t y);
    void Expand(const uint8_t* raw, size_t count, uint8_t* out, size_t stride) const;
    void Convert(const uint8_t* samples, uint8_t* out) const;

    TMemoryFile FFile;
    QString FName;
    std::unique_ptr<TIFF, decltype(&TIFFClose)> FTiff;
    QString FError;
    bool FDataEnded = false; // a JPEG strip or tile ended early

    uint32_t FWidth = 0, FHeight = 0;
    uint16_t FBitsPerSample = 8, FSamplesPerPixel = 1;
    TModel FModel = TModel::Grey;
    int FAlphaAt = -1; // the alpha sample, or -1
    bool FAssociated = false;
    std::array<uint8_t, 3 * 256> FPalette{}; // blue, green, red
    // The rows of raw samples read at once: a scan line (contiguous strips), a strip of each
    // plane (separate strips) or a row of tiles. The band holds FPlanes planes of FBandHeight
    // rows of FPlaneRowBytes bytes.
    bool FTiled = false;
    uint32_t FTileWidth = 0;
    uint32_t FBandHeight = 1;
    uint16_t FPlanes = 1;
    size_t FPlaneRowBytes = 0;
    std::vector<uint8_t> FBand;
    std::vector<uint8_t> FTile;
    uint32_t FBandTop = 0, FBandRows = 0;
    std::vector<uint8_t> FSamples;
    int FBytesPerPixel = 4;
    uint32_t FNext = 0;
};

int OnError(TIFF*, void* decoder, const char* module, const char* format, va_list args) {
    static_cast<TTiffDecoder*>(decoder)->Note(module, true, format, args);
    return 1; // handled: nothing is printed
}

int OnWarning(TIFF*, void* decoder, const char* module, const char* format, va_list args) {
    static_cast<TTiffDecoder*>(decoder)->Note(module, false, format, args);
    return 1;
}

void TTiffDecoder::Note(const char* module, bool error, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    // libjpeg's warnings that its data ran out: the rest of the strip would be grey.
    if (!error && module && std::strcmp(module, "JPEGLib") == 0 &&
        (std::strncmp(text, "Premature end of JPEG file", 26) == 0 ||
         std::strncmp(text, "Corrupt JPEG data: premature end of data segment", 48) == 0)) {
        error = FDataEnded = true;
    }
    if (error && FError.isEmpty()) // the first error says most
        FError = QString::fromUtf8(text);
}

void TTiffDecoder::Fail(const QString& fallback) const {
    ThrowInvalidPicture(kName, FName, FError.isEmpty() ? fallback : FError);
}

TPictureHeader TTiffDecoder::ReadHeader() {
    // Messages that libtiff gives without a file at hand would go to the global handlers.
    static const bool silenced = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)silenced;
    std::unique_ptr<TIFFOpenOptions, decltype(&TIFFOpenOptionsFree)> options(TIFFOpenOptionsAlloc(),
                                                                             TIFFOpenOptionsFree);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kMaxAllocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), OnError, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), OnWarning, this);
    FTiff.reset(TIFFClientOpenExt(kName, "r", &FFile, ReadFile, WriteFile, SeekFile, CloseFile,
                                  FileSize, MapFile, UnmapFile, options.get()));
    if (!FTiff)
        Fail(QStringLiteral("the file could not be opened"));
    TIFF* tif = FTiff.get();

    uint16_t photometric = 0, planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT;
    uint16_t compression = COMPRESSION_NONE, orientation = ORIENTATION_TOPLEFT;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &FWidth);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &FHeight);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &FBitsPerSample);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &FSamplesPerPixel);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
        ThrowInvalidPicture(kName, FName, QStringLiteral("the colour model is missing"));
    // Colour, alpha and a few more: pictures of many bands (multispectral images) are no
    // wallpapers.
    if (FSamplesPerPixel > kMaxSamplesPerPixel)
        Unsupported(QStringLiteral("a picture of %1 samples per pixel").arg(FSamplesPerPixel));
    // The decoded size the samples need.
    CheckPictureLimits(kName, FName, FWidth, FHeight,
                       (int64_t(FSamplesPerPixel) * FBitsPerSample + 7) / 8);

    if (!TIFFIsCODECConfigured(compression))
        Unsupported(QStringLiteral("the compression method %1").arg(compression));
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID)
        Unsupported(QStringLiteral("the sample format %1").arg(format));
    const uint16_t bits = FBitsPerSample;
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16)
        Unsupported(QStringLiteral("a sample size of %1 bits").arg(bits));
    int channels = 1;
    switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
        FModel = TModel::Grey;
        break;
    case PHOTOMETRIC_MINISWHITE:
        FModel = TModel::GreyInverted;
        break;
    case PHOTOMETRIC_RGB:
        FModel = TModel::Rgb;
        channels = 3;
        break;
    case PHOTOMETRIC_PALETTE:
        FModel = TModel::Palette;
        if (bits > 8)
            Unsupported(QStringLiteral("a palette of %1 bits").arg(bits));
        ReadPalette();
        break;
    case PHOTOMETRIC_SEPARATED: {
        uint16_t inks = INKSET_CMYK;
        TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inks);
        if (inks != INKSET_CMYK)
            Unsupported(QStringLiteral("a separation other than CMYK"));
        FModel = TModel::Cmyk;
        channels = 4;
        break;
    }
    case PHOTOMETRIC_YCBCR:
        if (compression != COMPRESSION_JPEG)
            Unsupported(QStringLiteral("YCbCr without JPEG compression"));
        // libjpeg gives RGB.
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        FModel = TModel::Rgb;
        channels = 3;
        break;
    default:
        Unsupported(QStringLiteral("the colour model %1").arg(photometric));
    }
    if (FSamplesPerPixel < channels)
        ThrowInvalidPicture(kName, FName,
                            QStringLiteral("%1 samples per pixel are too few for its colour model")
                                .arg(FSamplesPerPixel));
    // The first extra sample is alpha when it says so, or when nothing says what it is.
    if (FSamplesPerPixel > channels) {
        uint16_t count = 0;
        uint16_t* kinds = nullptr;
        if (!TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) || count == 0 || !kinds) {
            FAlphaAt = channels;
        } else if (kinds[0] == EXTRASAMPLE_ASSOCALPHA || kinds[0] == EXTRASAMPLE_UNASSALPHA) {
            FAlphaAt = channels;
            FAssociated = kinds[0] == EXTRASAMPLE_ASSOCALPHA;
        }
    }

    // The band read at once.
    FPlanes = planar == PLANARCONFIG_SEPARATE ? FSamplesPerPixel : 1;
    FTiled = TIFFIsTiled(tif);
    uint64_t rowBytes = 0;
    if (FTiled) {
        uint32_t tileHeight = 0;
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &FTileWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileHeight);
        if (FTileWidth == 0 || tileHeight == 0 ||
            uint64_t(FTileWidth) * tileHeight >
                std::max<uint64_t>(uint64_t(FWidth) * FHeight, kMaxTilePixelsAnyPicture))
            ThrowInvalidPicture(kName, FName,
                                QStringLiteral("the tile size %1 x %2 does not suit the picture")
                                    .arg(FTileWidth)
                                    .arg(tileHeight));
        FBandHeight = std::min(tileHeight, FHeight);
        rowBytes = (uint64_t(FWidth) + FTileWidth - 1) / FTileWidth * TIFFTileRowSize64(tif);
    } else {
        uint32_t rowsPerStrip = FHeight;
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        // Contiguous strips are read a scan line at a time; separate planes a strip at a time.
        FBandHeight = FPlanes == 1 ? 1 : std::clamp<uint32_t>(rowsPerStrip, 1, FHeight);
        rowBytes = TIFFScanlineSize64(tif);
    }
    if (rowBytes == 0)
        Fail(QStringLiteral("the row size is not valid"));
    FPlaneRowBytes = size_t(rowBytes);

    TPictureHeader header;
    header.Width = int(FWidth);
    header.Height = int(FHeight);
    header.Alpha = FAlphaAt >= 0;
    header.Orientation = orientation;
    uint32_t profileSize = 0;
    const void* profile = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &profileSize, &profile) && profile)
        header.IccProfile = QByteArray(static_cast<const char*>(profile), qsizetype(profileSize));
    return header;
}

// The colour map holds 16-bit values; files whose values all fit in 8 bits were written by
// programs that stored 8-bit ones, and are taken as such (as libtiff's own reader does).
void TTiffDecoder::ReadPalette() {
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (!TIFFGetField(FTiff.get(), TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green ||
        !blue)
        ThrowInvalidPicture(kName, FName, QStringLiteral("the palette is missing"));
    const int count = 1 << FBitsPerSample;
    bool wide = false;
    for (int i = 0; i < count; ++i)
        wide = wide || red[i] > 255 || green[i] > 255 || blue[i] > 255;
    const int shift = wide ? 8 : 0;
    for (int i = 0; i < count; ++i) {
        FPalette[3 * i] = uint8_t(blue[i] >> shift);
        FPalette[3 * i + 1] = uint8_t(green[i] >> shift);
        FPalette[3 * i + 2] = uint8_t(red[i] >> shift);
    }
}

void TTiffDecoder::Start(TRowLayout layout) {
    FBytesPerPixel = BytesPerPixel(layout);
    FBand.resize(size_t(FPlanes) * FBandHeight * FPlaneRowBytes);
    if (FTiled) {
        const tmsize_t tile = TIFFTileSize(FTiff.get());
        if (tile <= 0)
            Fail(QStringLiteral("the tile size is not valid"));
        FTile.resize(size_t(tile));
    }
    FSamples.resize(size_t(FWidth) * FSamplesPerPixel);
}

void TTiffDecoder::LoadBand(uint32_t y) {
    TIFF* tif = FTiff.get();
    FBandTop = y - y % FBandHeight;
    FBandRows = std::min(FBandHeight, FHeight - FBandTop);
    const size_t planeBytes = size_t(FBandHeight) * FPlaneRowBytes;
    if (!FTiled && FPlanes == 1) {
        if (TIFFReadScanline(tif, FBand.data(), y, 0) < 0)
            Fail(QStringLiteral("row %1 could not be read").arg(y));
        return;
    }
    if (!FTiled) {
        const tmsize_t need = tmsize_t(FBandRows * FPlaneRowBytes);
        for (uint16_t p = 0; p < FPlanes; ++p)
            if (TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, FBandTop, p),
                                     FBand.data() + p * planeBytes, need) < need)
                Fail(QStringLiteral("the strip of row %1 could not be read").arg(y));
        return;
    }
    const size_t tileRowBytes = size_t(TIFFTileRowSize64(tif));
    for (uint16_t p = 0; p < FPlanes; ++p)
        for (uint32_t x = 0, column = 0; x < FWidth; x += FTileWidth, ++column) {
            if (TIFFReadTile(tif, FTile.data(), x, FBandTop, 0, p) < 0)
                Fail(QStringLiteral("the tile at %1, %2 could not be read").arg(x).arg(FBandTop));
            for (uint32_t r = 0; r < FBandRows; ++r)
                std::memcpy(FBand.data() + p * planeBytes + r * FPlaneRowBytes +
                                column * tileRowBytes,
                            FTile.data() + r * tileRowBytes, tileRowBytes);
        }
}

// count samples of FBitsPerSample bits from raw to out (every stride bytes) as 8 bits: the high
// byte of 16-bit samples, fewer bits scaled to 0..255 (palette indices as they are).
void TTiffDecoder::Expand(const uint8_t* raw, size_t count, uint8_t* out, size_t stride) const {
    const int bits = FBitsPerSample;
    if (bits == 8) {
        for (size_t i = 0; i < count; ++i)
            out[i * stride] = raw[i];
    } else if (bits == 16) {
        for (size_t i = 0; i < count; ++i) {
            uint16_t v;
            std::memcpy(&v, raw + 2 * i, 2); // in the machine's order
            out[i * stride] = uint8_t(v >> 8);
        }
    } else {
        const unsigned max = (1u << bits) - 1;
        const unsigned scale = FModel == TModel::Palette ? 1 : 255 / max;
        for (size_t i = 0; i < count; ++i) {
            const size_t bit = i * size_t(bits);
            const unsigned v = (raw[bit / 8] >> (8 - bits - bit % 8)) & max;
            out[i * stride] = uint8_t(v * scale);
        }
    }
}

const uint8_t* TTiffDecoder::Samples(uint32_t y) {
    if (y < FBandTop || y >= FBandTop + FBandRows) {
        LoadBand(y);
        if (FDataEnded)
            Fail(QString());
    }
    const size_t row = size_t(y - FBandTop) * FPlaneRowBytes;
    if (FPlanes == 1) {
        if (FBitsPerSample == 8)
            return FBand.data() + row;
        Expand(FBand.data() + row, size_t(FWidth) * FSamplesPerPixel, FSamples.data(), 1);
        return FSamples.data();
    }
    const size_t planeBytes = size_t(FBandHeight) * FPlaneRowBytes;
    for (uint16_t p = 0; p < FPlanes; ++p)
        Expand(FBand.data() + p * planeBytes + row, FWidth, FSamples.data() + p, FPlanes);
    return FSamples.data();
}

void TTiffDecoder::Convert(const uint8_t* s, uint8_t* out) const {
    const size_t spp = FSamplesPerPixel, bpp = size_t(FBytesPerPixel);
    const int alphaAt = FAlphaAt;
    const bool associated = FAssociated;
    const auto each = [&](auto colour) {
        for (uint32_t x = 0; x < FWidth; ++x, s += spp, out += bpp) {
            colour(s, out);
            if (bpp == 4) {
                const unsigned a = alphaAt >= 0 ? s[alphaAt] : 255;
                out[3] = uint8_t(a);
                // Associated alpha: colour was multiplied by alpha; the rows are straight.
                if (associated && a < 255)
                    for (int c = 0; c < 3; ++c)
                        out[c] = a == 0 ? 0 : uint8_t(std::min(255u, (out[c] * 255u + a / 2) / a));
            }
        }
    };
    switch (FModel) {
    case TModel::Grey:
        each([](const uint8_t* s, uint8_t* o) { o[0] = o[1] = o[2] = s[0]; });
        break;
    case TModel::GreyInverted:
        each([](const uint8_t* s, uint8_t* o) { o[0] = o[1] = o[2] = uint8_t(255 - s[0]); });
        break;
    case TModel::Rgb:
        each([](const uint8_t* s, uint8_t* o) {
            o[0] = s[2];
            o[1] = s[1];
            o[2] = s[0];
        });
        break;
    case TModel::Palette:
        each([this](const uint8_t* s, uint8_t* o) {
            std::memcpy(o, FPalette.data() + 3 * size_t(s[0]), 3);
        });
        break;
    case TModel::Cmyk:
        // Plainly: each colour is what its ink and the black ink leave of white.
        each([](const uint8_t* s, uint8_t* o) {
            const unsigned white = 255u - s[3];
            for (int c = 0; c < 3; ++c)
                o[c] = uint8_t(((255u - s[2 - c]) * white + 127) / 255);
        });
        break;
    }
}

void TTiffDecoder::ReadRows(uint8_t* const* rows, int count) {
    if (count < 0 || uint32_t(count) > FHeight - FNext)
        throw EInvalidOperation(QStringLiteral("TIFF rows asked for beyond the picture"));
    for (int i = 0; i < count; ++i, ++FNext) {
        ReportProgress(int(int64_t(FNext) * 100 / FHeight));
        Convert(Samples(FNext), rows[i]);
    }
}

} // namespace

const TCodec& TiffCodec() {
    static const TCodec codec{kName, [](const uint8_t* data, size_t size, const QString& name) {
                                  return std::make_unique<TTiffDecoder>(data, size, name);
                              }};
    return codec;
}
