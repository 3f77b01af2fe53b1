#include "toolkit/codecs/JpegReader.h"

#include "toolkit/codecs/Exif.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE and size_t declared first
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

namespace {

// A file with more scans than this is taken as damaged (each scan re-reads the whole picture).
constexpr int kMaxScans = 1000;
// Rows of the CMYK conversion buffer handed to libjpeg per call.
constexpr int kCmykRows = 16;
// The markers kept while the header is read: EXIF (APP1) and ICC profile (APP2) segments.
constexpr int kExifMarker = JPEG_APP0 + 1, kIccMarker = JPEG_APP0 + 2;
constexpr unsigned kMaxMarkerLength = 0xFFFF;

} // namespace

// libjpeg's error exit returns with longjmp, so the functions below that call into libjpeg hold
// no C++ objects with destructors: everything a run needs is here.
struct TJpegReader::TState {
    jpeg_decompress_struct Info;
    jpeg_error_mgr Error;
    jpeg_progress_mgr ProgressManager;
    std::jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX] = {};
    TFailure Failure = TFailure::None;
    bool Created = false;
    bool Started = false;
    int Next = 0; // the row decoded next
    int ScaleDenominator = 1;
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    int64_t MaxMemory = 0;
    std::function<bool(int)> Progress;
    bool Cmyk = false, Inverted = false;
    std::vector<JSAMPLE> CmykBuffer;
    std::vector<JSAMPROW> CmykRows;
    TJpegReader::TCmykConverter CmykConverter;
    int Orientation = 1;
    QByteArray IccProfile;

    TState() {
        std::memset(&Info, 0, sizeof Info);
        std::memset(&ProgressManager, 0, sizeof ProgressManager);
        Info.err = jpeg_std_error(&Error);
        Error.error_exit = &ErrorExit;
        Error.emit_message = &EmitMessage;
        Error.output_message = &OutputMessage;
        Info.client_data = this;
    }
    ~TState() {
        if (Created)
            jpeg_destroy_decompress(&Info);
    }
    TState(const TState&) = delete;
    TState& operator=(const TState&) = delete;

    static TState* Of(j_common_ptr cinfo) { return static_cast<TState*>(cinfo->client_data); }

    [[noreturn]] static void Fail(j_common_ptr cinfo, TFailure failure) {
        TState* self = Of(cinfo);
        self->Failure = failure;
        std::longjmp(self->Jump, 1);
    }

    [[noreturn]] static void ErrorExit(j_common_ptr cinfo) {
        (*cinfo->err->format_message)(cinfo, Of(cinfo)->Message);
        const int code = cinfo->err->msg_code;
        Fail(cinfo, code == JERR_NO_BACKING_STORE ? TFailure::Memory
                    : code == JERR_BAD_PRECISION  ? TFailure::Precision
                                                  : TFailure::Data);
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
        TState* self = Of(cinfo);
        auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
        if (dinfo->input_scan_number > kMaxScans) {
            std::snprintf(self->Message, sizeof self->Message, "more than %d scans", kMaxScans);
            Fail(cinfo, TFailure::Data);
        }
        if (!self->Progress)
            return;
        const jpeg_progress_mgr* p = cinfo->progress;
        double done = p->completed_passes;
        if (p->pass_limit > 0)
            done += std::clamp(double(p->pass_counter) / double(p->pass_limit), 0.0, 1.0);
        const int total = std::max(p->total_passes, 1);
        if (!self->Progress(std::clamp(int(100.0 * done / total), 0, 100))) {
            std::snprintf(self->Message, sizeof self->Message, "stopped by a progress handler");
            Fail(cinfo, TFailure::Stopped);
        }
    }
};

