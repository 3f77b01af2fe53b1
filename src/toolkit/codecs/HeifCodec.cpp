#include "toolkit/codecs/HeifCodec.h"

#include "toolkit/codecs/QuietStderr.h"

#include <libheif/heif.h>

#include <QThread>

#include <algorithm>
#include <vector>

namespace {

constexpr const char* kName = "HEIF";

// Without a decoder configuration (whose bit depth is undefined then) libde265 takes the picture
// size from the coded data alone, however large it says it is: such images are not decoded.
bool HasBitDepth(const heif_image_handle* image) {
    const int luma = heif_image_handle_get_luma_bits_per_pixel(image);
    const int chroma = heif_image_handle_get_chroma_bits_per_pixel(image);
    return luma >= 1 && luma <= 16 && chroma <= 16;
}

void InitOnce() {
    static const bool initialised = [] {
        heif_init(nullptr); // reference counted; kept for the life of the program
        return true;
    }();
    (void)initialised;
}

class THeifDecoder : public TPictureDecoder {
public:
    THeifDecoder(const uint8_t* data, size_t size, const QString& name)
        : FData(data), FSize(size), FName(name) {}
    ~THeifDecoder() override {
        if (FImage)
            heif_image_release(FImage);
        if (FThumbnail)
            heif_image_handle_release(FThumbnail);
        if (FHandle)
            heif_image_handle_release(FHandle);
        if (FContext)
            heif_context_free(FContext);
    }

    TPictureHeader ReadHeader() override;
    bool Sequential() const override { return false; }
    QSize ReduceTo(int width, int height) override;
    void Start(TRowLayout layout) override;
    void ReadRows(uint8_t* const* rows, int count) override;

private:
    [[noreturn]] void Invalid(const QString& why) const { ThrowInvalidPicture(kName, FName, why); }
    void Check(const heif_error& error) const {
        if (error.code != heif_error_Ok)
            Invalid(QString::fromUtf8(error.message));
    }
    void CheckAlphaSize(const heif_image_handle* image, int width, int height) const;
    // The handle decoded: the primary image or its thumbnail.
    const heif_image_handle* Decoded() const { return FThumbnail ? FThumbnail : FHandle; }

