#include "toolkit/codecs/Jpeg.h"

#include "toolkit/codecs/PictureFile.h"

#include <QDir>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE and size_t declared first
#include <cstring>
#include <exception>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

namespace {

// A file with more scans than this is taken as damaged (each scan re-reads the whole picture).
constexpr int kMaxScans = 1000;
// Rows of the CMYK conversion buffer handed to libjpeg per call.
constexpr int kCmykRows = 16;

int64_t SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

// Everything one libjpeg run needs, in plain data so that the functions calling setjmp hold no
// C++ objects with destructors: libjpeg's error exit returns to them with longjmp.
struct JpegDecodeContext {
    jpeg_decompress_struct Info;
    jpeg_error_mgr Error;
    jpeg_progress_mgr ProgressManager;
    std::jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX] = {};
    int MessageCode = 0;
    bool Created = false;

    // Progress while decoding (only set for a decode, not for reading the header).
    TJPEGImage* Owner = nullptr;
    JDIMENSION ExpectedWidth = 0, ExpectedHeight = 0; // of the rows handed to libjpeg
    int LastReported = 0;
    int Best = 0;
    int64_t LastReportTime = 0;
    std::exception_ptr HandlerError; // raised by a progress handler; rethrown after cleanup

    JpegDecodeContext() {
        std::memset(&Info, 0, sizeof Info);
        std::memset(&ProgressManager, 0, sizeof ProgressManager);
        Info.err = jpeg_std_error(&Error);
        Error.error_exit = &ErrorExit;
        Error.emit_message = &EmitMessage;
        Error.output_message = &OutputMessage;
        Info.client_data = this;
    }
    ~JpegDecodeContext() {
        if (Created)
            jpeg_destroy_decompress(&Info);
    }
    JpegDecodeContext(const JpegDecodeContext&) = delete;
    JpegDecodeContext& operator=(const JpegDecodeContext&) = delete;

    static JpegDecodeContext* Of(j_common_ptr cinfo) {
        return static_cast<JpegDecodeContext*>(cinfo->client_data);
    }

    [[noreturn]] static void ErrorExit(j_common_ptr cinfo) {
        JpegDecodeContext* self = Of(cinfo);
        (*cinfo->err->format_message)(cinfo, self->Message);
        self->MessageCode = cinfo->err->msg_code;
        std::longjmp(self->Jump, 1);
    }

    // Warnings that mean the data ran out are errors: a grey-filled rest is no picture.
    static void EmitMessage(j_common_ptr cinfo, int level) {
        if (level >= 0)
            return; // trace messages
        const int code = cinfo->err->msg_code;
        if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER)
            ErrorExit(cinfo);
        ++cinfo->err->num_warnings;
    }

    static void OutputMessage(j_common_ptr) {}

    static void ProgressMonitor(j_common_ptr cinfo) {
        JpegDecodeContext* self = Of(cinfo);
        auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
        if (dinfo->input_scan_number > kMaxScans) {
            std::snprintf(self->Message, sizeof self->Message, "more than %d scans", kMaxScans);
            self->MessageCode = -1;
            std::longjmp(self->Jump, 1);
        }
        if (!self->Owner)
            return;
        const jpeg_progress_mgr* p = cinfo->progress;
        double done = p->completed_passes;
        if (p->pass_limit > 0)
            done += std::clamp(double(p->pass_counter) / double(p->pass_limit), 0.0, 1.0);
        const int total = std::max(p->total_passes, 1);
        const int percent = std::clamp(int(100.0 * done / total), 0, 100);
        if (!self->Running(percent)) {
            std::snprintf(self->Message, sizeof self->Message, "stopped by a progress handler");
            self->MessageCode = -1;
            std::longjmp(self->Jump, 1);
        }
    }

    // Reports a running percentage when it changed and the interval has passed. False when the
    // handler raised an error (kept in HandlerError).
    bool Running(int percent) noexcept;
};

