#include "toolkit/codecs/GifCodec.h"

#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace {

constexpr const char* kName = "GIF";

// The file's bytes as giflib reads them.
struct TInput {
    const uint8_t* Data;
    size_t Size;
    size_t At = 0;
};

int ReadInput(GifFileType* gif, GifByteType* buffer, int length) {
    auto* input = static_cast<TInput*>(gif->UserData);
    const size_t n = std::min(size_t(std::max(length, 0)), input->Size - input->At);
    std::memcpy(buffer, input->Data + input->At, n);
    input->At += n;
    return int(n);
}

// The rows of an interlaced frame in the order they are stored, as (first row, step): every 8th
// row from 0, every 8th from 4, every 4th from 2, every 2nd from 1.
constexpr int kInterlacePasses[4][2] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};

void CloseGif(GifFileType* gif) {
    int error = 0;
    DGifCloseFile(gif, &error);
}

class TGifDecoder final : public TPictureDecoder {
public:
    TGifDecoder(const uint8_t* data, size_t size, const QString& name)
        : FInput{data, size}, FName(name), FGif(nullptr, CloseGif) {}

    TPictureHeader ReadHeader() override;
    bool Sequential() const override { return !FInterlaced; }
    void Start(TRowLayout layout) override { FBytesPerPixel = BytesPerPixel(layout); }
    void ReadRows(uint8_t* const* rows, int count) override;
    bool DecodeInto(uint8_t* pixels, qsizetype stride) override;

private:
    // The frame's colour indices of one row as pixels of the layout, at out.
    void ExpandRow(const uint8_t* indices, uint8_t* out) const;
    [[noreturn]] void Fail(int error) const;
    void Check(int result) const {
        if (result != GIF_OK)
            Fail(FGif->Error);
    }
    void SkipExtension(int* transparent);
    // The frame's row y (0 = its top) as colour indices.
    const uint8_t* FrameRow(int y);
    void Finish() const;

    TInput FInput;
    QString FName;
    std::unique_ptr<GifFileType, decltype(&CloseGif)> FGif;
    int FWidth = 0, FHeight = 0;                       // the canvas
    int FLeft = 0, FTop = 0, FFrameW = 0, FFrameH = 0; // the frame on it
    bool FInterlaced = false;
    std::array<uint8_t, 4 * 256> FColors{}; // blue, green, red, alpha of every index
    int FBytesPerPixel = 4;
    int FNext = 0;      // next canvas row
    int FFrameRows = 0; // frame rows read so far
    std::vector<uint8_t> FLine;
    std::unique_ptr<uint8_t[]> FIndices; // an interlaced frame, read whole
};

void TGifDecoder::Fail(int error) const {
    QString why;
    switch (error) {
    case D_GIF_ERR_READ_FAILED:
    case D_GIF_ERR_EOF_TOO_SOON:
        why = QStringLiteral("the file is truncated");
        break;
    case D_GIF_ERR_NOT_GIF_FILE:
        why = QStringLiteral("the file does not start with a GIF signature");
        break;
    case D_GIF_ERR_NOT_ENOUGH_MEM:
        throw std::bad_alloc();
    default:
        why = QStringLiteral("the data is damaged (%1)")
                  .arg(QLatin1String(GifErrorString(error) ? GifErrorString(error) : "?"));
        break;
    }
    ThrowInvalidPicture(kName, FName, why);
}

// Reads an extension, noting the transparent colour of a graphic control extension.
void TGifDecoder::SkipExtension(int* transparent) {
    int code = 0;
    GifByteType* block = nullptr;
    Check(DGifGetExtension(FGif.get(), &code, &block));
    if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
        GraphicsControlBlock control;
        if (DGifExtensionToGCB(4, block + 1, &control) == GIF_OK)
            *transparent = control.TransparentColor;
    }
    while (block)
        Check(DGifGetExtensionNext(FGif.get(), &block));
}

TPictureHeader TGifDecoder::ReadHeader() {
    int error = 0;
    FGif.reset(DGifOpen(&FInput, ReadInput, &error));
    if (!FGif)
        Fail(error);
    // Records up to the first image; a graphic control extension before it applies to it.
    int transparent = NO_TRANSPARENT_COLOR;
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        Check(DGifGetRecordType(FGif.get(), &type));
        if (type == IMAGE_DESC_RECORD_TYPE)
            break;
        if (type == TERMINATE_RECORD_TYPE)
            ThrowInvalidPicture(kName, FName, QStringLiteral("the file holds no picture"));
        if (type == EXTENSION_RECORD_TYPE)
            SkipExtension(&transparent);
    }
    Check(DGifGetImageDesc(FGif.get()));
    const GifImageDesc& frame = FGif->Image;
    if (frame.Width <= 0 || frame.Height <= 0)
        ThrowInvalidPicture(kName, FName, QStringLiteral("the picture has no pixels"));
    FLeft = frame.Left;
    FTop = frame.Top;
    FFrameW = frame.Width;
    FFrameH = frame.Height;
    FInterlaced = frame.Interlace;
    // The logical screen, grown where the frame reaches beyond it (or where it is 0 x 0).
    const int64_t width = std::max<int64_t>(FGif->SWidth, int64_t(FLeft) + FFrameW);
    const int64_t height = std::max<int64_t>(FGif->SHeight, int64_t(FTop) + FFrameH);
    CheckPictureLimits(kName, FName, width, height, 1);
    FWidth = int(width);
    FHeight = int(height);

    const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : FGif->SColorMap;
    if (!map || !map->Colors)
        ThrowInvalidPicture(kName, FName, QStringLiteral("the picture has no colour table"));
    // Indices beyond the table are black, as in most readers.
    for (int i = 0; i < 256; ++i) {
        uint8_t* c = FColors.data() + 4 * i;
        if (i < map->ColorCount) {
            c[0] = map->Colors[i].Blue;
            c[1] = map->Colors[i].Green;
            c[2] = map->Colors[i].Red;
        }
        c[3] = i == transparent ? 0 : 255;
        if (i == transparent)
            c[0] = c[1] = c[2] = 0;
    }

    TPictureHeader header;
    header.Width = FWidth;
    header.Height = FHeight;
    header.Alpha = (transparent >= 0 && transparent < 256) || FLeft > 0 || FTop > 0 ||
                   FFrameW < FWidth || FFrameH < FHeight;
    return header;
}

