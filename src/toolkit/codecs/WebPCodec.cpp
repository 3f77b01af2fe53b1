#include "toolkit/codecs/WebPCodec.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#if __has_include("toolkit/codecs/Exif.h")
#include "toolkit/codecs/Exif.h"
#define TAPESTRIX_HAVE_EXIF_ORIENTATION 1
#endif

namespace {

constexpr const char* kName = "WebP";

// The orientation an EXIF chunk records. The EXIF parser (Exif.h) is written beside this codec;
// until it is in the tree, WebP pictures count as stored upright.
int OrientationOfExif(const uint8_t* data, size_t size) {
#ifdef TAPESTRIX_HAVE_EXIF_ORIENTATION
    return ExifOrientation(data, size);
#else
    (void)data;
    (void)size;
    return 1;
#endif
}

QString StatusText(VP8StatusCode status) {
    switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY:
        return QStringLiteral("there is not enough memory to decode it");
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return QStringLiteral("it uses a feature the decoder does not support");
    case VP8_STATUS_SUSPENDED:
    case VP8_STATUS_NOT_ENOUGH_DATA:
        return QStringLiteral("the data is truncated");
    default:
        return QStringLiteral("the compressed data is damaged");
    }
}

// The smallest size of at least width x height (one side may be larger) with the picture's
// aspect ratio, or an empty size when that is the full size.
QSize ScaledSize(int fullWidth, int fullHeight, int width, int height) {
    if (width <= 0 || height <= 0 || width >= fullWidth || height >= fullHeight)
        return QSize();
    const double f =
        std::max(double(width) / double(fullWidth), double(height) / double(fullHeight));
    const int w = std::clamp(int(std::ceil(fullWidth * f - 1e-9)), width, fullWidth);
    const int h = std::clamp(int(std::ceil(fullHeight * f - 1e-9)), height, fullHeight);
    if (w >= fullWidth || h >= fullHeight)
        return QSize();
    return QSize(w, h);
}

class TWebPDecoder : public TPictureDecoder {
public:
    TWebPDecoder(const uint8_t* data, size_t size, const QString& name)
        : FData(data), FSize(size), FName(name) {
        WebPInitDecoderConfig(&FConfig);
    }
    ~TWebPDecoder() override {
        if (FIdec)
            WebPIDelete(FIdec);
        WebPFreeDecBuffer(&FConfig.output);
        if (FDemux)
            WebPDemuxDelete(FDemux);
    }

    TPictureHeader ReadHeader() override;
    bool Sequential() const override { return true; }
    QSize ReduceTo(int width, int height) override;
    void Start(TRowLayout layout) override;
    void ReadRows(uint8_t* const* rows, int count) override;

private:
    [[noreturn]] void Invalid(const QString& why) const { ThrowInvalidPicture(kName, FName, why); }
    void DecodeFrameRows(int count);
    const uint8_t* FrameRow(int y) const { return FOut + size_t(y) * size_t(FOutStride); }

    const uint8_t* FData;
    size_t FSize;
    QString FName;
    WebPDemuxer* FDemux = nullptr;
    const uint8_t* FFrame = nullptr; // the first frame's bitstream
    size_t FFrameSize = 0;
    QRect FFramePlace; // where the first frame lies on the canvas
    QSize FCanvas;     // the picture's (canvas) size
    QSize FOutSize;    // the size ReadRows gives (reduced or the canvas)
    WebPDecoderConfig FConfig;
    WebPIDecoder* FIdec = nullptr;
    int FBpp = 3;
    size_t FFed = 0;      // bytes of the frame handed to the decoder
    int FDecodedRows = 0; // frame rows the decoder has finished
    const uint8_t* FOut = nullptr;
    int FOutStride = 0;
    int FNext = 0; // next row ReadRows gives
};