namespace {

// Creates the decompressor on the bytes and reads the header. False on error (Message set).
bool ReadHeader(JpegDecodeContext* c, const uint8_t* data, size_t size, int64_t maxMemory) {
    if (setjmp(c->Jump))
        return false;
    c->Created = true; // jpeg_destroy_decompress copes with a half-made object
    jpeg_create_decompress(&c->Info);
    if (maxMemory > 0)
        c->Info.mem->max_memory_to_use = long(maxMemory);
    jpeg_mem_src(&c->Info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&c->Info, TRUE);
    return true;
}

// Decodes every row into rows[] (3 bytes per pixel, blue, green, red). CMYK files decode
// through cmyk[] (kCmykRows rows of 4 bytes per pixel). False on error.
bool DecodeRows(JpegDecodeContext* c, JSAMPROW* rows, JSAMPROW* cmyk) {
    if (setjmp(c->Jump))
        return false;
    jpeg_start_decompress(&c->Info);
    const JDIMENSION height = c->Info.output_height, width = c->Info.output_width;
    if (width != c->ExpectedWidth || height != c->ExpectedHeight) { // rows[] has this size
        std::snprintf(c->Message, sizeof c->Message, "the picture size changed");
        std::longjmp(c->Jump, 1);
    }
    const bool inverted = c->Info.saw_Adobe_marker; // Adobe writes CMYK inverted
    while (c->Info.output_scanline < height) {
        const JDIMENSION first = c->Info.output_scanline;
        if (!cmyk) {
            if (jpeg_read_scanlines(&c->Info, rows + first, height - first) == 0)
                ERREXIT(&c->Info, JERR_INPUT_EMPTY);
            continue;
        }
        const JDIMENSION n = jpeg_read_scanlines(&c->Info, cmyk, kCmykRows);
        if (n == 0)
            ERREXIT(&c->Info, JERR_INPUT_EMPTY);
        for (JDIMENSION i = 0; i < n; ++i) {
            const JSAMPLE* s = cmyk[i];
            JSAMPLE* d = rows[first + i];
            for (JDIMENSION x = 0; x < width; ++x, s += 4, d += 3) {
                const unsigned k = inverted ? s[3] : 255u - s[3];
                for (int ch = 0; ch < 3; ++ch) {
                    const unsigned v = inverted ? s[2 - ch] : 255u - s[2 - ch];
                    d[ch] = JSAMPLE((v * k + 127) / 255);
                }
            }
        }
    }
    // Every row is there: what follows the last scan does not matter.
    jpeg_abort_decompress(&c->Info);
    return true;
}

} // namespace

bool JpegDecodeContext::Running(int percent) noexcept {
    percent = std::max(percent, Best);
    Best = percent;
    if (percent == LastReported)
        return true;
    const int64_t now = Owner->FClock();
    if (now - LastReportTime < TJPEGImage::kProgressIntervalMs)
        return true;
    LastReported = percent;
    LastReportTime = now;
    try {
        Owner->Progress(Owner, TProgressStage::psRunning, uint8_t(percent), false,
                        Rect(0, 0, Owner->FWidth, Owner->FHeight), QString());
        return true;
    } catch (...) {
        HandlerError = std::current_exception();
        return false;
    }
}

TJPEGImage::TJPEGImage() : FClock(SteadyMilliseconds) {}

TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::SetClock(TClock clock) {
    FClock = clock ? std::move(clock) : TClock(SteadyMilliseconds);
}

void TJPEGImage::SetMaxPixels(int64_t pixels) {
    FMaxPixels = std::clamp<int64_t>(pixels, 1, kMaxPicturePixels);
}

QString TJPEGImage::DisplayName() const {
    return QDir::toNativeSeparators(FName);
}

void TJPEGImage::Fail(const QString& what) const {
    throw EInvalidGraphic(
        QStringLiteral("JPEG image \"%1\" is not valid: %2").arg(DisplayName(), what));
}

void TJPEGImage::LoadFromFile(const QString& fileName) {
    LoadFromBytes(ReadPictureFile(fileName), fileName);
}

void TJPEGImage::LoadFromBytes(const QByteArray& data, const QString& name) {
    JpegDecodeContext c;
    const bool ok = ReadHeader(&c, reinterpret_cast<const uint8_t*>(data.constData()),
                               size_t(data.size()), FMaxMemory);
    const QString display = QDir::toNativeSeparators(name);
    auto fail = [&](const QString& what) {
        throw EInvalidGraphic(
            QStringLiteral("JPEG image \"%1\" is not valid: %2").arg(display, what));
    };
    if (!ok) {
        if (c.MessageCode == JERR_BAD_PRECISION && c.Info.data_precision != 8)
            fail(QStringLiteral("%1 bits per sample are not supported (only 8)")
                     .arg(c.Info.data_precision));
        fail(QString::fromLocal8Bit(c.Message));
    }
    const jpeg_decompress_struct& info = c.Info;
    switch (info.jpeg_color_space) {
    case JCS_GRAYSCALE:
    case JCS_YCbCr:
    case JCS_RGB:
    case JCS_CMYK:
    case JCS_YCCK:
        break;
    default:
        fail(QStringLiteral("the colour space of %1 components is not supported")
                 .arg(info.num_components));
    }
    const int64_t w = info.image_width, h = info.image_height;
    if (w <= 0 || h <= 0)
        fail(QStringLiteral("the picture has no pixels"));
    if (w > kMaxPictureSide || h > kMaxPictureSide || w * h > FMaxPixels)
        throw EOutOfResources(QStringLiteral("JPEG image \"%1\" is too large (%2 x %3 pixels)")
                                  .arg(display)
                                  .arg(w)
                                  .arg(h));
    FData = data;
    FName = name;
    FWidth = int(w);
    FHeight = int(h);
    FGrayscale = info.jpeg_color_space == JCS_GRAYSCALE;
    FImage = QImage();
}

