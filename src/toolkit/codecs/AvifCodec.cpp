// Colour: an ICC profile goes into the header (converted to sRGB by the picture). Colour given
// only by CICP (nclx) is converted from YUV to RGB with the matrix it names and then taken as
// sRGB: right for BT.709/sRGB primaries with the sRGB or BT.709 transfer (nearly all pictures);
// others (BT.2020, Display P3, PQ or HLG transfer) load and show with their RGB values read as
// sRGB, so wide-gamut colours look less saturated and HDR pictures dark and flat.
#include "toolkit/codecs/AvifCodec.h"

#include "toolkit/codecs/QuietStderr.h"

#include <avif/avif.h>

#include <QThread>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr const char* kName = "AVIF";

// Rows converted from YUV at a time, and the rows converted beyond them on either side so that
// chroma upsampling sees the same neighbours as in a conversion of the whole picture.
constexpr int kStripRows = 32;
constexpr int kStripMargin = 2;

// The EXIF orientation of a picture rotated by irot (angle x 90 degrees anticlockwise, -1 for
// none) and then mirrored by imir (mode 0: top and bottom exchanged, 1: left and right
// exchanged, -1 for none), the order in which HEIF applies them.
int Orientation(int angle, int mode) {
    static const int kTable[3][4] = {
        {1, 8, 3, 6}, // rotated only
        {4, 5, 2, 7}, // then top and bottom exchanged
        {2, 7, 4, 5}, // then left and right exchanged
    };
    return kTable[mode + 1][std::max(angle, 0) & 3];
}

class TAvifDecoder : public TPictureDecoder {
public:
    TAvifDecoder(const uint8_t* data, size_t size, const QString& name)
        : FData(data), FSize(size), FName(name) {}
    ~TAvifDecoder() override {
        if (FView)
            avifImageDestroy(FView);
        if (FDecoder)
            avifDecoderDestroy(FDecoder);
    }

    TPictureHeader ReadHeader() override;
    bool Sequential() const override { return false; }
    void Start(TRowLayout layout) override;
    void ReadRows(uint8_t* const* rows, int count) override;

private:
    [[noreturn]] void Invalid(const QString& why) const { ThrowInvalidPicture(kName, FName, why); }
    void Check(avifResult result) const;
    void ConvertStrip(int top);

    const uint8_t* FData;
    size_t FSize;
    QString FName;
    avifDecoder* FDecoder = nullptr;
    avifImage* FView = nullptr; // rows of the decoded picture, converted a strip at a time
    int FWidth = 0, FHeight = 0;
    avifRGBImage FRgb{};
    std::vector<uint8_t> FStrip;
    int FStripTop = 0, FStripRows = 0; // picture rows in FStrip, from FStripOffset on
    int FStripOffset = 0;
    int FNext = 0;
};

void TAvifDecoder::Check(avifResult result) const {
    if (result == AVIF_RESULT_OK)
        return;
    if (result == AVIF_RESULT_TRUNCATED_DATA)
        Invalid(QStringLiteral("the data is truncated"));
    if (result == AVIF_RESULT_OUT_OF_MEMORY)
        Invalid(QStringLiteral("there is not enough memory to decode it"));
    const QString why = QString::fromUtf8(avifResultToString(result));
    const QString detail = FDecoder ? QString::fromUtf8(FDecoder->diag.error) : QString();
    Invalid(detail.isEmpty() ? why : why + QStringLiteral(" (") + detail + QLatin1Char(')'));
}