const uint8_t* TGifDecoder::FrameRow(int y) {
    if (!FInterlaced) {
        if (y != FFrameRows)
            throw EInvalidOperation(QStringLiteral("GIF rows asked for out of order"));
        FLine.resize(size_t(FFrameW));
        Check(DGifGetLine(FGif.get(), FLine.data(), FFrameW));
        if (++FFrameRows == FFrameH)
            Finish();
        return FLine.data();
    }
    if (!FIndices) {
        FIndices.reset(new uint8_t[size_t(FFrameW) * size_t(FFrameH)]);
        for (const auto& pass : kInterlacePasses)
            for (int row = pass[0]; row < FFrameH; row += pass[1]) {
                ReportProgress(int(int64_t(FFrameRows++) * 100 / FFrameH));
                Check(DGifGetLine(FGif.get(), FIndices.get() + size_t(row) * size_t(FFrameW),
                                  FFrameW));
            }
        Finish();
    }
    return FIndices.get() + size_t(y) * size_t(FFrameW);
}

// After the frame's data giflib has read up to its terminating block; what follows is another
// record or the trailer. A file that ends right there was cut short.
void TGifDecoder::Finish() const {
    if (FInput.At >= FInput.Size)
        ThrowInvalidPicture(kName, FName, QStringLiteral("the file is truncated"));
}

void TGifDecoder::ReadRows(uint8_t* const* rows, int count) {
    if (count > FHeight - FNext)
        throw EInvalidOperation(QStringLiteral("GIF rows asked for beyond the picture"));
    const size_t bpp = size_t(FBytesPerPixel);
    for (int i = 0; i < count; ++i, ++FNext) {
        uint8_t* out = rows[i];
        const int y = FNext - FTop;
        if (y < 0 || y >= FFrameH) {
            std::memset(out, 0, size_t(FWidth) * bpp); // transparent
            continue;
        }
        if (!FInterlaced)
            ReportProgress(int(int64_t(y) * 100 / FFrameH));
        const uint8_t* indices = FrameRow(y);
        std::memset(out, 0, size_t(FLeft) * bpp);
        ExpandRow(indices, out + size_t(FLeft) * bpp);
        std::memset(out + size_t(FLeft + FFrameW) * bpp, 0, size_t(FWidth - FLeft - FFrameW) * bpp);
    }
}

void TGifDecoder::ExpandRow(const uint8_t* indices, uint8_t* p) const {
    if (FBytesPerPixel == 4) {
        for (int x = 0; x < FFrameW; ++x, p += 4)
            std::memcpy(p, FColors.data() + 4 * indices[x], 4);
    } else if (FFrameW > 0) {
        // Four bytes stored for three (the fourth is overwritten by the next pixel), which
        // compiles to one store per pixel; the last pixel gets its three.
        int x = 0;
        for (; x < FFrameW - 1; ++x, p += 3)
            std::memcpy(p, FColors.data() + 4 * indices[x], 4);
        std::memcpy(p, FColors.data() + 4 * indices[x], 3);
    }
}

bool TGifDecoder::DecodeInto(uint8_t* pixels, qsizetype stride) {
    // A frame that covers the picture is read in its own order (the four passes of an interlaced
    // one) straight into the picture's rows, without a frame of indices on the side.
    if (FNext != 0 || FFrameRows != 0 || FLeft != 0 || FTop != 0 || FFrameW != FWidth ||
        FFrameH != FHeight)
        return false;
    static const int kInOrder[1][2] = {{0, 1}};
    FLine.resize(size_t(FFrameW));
    for (const auto& pass : FInterlaced ? std::span<const int[2]>(kInterlacePasses)
                                        : std::span<const int[2]>(kInOrder))
        for (int row = pass[0]; row < FFrameH; row += pass[1]) {
            ReportProgress(int(int64_t(FFrameRows++) * 100 / FFrameH));
            Check(DGifGetLine(FGif.get(), FLine.data(), FFrameW));
            ExpandRow(FLine.data(), pixels + stride * row);
        }
    Finish();
    FNext = FHeight;
    return true;
}

} // namespace

const TCodec& GifCodec() {
    static const TCodec codec{kName, [](const uint8_t* data, size_t size, const QString& name) {
                                  return std::make_unique<TGifDecoder>(data, size, name);
                              }};
    return codec;
}