void TJPEGImage::DIBNeeded() {
    if (!FImage.isNull() || Empty())
        return;
    const TRect whole = Rect(0, 0, FWidth, FHeight);
    Progress(this, TProgressStage::psStarting, 0, false, whole, QString());

    QImage image;
    QString error;
    std::exception_ptr raised;
    {
        JpegDecodeContext c;
        bool ok = ReadHeader(&c, reinterpret_cast<const uint8_t*>(FData.constData()),
                             size_t(FData.size()), FMaxMemory);
        std::vector<JSAMPROW> rows, cmykRows;
        std::vector<JSAMPLE> cmykBuffer;
        if (ok) {
            const bool cmyk =
                c.Info.jpeg_color_space == JCS_CMYK || c.Info.jpeg_color_space == JCS_YCCK;
            c.Info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
            c.Info.progress = &c.ProgressManager;
            c.ProgressManager.progress_monitor = &JpegDecodeContext::ProgressMonitor;
            c.Owner = this;
            c.ExpectedWidth = JDIMENSION(FWidth);
            c.ExpectedHeight = JDIMENSION(FHeight);
            c.LastReportTime = FClock();
            try {
                image = AllocateImage(FWidth, FHeight, QImage::Format_BGR888);
                rows.resize(size_t(FHeight));
                for (int y = 0; y < FHeight; ++y)
                    rows[size_t(y)] = image.scanLine(y);
                if (cmyk) {
                    cmykBuffer.resize(size_t(FWidth) * 4 * kCmykRows);
                    for (int i = 0; i < kCmykRows; ++i)
                        cmykRows.push_back(cmykBuffer.data() + size_t(FWidth) * 4 * size_t(i));
                }
            } catch (...) {
                raised = std::current_exception();
                ok = false;
            }
            if (ok)
                ok = DecodeRows(&c, rows.data(), cmyk ? cmykRows.data() : nullptr);
            if (!ok && !raised)
                raised = c.HandlerError;
        }
        if (!ok && !raised)
            error = c.MessageCode == JERR_NO_BACKING_STORE
                        ? QStringLiteral("decoding needs more memory than allowed")
                        : QString::fromLocal8Bit(c.Message);
        if (!ok)
            image = QImage();
    }

    if (image.isNull()) {
        try {
            Progress(this, TProgressStage::psEnding, 0, false, whole, QString());
        } catch (...) {
            // The decoding error below is the one to report.
        }
        if (raised) {
            try {
                std::rethrow_exception(raised);
            } catch (const EOutOfResources& e) {
                throw EOutOfResources(
                    QStringLiteral("JPEG image \"%1\": %2").arg(DisplayName(), e.Message()));
            }
        }
        Fail(error);
    }
    FImage = std::move(image);
    Progress(this, TProgressStage::psEnding, 100, false, whole, QString());
}

void TJPEGImage::Paint(QPainter& painter, const QRect& target) {
    if (Empty() || target.isEmpty())
        return;
    DIBNeeded();
    painter.drawImage(target, FImage);
}

std::unique_ptr<TGraphic> TJPEGImage::Clone() const {
    auto copy = std::make_unique<TJPEGImage>();
    copy->FData = FData;
    copy->FName = FName;
    copy->FWidth = FWidth;
    copy->FHeight = FHeight;
    copy->FGrayscale = FGrayscale;
    copy->FImage = FImage;
    copy->FClock = FClock;
    copy->FMaxPixels = FMaxPixels;
    copy->FMaxMemory = FMaxMemory;
    return copy;
}
