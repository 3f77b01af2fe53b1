#include "toolkit/codecs/JxlCodec.h"

#include "toolkit/codecs/QuietStderr.h"

#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>

#include <algorithm>
#include <vector>

namespace {

constexpr const char* kName = "JPEG XL";

JxlColorEncoding Srgb() {
    JxlColorEncoding srgb{};
    srgb.color_space = JXL_COLOR_SPACE_RGB;
    srgb.white_point = JXL_WHITE_POINT_D65;
    srgb.primaries = JXL_PRIMARIES_SRGB;
    srgb.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
    srgb.rendering_intent = JXL_RENDERING_INTENT_PERCEPTUAL;
    return srgb;
}

bool IsSrgb(const JxlColorEncoding& c) {
    return c.color_space == JXL_COLOR_SPACE_RGB && c.white_point == JXL_WHITE_POINT_D65 &&
           c.primaries == JXL_PRIMARIES_SRGB && c.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
}

class TJxlDecoder : public TPictureDecoder {
public:
    TJxlDecoder(const uint8_t* data, size_t size, const QString& name)
        : FData(data), FSize(size), FName(name) {}
    ~TJxlDecoder() override {
        if (FDecoder)
            JxlDecoderDestroy(FDecoder);
        if (FRunner)
            JxlThreadParallelRunnerDestroy(FRunner);
    }

    TPictureHeader ReadHeader() override;
    bool Sequential() const override { return false; }
    void Start(TRowLayout layout) override;
    void ReadRows(uint8_t* const* rows, int count) override;

private:
    [[noreturn]] void Invalid(const QString& why) const { ThrowInvalidPicture(kName, FName, why); }
    [[noreturn]] void Damaged() const { Invalid(QStringLiteral("the data is damaged")); }
    // Hands the decoder the next step of the file.
    void Feed(bool reportProgress);
    // The decoder's next event, handing it the file a step at a time.
    JxlDecoderStatus Next(bool reportProgress);