    const uint8_t* FData;
    size_t FSize;
    QString FName;
    heif_context* FContext = nullptr;
    heif_image_handle* FHandle = nullptr;
    heif_image_handle* FThumbnail = nullptr;
    heif_image* FImage = nullptr;
    QSize FSizeOut;
    bool FAlpha = false;
    bool FPremultiplied = false;
    int FBpp = 3;
    const uint8_t* FPixels = nullptr;
    int FStride = 0;
    int FNext = 0;
};

TPictureHeader THeifDecoder::ReadHeader() {
    InitOnce();
    FContext = heif_context_alloc();
    if (!FContext)
        Invalid(QStringLiteral("there is not enough memory to decode it"));
    heif_context_set_maximum_image_size_limit(FContext, kMaxPictureSide);
    heif_context_set_max_decoding_threads(FContext, std::max(1, QThread::idealThreadCount()));
    Check(heif_context_read_from_memory_without_copy(FContext, FData, FSize, nullptr));
    Check(heif_context_get_primary_image_handle(FContext, &FHandle));

    TPictureHeader header;
    header.Width = heif_image_handle_get_width(FHandle);
    header.Height = heif_image_handle_get_height(FHandle);
    header.Alpha = heif_image_handle_has_alpha_channel(FHandle) != 0;
    FAlpha = header.Alpha;
    FPremultiplied = FAlpha && heif_image_handle_is_premultiplied_alpha(FHandle) != 0;
    // libheif holds the decoded planes (16 bits a sample above 8 bits) and the RGB picture made
    // from them.
    const int luma = heif_image_handle_get_luma_bits_per_pixel(FHandle);
    const int chroma = heif_image_handle_get_chroma_bits_per_pixel(FHandle);
    if (!HasBitDepth(FHandle))
        Invalid(QStringLiteral("its bit depth is not defined"));
    const int sampleBytes = std::max(luma, chroma) > 8 ? 2 : 1;
    const int channels = header.Alpha ? 4 : 3;
    CheckPictureLimits(kName, FName, header.Width, header.Height,
                       sampleBytes * channels + channels);
    if (header.Alpha)
        CheckAlphaSize(FHandle, header.Width, header.Height);
    // libheif checks what it decodes (a grid's output, its tiles, the alpha channel, the coded
    // picture) against the limit on a side: the picture's own, with room for the coded picture's
    // padding to whole blocks of up to 64 pixels.
    const int side =
        std::max({heif_image_handle_get_ispe_width(FHandle),
                  heif_image_handle_get_ispe_height(FHandle), header.Width, header.Height});
    heif_context_set_maximum_image_size_limit(FContext,
                                              std::min(kMaxPictureSide, (side / 64 + 2) * 64));
    const heif_color_profile_type profile = heif_image_handle_get_color_profile_type(FHandle);
    if (profile == heif_color_profile_type_prof || profile == heif_color_profile_type_rICC) {
        const size_t size = heif_image_handle_get_raw_color_profile_size(FHandle);
        QByteArray icc(qsizetype(size), Qt::Uninitialized);
        if (size > 0 &&
            heif_image_handle_get_raw_color_profile(FHandle, icc.data()).code == heif_error_Ok)
            header.IccProfile = icc;
    }
    FSizeOut = QSize(header.Width, header.Height);
    return header;
}

// The alpha channel is an image of its own that libheif decodes whatever its size: it must not
// be larger than the picture (as stored, before rotation).
void THeifDecoder::CheckAlphaSize(const heif_image_handle* image, int width, int height) const {
    const int count = heif_image_handle_get_number_of_auxiliary_images(image, 0);
    std::vector<heif_item_id> ids(static_cast<size_t>(std::max(count, 0)));
    ids.resize(size_t(std::max(
        0, heif_image_handle_get_list_of_auxiliary_image_IDs(image, 0, ids.data(), count))));
    for (heif_item_id id : ids) {
        heif_image_handle* aux = nullptr;
        if (heif_image_handle_get_auxiliary_image_handle(image, id, &aux).code != heif_error_Ok)
            continue;
        const char* type = nullptr;
        bool alpha = false;
        if (heif_image_handle_get_auxiliary_type(aux, &type).code == heif_error_Ok && type) {
            const QByteArray name(type);
            alpha = name.contains("alpha") || name == "urn:mpeg:hevc:2015:auxid:1";
            heif_image_handle_free_auxiliary_types(aux, &type);
        }
        const int64_t w = heif_image_handle_get_width(aux), h = heif_image_handle_get_height(aux);
        const bool defined = HasBitDepth(aux);
        heif_image_handle_release(aux);
        if (alpha && !defined)
            Invalid(QStringLiteral("the bit depth of its alpha channel is not defined"));
        if (alpha && int64_t(w) * h > int64_t(width) * height)
            Invalid(QStringLiteral("its alpha channel (%1 x %2 pixels) is larger than the picture")
                        .arg(w)
                        .arg(h));
    }
}

QSize THeifDecoder::ReduceTo(int width, int height) {
    const int count = heif_image_handle_get_number_of_thumbnails(FHandle);
    if (count <= 0)
        return FSizeOut;
    std::vector<heif_item_id> ids(static_cast<size_t>(count));
    ids.resize(size_t(heif_image_handle_get_list_of_thumbnail_IDs(FHandle, ids.data(), count)));
    // The smallest thumbnail of at least the size asked for, smaller than the picture.
    for (heif_item_id id : ids) {
        heif_image_handle* thumbnail = nullptr;
        if (heif_image_handle_get_thumbnail(FHandle, id, &thumbnail).code != heif_error_Ok)
            continue;
        const QSize size(heif_image_handle_get_width(thumbnail),
                         heif_image_handle_get_height(thumbnail));
        const bool fits = HasBitDepth(thumbnail) && size.width() >= width &&
                          size.height() >= height && size.width() < FSizeOut.width() &&
                          size.height() < FSizeOut.height();
        const bool smaller = !FThumbnail || size.width() < FSizeOut.width();
        if (fits && smaller) {
            if (FThumbnail)
                heif_image_handle_release(FThumbnail);
            FThumbnail = thumbnail;
            FSizeOut = size;
            FPremultiplied = FAlpha && heif_image_handle_is_premultiplied_alpha(thumbnail) != 0;
        } else {
            heif_image_handle_release(thumbnail);
        }
    }
    return FSizeOut;
}

void THeifDecoder::Start(TRowLayout layout) {
    ReportProgress(0);
    FBpp = BytesPerPixel(layout);
    heif_decoding_options* options = heif_decoding_options_alloc();
    if (!options)
        Invalid(QStringLiteral("there is not enough memory to decode it"));
    options->convert_hdr_to_8bit = 1;
    options->strict_decoding = 1; // damaged data is an error, not a picture with grey blocks
    heif_error error;
    {
        const TQuietStderr quiet; // libde265's complaints about damaged data
        error = heif_decode_image(Decoded(), &FImage, heif_colorspace_RGB,
                                  layout == TRowLayout::Bgra32 ? heif_chroma_interleaved_RGBA
                                                               : heif_chroma_interleaved_RGB,
                                  options);
    }
    heif_decoding_options_free(options);
    Check(error);
    if (heif_image_get_width(FImage, heif_channel_interleaved) != FSizeOut.width() ||
        heif_image_get_height(FImage, heif_channel_interleaved) != FSizeOut.height() ||
        heif_image_get_bits_per_pixel_range(FImage, heif_channel_interleaved) != 8)
        Invalid(QStringLiteral("the decoded picture does not have the size the file gives"));
    FPixels = heif_image_get_plane_readonly(FImage, heif_channel_interleaved, &FStride);
    if (!FPixels)
        Invalid(QStringLiteral("the picture could not be decoded"));
    ReportProgress(50);
}

void THeifDecoder::ReadRows(uint8_t* const* rows, int count) {
    const int width = FSizeOut.width();
    for (int i = 0; i < count; ++i, ++FNext) {
        if (FNext >= FSizeOut.height())
            throw EInvalidOperation(
                QStringLiteral("Row %1 asked for beyond the picture").arg(FNext));
        const uint8_t* in = FPixels + size_t(FNext) * size_t(FStride);
        uint8_t* out = rows[i];
        for (int x = 0; x < width; ++x, in += FBpp, out += FBpp) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            if (FBpp == 4) {
                const unsigned a = in[3];
                out[3] = uint8_t(a);
                if (FPremultiplied && a != 0 && a != 255)
                    for (int c = 0; c < 3; ++c)
                        out[c] = uint8_t(std::min(255u, (out[c] * 255u + a / 2) / a));
            }
        }
        ReportProgress(50 + int(int64_t(FNext + 1) * 50 / FSizeOut.height()));
    }
}

} // namespace

const TCodec& HeifCodec() {
    static const TCodec codec{kName, [](const uint8_t* data, size_t size, const QString& name) {
                                  return std::unique_ptr<TPictureDecoder>(
                                      std::make_unique<THeifDecoder>(data, size, name));
                              }};
    return codec;
}