TPictureHeader TAvifDecoder::ReadHeader() {
    FDecoder = avifDecoderCreate();
    if (!FDecoder)
        Check(AVIF_RESULT_OUT_OF_MEMORY);
    FDecoder->maxThreads = std::max(1, QThread::idealThreadCount());
    // libavif refuses larger pictures before it allocates them (also those whose AV1 data
    // disagrees with the size the container gives).
    FDecoder->imageSizeLimit = uint32_t(kMaxPicturePixels);
    FDecoder->imageDimensionLimit = uint32_t(kMaxPictureSide);
    FDecoder->ignoreExif = AVIF_TRUE; // the orientation is irot and imir's
    FDecoder->ignoreXMP = AVIF_TRUE;
    // Pictures from older writers lack properties the standard now asks for; they still load.
    FDecoder->strictFlags = AVIF_STRICT_DISABLED;
    Check(avifDecoderSetIOMemory(FDecoder, FData, FSize));
    Check(avifDecoderParse(FDecoder));

    const avifImage* image = FDecoder->image;
    TPictureHeader header;
    header.Width = int(std::min<uint32_t>(image->width, INT32_MAX));
    header.Height = int(std::min<uint32_t>(image->height, INT32_MAX));
    header.Alpha = FDecoder->alphaPresent;
    // libavif holds the YUV (and alpha) planes, 16 bits a sample above 8 bits.
    const int sampleBytes = image->depth > 8 ? 2 : 1;
    CheckPictureLimits(kName, FName, header.Width, header.Height,
                       sampleBytes * (header.Alpha ? 4 : 3));
    FWidth = header.Width;
    FHeight = header.Height;
    const int angle = (image->transformFlags & AVIF_TRANSFORM_IROT) ? image->irot.angle : -1;
    const int mode = (image->transformFlags & AVIF_TRANSFORM_IMIR) ? image->imir.mode & 1 : -1;
    header.Orientation = Orientation(angle, mode);
    if (image->icc.size > 0)
        header.IccProfile =
            QByteArray(reinterpret_cast<const char*>(image->icc.data), qsizetype(image->icc.size));
    return header;
}

void TAvifDecoder::Start(TRowLayout layout) {
    ReportProgress(0);
    avifResult decoded;
    {
        const TQuietStderr quiet; // dav1d's log
        decoded = avifDecoderNextImage(FDecoder);
    }
    Check(decoded);
    const avifImage* image = FDecoder->image;
    if (int64_t(image->width) != FWidth || int64_t(image->height) != FHeight)
        Invalid(QStringLiteral("the coded picture's size %1 x %2 differs from the file's %3 x %4")
                    .arg(image->width)
                    .arg(image->height)
                    .arg(FWidth)
                    .arg(FHeight));
    FView = avifImageCreateEmpty();
    if (!FView)
        Check(AVIF_RESULT_OUT_OF_MEMORY);
    avifRGBImageSetDefaults(&FRgb, image);
    FRgb.depth = 8;
    FRgb.format = layout == TRowLayout::Bgra32 ? AVIF_RGB_FORMAT_BGRA : AVIF_RGB_FORMAT_BGR;
    FRgb.alphaPremultiplied = AVIF_FALSE; // libavif unpremultiplies premultiplied pictures
    FRgb.rowBytes = uint32_t(FWidth) * uint32_t(BytesPerPixel(layout));
    FStrip.resize(size_t(FRgb.rowBytes) * size_t(kStripRows + 2 * kStripMargin));
    ReportProgress(50);
}

// Converts rows top .. top + kStripRows (top a multiple of kStripRows, so even, as 4:2:0 chroma
// needs) with kStripMargin rows around them.
void TAvifDecoder::ConvertStrip(int top) {
    const int from = std::max(0, top - kStripMargin);
    const int to = std::min(FHeight, top + kStripRows + kStripMargin);
    const avifCropRect rect{0, uint32_t(from), uint32_t(FWidth), uint32_t(to - from)};
    Check(avifImageSetViewRect(FView, FDecoder->image, &rect));
    FRgb.width = uint32_t(FWidth);
    FRgb.height = uint32_t(to - from);
    FRgb.pixels = FStrip.data();
    Check(avifImageYUVToRGB(FView, &FRgb));
    FStripTop = top;
    FStripRows = std::min(kStripRows, FHeight - top);
    FStripOffset = top - from;
}

void TAvifDecoder::ReadRows(uint8_t* const* rows, int count) {
    for (int i = 0; i < count; ++i, ++FNext) {
        if (FNext >= FHeight)
            throw EInvalidOperation(
                QStringLiteral("Row %1 asked for beyond the picture").arg(FNext));
        if (FNext < FStripTop || FNext >= FStripTop + FStripRows || FStripRows == 0)
            ConvertStrip(FNext - FNext % kStripRows);
        std::memcpy(rows[i],
                    FStrip.data() + size_t(FNext - FStripTop + FStripOffset) * FRgb.rowBytes,
                    FRgb.rowBytes);
        ReportProgress(50 + int(int64_t(FNext + 1) * 50 / FHeight));
    }
}

} // namespace

const TCodec& AvifCodec() {
    static const TCodec codec{kName, [](const uint8_t* data, size_t size, const QString& name) {
                                  return std::unique_ptr<TPictureDecoder>(
                                      std::make_unique<TAvifDecoder>(data, size, name));
                              }};
    return codec;
}