namespace {

using TState = TJpegReader::TState;

bool HeaderOf(TState* s) {
    if (setjmp(s->Jump))
        return false;
    s->Created = true; // jpeg_destroy_decompress copes with a half-made object
    jpeg_create_decompress(&s->Info);
    if (s->MaxMemory > 0)
        s->Info.mem->max_memory_to_use = long(s->MaxMemory);
    jpeg_mem_src(&s->Info, s->Data, static_cast<unsigned long>(s->Size));
    jpeg_save_markers(&s->Info, kExifMarker, kMaxMarkerLength);
    jpeg_save_markers(&s->Info, kIccMarker, kMaxMarkerLength);
    jpeg_read_header(&s->Info, TRUE);
    return true;
}

// libjpeg-turbo puts the profile of the APP2 markers together (malloc'ed, for the caller to
// free); damaged markers give none.
bool IccOf(TState* s, JOCTET** data, unsigned* size) {
    if (setjmp(s->Jump))
        return false;
    if (!jpeg_read_icc_profile(&s->Info, data, size))
        *data = nullptr;
    return true;
}

// A side decoded at 1/denominator of its size, as libjpeg rounds it.
JDIMENSION ScaledSide(JDIMENSION side, int denominator) {
    return JDIMENSION((uint64_t(side) + unsigned(denominator) - 1) / unsigned(denominator));
}

bool StartOf(TState* s) {
    if (setjmp(s->Jump))
        return false;
    s->Info.out_color_space = s->Cmyk ? JCS_CMYK : JCS_EXT_BGR;
    s->Info.progress = &s->ProgressManager;
    s->ProgressManager.progress_monitor = &TState::ProgressMonitor;
    s->Info.scale_num = 1;
    s->Info.scale_denom = unsigned(s->ScaleDenominator);
    jpeg_start_decompress(&s->Info);
    if (s->Info.output_width != ScaledSide(s->Info.image_width, s->ScaleDenominator) ||
        s->Info.output_height != ScaledSide(s->Info.image_height, s->ScaleDenominator)) {
        std::snprintf(s->Message, sizeof s->Message, "the picture size changed");
        TState::Fail(reinterpret_cast<j_common_ptr>(&s->Info), TJpegReader::TFailure::Data);
    }
    s->Inverted = s->Info.saw_Adobe_marker; // Adobe writes CMYK inverted
    return true;
}

bool RowsOf(TState* s, uint8_t* const* rows, int count) {
    if (setjmp(s->Jump))
        return false;
    const JDIMENSION width = s->Info.output_width;
    for (int done = 0; done < count;) {
        if (!s->Cmyk) {
            const JDIMENSION n = jpeg_read_scanlines(&s->Info, const_cast<JSAMPARRAY>(rows + done),
                                                     JDIMENSION(count - done));
            if (n == 0)
                ERREXIT(&s->Info, JERR_INPUT_EMPTY);
            done += int(n);
            continue;
        }
        const JDIMENSION n = jpeg_read_scanlines(&s->Info, s->CmykRows.data(),
                                                 JDIMENSION(std::min(count - done, kCmykRows)));
        if (n == 0)
            ERREXIT(&s->Info, JERR_INPUT_EMPTY);
        for (JDIMENSION i = 0; i < n; ++i, ++done) {
            const JSAMPLE* from = s->CmykRows[i];
            JSAMPLE* to = rows[done];
            if (s->CmykConverter) {
                s->CmykConverter(from, to, int(width));
                continue;
            }
            for (JDIMENSION x = 0; x < width; ++x, from += 4, to += 3) {
                const unsigned k = s->Inverted ? from[3] : 255u - from[3];
                for (int ch = 0; ch < 3; ++ch) {
                    const unsigned v = s->Inverted ? from[2 - ch] : 255u - from[2 - ch];
                    to[ch] = JSAMPLE((v * k + 127) / 255);
                }
            }
        }
    }
    // Every row is there: what follows the last scan does not matter.
    if (s->Info.output_scanline >= s->Info.output_height)
        jpeg_abort_decompress(&s->Info);
    return true;
}

} // namespace

TJpegReader::TJpegReader(const uint8_t* data, size_t size, int64_t maxMemory)
    : FState(std::make_unique<TState>()) {
    FState->Data = data;
    FState->Size = size;
    FState->MaxMemory = maxMemory;
}

TJpegReader::~TJpegReader() = default;