    const uint8_t* FData;
    size_t FSize;
    QString FName;
    JxlDecoder* FDecoder = nullptr;
    void* FRunner = nullptr;
    size_t FFed = 0; // bytes handed to the decoder so far
    JxlBasicInfo FInfo{};
    int FBpp = 3;
    std::vector<uint8_t> FPixels; // red, green, blue (alpha) as libjxl writes them
    int FNext = 0;
};

void TJxlDecoder::Feed(bool reportProgress) {
    if (FFed >= FSize)
        Invalid(QStringLiteral("the data is truncated"));
    const size_t unused = FFed > 0 ? JxlDecoderReleaseInput(FDecoder) : 0;
    const size_t step = std::max<size_t>(FSize / 16, 256 * 1024);
    const size_t from = FFed - unused;
    FFed = std::min(FSize, FFed + step);
    JxlDecoderSetInput(FDecoder, FData + from, FFed - from);
    if (FFed == FSize)
        JxlDecoderCloseInput(FDecoder);
    if (reportProgress)
        ReportProgress(int(FFed * 90 / FSize));
}

JxlDecoderStatus TJxlDecoder::Next(bool reportProgress) {
    if (FFed == 0)
        Feed(false);
    for (;;) {
        JxlDecoderStatus status;
        {
            const TQuietStderr quiet;
            status = JxlDecoderProcessInput(FDecoder);
        }
        if (status != JXL_DEC_NEED_MORE_INPUT)
            return status;
        Feed(reportProgress);
    }
}

TPictureHeader TJxlDecoder::ReadHeader() {
    if (JxlSignatureCheck(FData, FSize) < JXL_SIG_CODESTREAM)
        Invalid(QStringLiteral("it does not begin with a JPEG XL signature"));
    FDecoder = JxlDecoderCreate(nullptr);
    FRunner =
        JxlThreadParallelRunnerCreate(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads());
    if (!FDecoder || !FRunner ||
        JxlDecoderSetParallelRunner(FDecoder, JxlThreadParallelRunner, FRunner) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSubscribeEvents(FDecoder, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                                JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(FDecoder, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(FDecoder, JXL_TRUE) != JXL_DEC_SUCCESS)
        Invalid(QStringLiteral("there is not enough memory to decode it"));

    TPictureHeader header;
    for (;;) {
        const JxlDecoderStatus status = Next(false);
        if (status == JXL_DEC_BASIC_INFO) {
            if (JxlDecoderGetBasicInfo(FDecoder, &FInfo) != JXL_DEC_SUCCESS)
                Damaged();
            // libjxl holds 32 bits a channel of the frame while it decodes, and the 8-bit picture.
            const int64_t channels = int64_t(FInfo.num_color_channels) + FInfo.num_extra_channels;
            CheckPictureLimits(kName, FName, FInfo.xsize, FInfo.ysize, 4 * channels + 4);
            header.Width = int(FInfo.xsize);
            header.Height = int(FInfo.ysize);
            header.Alpha = FInfo.alpha_bits > 0;
            header.Orientation = int(FInfo.orientation);
        } else if (status == JXL_DEC_COLOR_ENCODING) {
            // XYB-coded pictures can be had in any colour space: sRGB, then.
            if (!FInfo.uses_original_profile) {
                const JxlColorEncoding srgb = Srgb();
                JxlDecoderSetPreferredColorProfile(FDecoder, &srgb);
            }
            JxlColorEncoding encoding;
            if (JxlDecoderGetColorAsEncodedProfile(FDecoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                                   &encoding) == JXL_DEC_SUCCESS &&
                IsSrgb(encoding))
                return header;
            size_t size = 0;
            if (JxlDecoderGetICCProfileSize(FDecoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                            &size) == JXL_DEC_SUCCESS &&
                size > 0) {
                QByteArray icc(qsizetype(size), Qt::Uninitialized);
                if (JxlDecoderGetColorAsICCProfile(FDecoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                                   reinterpret_cast<uint8_t*>(icc.data()),
                                                   size) == JXL_DEC_SUCCESS)
                    header.IccProfile = icc;
            }
            return header;
        } else {
            Damaged();
        }
    }
}

void TJxlDecoder::Start(TRowLayout layout) {
    ReportProgress(0);
    FBpp = BytesPerPixel(layout);
    const JxlPixelFormat format{uint32_t(FBpp), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
        const JxlDecoderStatus status = Next(true);
        if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            size_t size = 0;
            if (JxlDecoderImageOutBufferSize(FDecoder, &format, &size) != JXL_DEC_SUCCESS ||
                size != size_t(FInfo.xsize) * FInfo.ysize * size_t(FBpp))
                Damaged();
            FPixels.resize(size);
            if (JxlDecoderSetImageOutBuffer(FDecoder, &format, FPixels.data(), size) !=
                JXL_DEC_SUCCESS)
                Damaged();
        } else if (status == JXL_DEC_FULL_IMAGE) {
            break; // the first frame; the others are never decoded
        } else {
            Damaged();
        }
    }
    if (FPixels.empty())
        Damaged();
    ReportProgress(90);
}

void TJxlDecoder::ReadRows(uint8_t* const* rows, int count) {
    const size_t width = FInfo.xsize;
    for (int i = 0; i < count; ++i, ++FNext) {
        if (FNext >= int(FInfo.ysize))
            throw EInvalidOperation(
                QStringLiteral("Row %1 asked for beyond the picture").arg(FNext));
        const uint8_t* in = FPixels.data() + size_t(FNext) * width * size_t(FBpp);
        uint8_t* out = rows[i];
        for (size_t x = 0; x < width; ++x, in += FBpp, out += FBpp) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            if (FBpp == 4)
                out[3] = in[3];
        }
        ReportProgress(90 + int(int64_t(FNext + 1) * 10 / FInfo.ysize));
    }
}

} // namespace

const TCodec& JxlCodec() {
    static const TCodec codec{kName, [](const uint8_t* data, size_t size, const QString& name) {
                                  return std::unique_ptr<TPictureDecoder>(
                                      std::make_unique<TJxlDecoder>(data, size, name));
                              }};
    return codec;
}
