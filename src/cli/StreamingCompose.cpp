#include "cli/StreamingCompose.h"

#include "imaging/TextureResampler.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <condition_variable>
#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE and size_t declared first
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

namespace {

// Leaves this road for the ordinary one.
struct TNotStreamable {};

bool IsJpegFile(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg");
}

// libjpeg's error exit returns with longjmp, so the functions that call into libjpeg hold no
// C++ objects with destructors; all state is here.
struct TJpegState {
    jpeg_decompress_struct Info;
    jpeg_error_mgr Error;
    std::jmp_buf Jump;
    bool Created = false;

    TJpegState() = default;
    TJpegState(const TJpegState&) = delete;
    TJpegState& operator=(const TJpegState&) = delete;
    // A member, so the decompressor is released also when the owner's constructor throws.
    ~TJpegState() {
        if (Created)
            jpeg_destroy_decompress(&Info);
    }
};

[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
    std::longjmp(static_cast<TJpegState*>(cinfo->client_data)->Jump, 1);
}

// Any warning ends this road: the toolkit's picture decides what a damaged file gives.
void JpegEmitMessage(j_common_ptr cinfo, int level) {
    if (level < 0)
        JpegErrorExit(cinfo);
}

void JpegOutputMessage(j_common_ptr) {}

bool JpegStart(TJpegState* s, const uint8_t* data, size_t size) {
    if (setjmp(s->Jump))
        return false;
    s->Created = true;
    jpeg_create_decompress(&s->Info);
    jpeg_mem_src(&s->Info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&s->Info, TRUE);
    if (s->Info.jpeg_color_space == JCS_CMYK || s->Info.jpeg_color_space == JCS_YCCK ||
        s->Info.data_precision != 8 || jpeg_has_multiple_scans(&s->Info))
        return false; // converted or limited by the toolkit's own rules
    s->Info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&s->Info);
    return s->Info.output_width == s->Info.image_width &&
           s->Info.output_height == s->Info.image_height && s->Info.output_components == 3;
}

bool JpegReadRow(TJpegState* s, uint8_t* row) {
    if (setjmp(s->Jump))
        return false;
    JSAMPROW rows[1] = {row};
    return jpeg_read_scanlines(&s->Info, rows, 1) == 1;
}

// A JPEG file decoded one row at a time into a small ring of rows.
class TJpegRows {
public:
    explicit TJpegRows(const QString& path) : FFile(path) {
        std::memset(&FState.Info, 0, sizeof FState.Info);
        FState.Info.err = jpeg_std_error(&FState.Error);
        FState.Error.error_exit = &JpegErrorExit;
        FState.Error.emit_message = &JpegEmitMessage;
        FState.Error.output_message = &JpegOutputMessage;
        FState.Info.client_data = &FState;
        // The file's pages are mapped from the page cache, not copied into fresh memory.
        if (!FFile.open(QIODevice::ReadOnly) || FFile.size() <= 0)
            throw TNotStreamable{};
        const uchar* data = FFile.map(0, FFile.size());
        if (!data || !JpegStart(&FState, data, size_t(FFile.size())))
            throw TNotStreamable{};
        FWidth = int(FState.Info.output_width);
        FHeight = int(FState.Info.output_height);
        if (int64_t(FWidth) * FHeight > kMaxPicturePixels)
            throw TNotStreamable{};
        FRing.resize(size_t(kRing) * size_t(FWidth) * 3);
    }
    TJpegRows(const TJpegRows&) = delete;
    TJpegRows& operator=(const TJpegRows&) = delete;

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }

    // Row y, decoding up to it; rows are asked for in increasing order.
    const uint8_t* Row(int y) {
        if (y < FNext - kRing || y >= FHeight)
            throw TNotStreamable{};
        while (FNext <= y) {
            if (!JpegReadRow(&FState, Slot(FNext)))
                throw TNotStreamable{};
            ++FNext;
        }
        return Slot(y);
    }

private:
    static constexpr int kRing = 4;
    uint8_t* Slot(int y) { return FRing.data() + size_t(y % kRing) * size_t(FWidth) * 3; }

    QFile FFile;
    TJpegState FState;
    int FWidth = 0, FHeight = 0;
    int FNext = 0;
    std::vector<uint8_t> FRing;
};

hvresample::TPlane StreamSource(TJpegRows& rows) {
    hvresample::TPlane plane;
    plane.Width = rows.Width();
    plane.Height = rows.Height();
    plane.Layout = hvresample::TLayout::Bgr24;
    plane.RowAt = [&rows](int y) { return rows.Row(y); };
    return plane;
}