TPictureHeader TWebPDecoder::ReadHeader() {
    WebPData data{FData, FSize};
    WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
    FDemux = WebPDemuxPartial(&data, &state);
    if (!FDemux || state != WEBP_DEMUX_DONE)
        Invalid(state == WEBP_DEMUX_PARSE_ERROR ? QStringLiteral("the file structure is damaged")
                                                : QStringLiteral("the data is truncated"));
    FCanvas = QSize(int(WebPDemuxGetI(FDemux, WEBP_FF_CANVAS_WIDTH)),
                    int(WebPDemuxGetI(FDemux, WEBP_FF_CANVAS_HEIGHT)));
    // The library holds blue, green, red (and alpha) rows of the whole frame while it decodes.
    CheckPictureLimits(kName, FName, FCanvas.width(), FCanvas.height(), 4);
    const uint32_t flags = WebPDemuxGetI(FDemux, WEBP_FF_FORMAT_FLAGS);

    WebPIterator frame;
    if (!WebPDemuxGetFrame(FDemux, 1, &frame))
        Invalid(QStringLiteral("the file holds no picture"));
    FFrame = frame.fragment.bytes;
    FFrameSize = frame.fragment.size;
    FFramePlace = QRect(frame.x_offset, frame.y_offset, frame.width, frame.height);
    const bool hasAlpha = frame.has_alpha != 0;
    WebPDemuxReleaseIterator(&frame);
    if (!QRect(QPoint(0, 0), FCanvas).contains(FFramePlace))
        Invalid(QStringLiteral("the first frame lies outside the picture"));
    WebPBitstreamFeatures features;
    const VP8StatusCode status = WebPGetFeatures(FFrame, FFrameSize, &features);
    if (status != VP8_STATUS_OK)
        Invalid(StatusText(status));
    if (features.width != FFramePlace.width() || features.height != FFramePlace.height())
        Invalid(QStringLiteral("the frame's size does not match its bitstream"));

    TPictureHeader header;
    header.Width = FCanvas.width();
    header.Height = FCanvas.height();
    // Of an animation the first frame is shown as libwebp's animation decoder composes it: on a
    // transparent canvas (the background colour is only a hint), unblended, as the first frame is
    // a key frame.
    header.Alpha = hasAlpha || FFramePlace.size() != FCanvas;
    WebPChunkIterator chunk;
    if ((flags & ICCP_FLAG) && WebPDemuxGetChunk(FDemux, "ICCP", 1, &chunk)) {
        header.IccProfile = QByteArray(reinterpret_cast<const char*>(chunk.chunk.bytes),
                                       qsizetype(chunk.chunk.size));
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    if ((flags & EXIF_FLAG) && WebPDemuxGetChunk(FDemux, "EXIF", 1, &chunk)) {
        header.Orientation = OrientationOfExif(chunk.chunk.bytes, chunk.chunk.size);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    FOutSize = FCanvas;
    return header;
}

QSize TWebPDecoder::ReduceTo(int width, int height) {
    // Only a frame that covers the canvas is scaled; a smaller first frame is rare enough.
    if (FFramePlace.size() != FCanvas)
        return FCanvas;
    const QSize scaled = ScaledSize(FCanvas.width(), FCanvas.height(), width, height);
    if (scaled.isEmpty())
        return FCanvas;
    FConfig.options.use_scaling = 1;
    FConfig.options.scaled_width = scaled.width();
    FConfig.options.scaled_height = scaled.height();
    FOutSize = scaled;
    FFramePlace = QRect(QPoint(0, 0), scaled);
    return scaled;
}

void TWebPDecoder::Start(TRowLayout layout) {
    FBpp = BytesPerPixel(layout);
    FConfig.output.colorspace = layout == TRowLayout::Bgra32 ? MODE_BGRA : MODE_BGR;
    FConfig.options.use_threads = 1;
    FIdec = WebPIDecode(nullptr, 0, &FConfig);
    if (!FIdec)
        Invalid(StatusText(VP8_STATUS_OUT_OF_MEMORY));
}

// Hands the decoder more of the frame until it has finished count rows.
void TWebPDecoder::DecodeFrameRows(int count) {
    // A step small enough for the progress to move, large enough not to slow the decoder.
    const size_t step = std::max<size_t>(FFrameSize / 32, 64 * 1024);
    while (FDecodedRows < count) {
        if (FFed >= FFrameSize)
            Invalid(StatusText(VP8_STATUS_SUSPENDED));
        FFed = std::min(FFrameSize, FFed + step);
        const VP8StatusCode status = WebPIUpdate(FIdec, FFrame, FFed);
        if (status != VP8_STATUS_OK && status != VP8_STATUS_SUSPENDED)
            Invalid(StatusText(status));
        int width = 0, height = 0, lastY = 0, stride = 0;
        const uint8_t* out = WebPIDecGetRGB(FIdec, &lastY, &width, &height, &stride);
        if (out) {
            if (width != FFramePlace.width() || height != FFramePlace.height())
                Invalid(QStringLiteral("the frame's size does not match its bitstream"));
            FOut = out;
            FOutStride = stride;
            FDecodedRows = lastY;
        }
        if (status == VP8_STATUS_OK && FDecodedRows < FFramePlace.height())
            Invalid(StatusText(VP8_STATUS_NOT_ENOUGH_DATA));
    }
}

void TWebPDecoder::ReadRows(uint8_t* const* rows, int count) {
    const size_t rowBytes = size_t(FOutSize.width()) * size_t(FBpp);
    for (int i = 0; i < count; ++i, ++FNext) {
        if (FNext >= FOutSize.height())
            throw EInvalidOperation(
                QStringLiteral("Row %1 asked for beyond the picture").arg(FNext));
        const int fy = FNext - FFramePlace.y();
        if (fy < 0 || fy >= FFramePlace.height()) {
            std::memset(rows[i], 0, rowBytes); // transparent canvas around the first frame
        } else {
            DecodeFrameRows(fy + 1);
            const size_t left = size_t(FFramePlace.x()) * size_t(FBpp);
            const size_t frameBytes = size_t(FFramePlace.width()) * size_t(FBpp);
            std::memset(rows[i], 0, left);
            std::memcpy(rows[i] + left, FrameRow(fy), frameBytes);
            std::memset(rows[i] + left + frameBytes, 0, rowBytes - left - frameBytes);
        }
        ReportProgress(int(int64_t(FNext + 1) * 100 / FOutSize.height()));
    }
}

} // namespace

const TCodec& WebPCodec() {
    static const TCodec codec{kName, [](const uint8_t* data, size_t size, const QString& name) {
                                  return std::unique_ptr<TPictureDecoder>(
                                      std::make_unique<TWebPDecoder>(data, size, name));
                              }};
    return codec;
}