bool TJpegReader::ReadHeader() {
    TState* s = FState.get();
    if (!HeaderOf(s))
        return false;
    s->Orientation = 1;
    static const char kExif[6] = {'E', 'x', 'i', 'f', '\0', '\0'};
    for (jpeg_saved_marker_ptr m = s->Info.marker_list; m; m = m->next) {
        if (m->marker == kExifMarker && m->data_length >= sizeof kExif &&
            std::memcmp(m->data, kExif, sizeof kExif) == 0) {
            s->Orientation = ExifOrientation(m->data, m->data_length);
            break;
        }
    }
    JOCTET* icc = nullptr;
    unsigned iccSize = 0;
    if (IccOf(s, &icc, &iccSize) && icc)
        s->IccProfile = QByteArray(reinterpret_cast<const char*>(icc), qsizetype(iccSize));
    else
        s->Failure = TFailure::None; // a profile that cannot be read is no profile
    std::free(icc);
    return true;
}

int TJpegReader::Width() const {
    return int(FState->Info.image_width);
}

int TJpegReader::Height() const {
    return int(FState->Info.image_height);
}

bool TJpegReader::SetScale(int denominator) {
    if ((denominator != 1 && denominator != 2 && denominator != 4 && denominator != 8) ||
        FState->Started)
        return false;
    FState->ScaleDenominator = denominator;
    return true;
}

int TJpegReader::OutputWidth() const {
    return int(ScaledSide(FState->Info.image_width, FState->ScaleDenominator));
}

int TJpegReader::OutputHeight() const {
    return int(ScaledSide(FState->Info.image_height, FState->ScaleDenominator));
}

int TJpegReader::Components() const {
    return FState->Info.num_components;
}

int TJpegReader::Precision() const {
    return FState->Info.data_precision;
}

TJpegReader::TColorSpace TJpegReader::ColorSpace() const {
    switch (FState->Info.jpeg_color_space) {
    case JCS_GRAYSCALE:
        return TColorSpace::Grayscale;
    case JCS_YCbCr:
        return TColorSpace::YCbCr;
    case JCS_RGB:
        return TColorSpace::Rgb;
    case JCS_CMYK:
        return TColorSpace::Cmyk;
    case JCS_YCCK:
        return TColorSpace::Ycck;
    default:
        return TColorSpace::Other;
    }
}

int TJpegReader::Orientation() const {
    return FState->Orientation;
}

const QByteArray& TJpegReader::IccProfile() const {
    return FState->IccProfile;
}

bool TJpegReader::CmykInverted() const {
    return FState->Info.saw_Adobe_marker;
}

void TJpegReader::SetCmykConverter(TCmykConverter converter) {
    FState->CmykConverter = std::move(converter);
}

void TJpegReader::SetProgress(std::function<bool(int percent)> progress) {
    FState->Progress = std::move(progress);
}

bool TJpegReader::Start() {
    TState* s = FState.get();
    const TColorSpace space = ColorSpace();
    s->Cmyk = space == TColorSpace::Cmyk || space == TColorSpace::Ycck;
    if (s->Cmyk) {
        const size_t stride = size_t(s->Info.image_width) * 4;
        s->CmykBuffer.resize(stride * kCmykRows);
        for (int i = 0; i < kCmykRows; ++i)
            s->CmykRows.push_back(s->CmykBuffer.data() + stride * size_t(i));
    }
    s->Started = StartOf(s);
    return s->Started;
}

bool TJpegReader::ReadRows(uint8_t* const* rows, int count) {
    TState* s = FState.get();
    if (!s->Started || count < 0 || NextRow() + int64_t(count) > OutputHeight()) {
        std::snprintf(s->Message, sizeof s->Message, "rows asked for out of order");
        s->Failure = TFailure::Data;
        return false;
    }
    if (count > 0 && !RowsOf(s, rows, count))
        return false;
    s->Next += count;
    return true;
}

int TJpegReader::NextRow() const {
    return FState->Next;
}

TJpegReader::TFailure TJpegReader::Failure() const {
    return FState->Failure;
}

QString TJpegReader::Message() const {
    return QString::fromLocal8Bit(FState->Message);
}