hvresample::TPlane Target(QImage& image, int x, int y, int width, int height) {
    hvresample::TPlane plane;
    plane.Stride = image.bytesPerLine();
    plane.Data = image.bits() + plane.Stride * y + 3 * x;
    plane.Width = width;
    plane.Height = height;
    plane.Layout = hvresample::TLayout::Bgr24;
    return plane;
}

// Output rows the background has finished, for the foreground that goes over them.
class TRowsDone {
public:
    void Set(int rows) {
        {
            std::lock_guard<std::mutex> lock(FMutex);
            FRows = rows;
        }
        FChanged.notify_all();
    }
    void WaitFor(int rows) {
        std::unique_lock<std::mutex> lock(FMutex);
        FChanged.wait(lock, [&] { return FRows >= rows; });
    }

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    int FRows = 0;
};

} // namespace

std::unique_ptr<TBitmap> ComposeStreaming(const TComposeOptions& options, TColor colour,
                                          TStatusText* status, TProgressVar* progress) {
    const bool colourBackground = options.Background.isEmpty() || IsColorText(options.Background);
    if (options.Tile && !colourBackground)
        return nullptr;
    if (!colourBackground && !IsJpegFile(options.Background))
        return nullptr;
    if (!options.Foreground.isEmpty() && !IsJpegFile(options.Foreground))
        return nullptr;
    if (colourBackground && options.Foreground.isEmpty())
        return nullptr; // nothing to decode
    try {
        std::unique_ptr<TJpegRows> background, foreground;
        if (!colourBackground)
            background = std::make_unique<TJpegRows>(options.Background);
        if (!options.Foreground.isEmpty())
            foreground = std::make_unique<TJpegRows>(options.Foreground);
        if ((background && background->Width() <= 0) || (foreground && foreground->Width() <= 0))
            return nullptr;

        const int width = options.Width, height = options.Height;
        if (status)
            status->Set(QStringLiteral("Creating buffer..."));
        // Every pixel is written below (the colour or the stretched background), so the buffer
        // need not be cleared first.
        auto bitmap = std::make_unique<TBitmap>();
        bitmap->SetImage(AllocateImage(width, height, QImage::Format_BGR888),
                         TPixelFormat::pf24bit);
        QImage& image = bitmap->Image(); // not shared: writing it copies nothing
        TRowsDone backgroundRows;
        if (!background) {
            bitmap->Canvas()->Brush().Color = colour;
            bitmap->Canvas()->FillRect(Rect(0, 0, width, height));
            backgroundRows.Set(height);
        }

        // The foreground's place, as ComposeWallpaper fits and centres it.
        int fx = 0, fy = 0, fw = 0, fh = 0;
        if (foreground) {
            const long double scale = std::min(FloatDivide(width, foreground->Width()),
                                               FloatDivide(height, foreground->Height()));
            fw = int(RoundHalfEven(foreground->Width() * scale));
            fh = int(RoundHalfEven(foreground->Height() * scale));
            fx = int(RoundHalfEven((width - fw) / 2.0L));
            fy = int(RoundHalfEven((height - fh) / 2.0L));
        }

        hvresample::TPlane backgroundTarget = Target(image, 0, 0, width, height);
        backgroundTarget.AfterStore = [&backgroundRows](int i) { backgroundRows.Set(i + 1); };
        std::exception_ptr foregroundError;
        std::thread foregroundThread;
        if (foreground && fw > 0 && fh > 0) {
            hvresample::TPlane target = Target(image, fx, fy, fw, fh);
            target.BeforeStore = [&backgroundRows, fy](int i) {
                backgroundRows.WaitFor(fy + i + 1);
            };
            foregroundThread = std::thread([&, target] {
                try {
                    hvresample::Resample(StreamSource(*foreground), target,
                                         hvresample::Factor(foreground->Width(), fw),
                                         hvresample::Factor(foreground->Height(), fh), nullptr,
                                         nullptr);
                } catch (...) {
                    foregroundError = std::current_exception();
                }
            });
        }
        try {
            if (background) {
                if (status)
                    status->Set(QStringLiteral("Resampling background..."));
                hvresample::Resample(StreamSource(*background), backgroundTarget,
                                     hvresample::Factor(background->Width(), width),
                                     hvresample::Factor(background->Height(), height), progress,
                                     nullptr);
            }
        } catch (...) {
            backgroundRows.Set(height); // let the foreground finish before leaving
            if (foregroundThread.joinable())
                foregroundThread.join();
            throw;
        }
        if (foregroundThread.joinable()) {
            if (status)
                status->Set(QStringLiteral("Resampling foreground..."));
            foregroundThread.join();
        }
        if (foregroundError)
            std::rethrow_exception(foregroundError);
        if (status)
            status->Set(QStringLiteral("Image created."));
        return bitmap;
    } catch (const TNotStreamable&) {
        return nullptr;
    }
}
