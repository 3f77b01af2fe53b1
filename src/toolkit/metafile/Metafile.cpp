#include "toolkit/metafile/Metafile.h"

#include "toolkit/codecs/PictureFile.h"
#include "toolkit/metafile/MetafileInternal.h"
#include "toolkit/metafile/MetafileRecords.h"

#include <QDir>
#include <QFileInfo>
#include <QPainter>

#include <cstdlib>
#include <new>

namespace metafile {

namespace {

constexpr uint32_t kPlaceableKey = 0x9AC6CDD7u;
constexpr uint32_t kEmfSignature = 0x464D4520u; // " EMF"
constexpr uint32_t kEmfMinHeader = 88;

[[noreturn]] void Fail(const TParsed& parsed, const QString& what) {
    throw EInvalidGraphic(QStringLiteral("Metafile \"%1\" is not valid: %2")
                              .arg(QDir::toNativeSeparators(parsed.Name), what));
}

int64_t Abs64(int64_t v) {
    return v < 0 ? -v : v;
}

// Pixels at 96 dpi for a length of `units` at `perInch` units per inch, rounded like MulDiv.
int64_t PixelsAt96(int64_t units, int64_t perInch) {
    const int64_t n = units * 96;
    const int64_t q = (Abs64(n) * 2 + perInch) / (perInch * 2);
    return n < 0 ? -q : q;
}

} // namespace

int32_t MulDiv(int32_t a, int32_t b, int32_t c) {
    if (c == 0)
        return -1; // what Windows returns; callers never divide by zero
    const int64_t n = int64_t(a) * b;
    const int64_t d = c;
    const int64_t an = Abs64(n), ad = Abs64(d);
    int64_t q = (an + ad / 2) / ad;
    if ((n < 0) != (d < 0))
        q = -q;
    if (q > INT32_MAX || q < INT32_MIN)
        return -1;
    return int32_t(q);
}

void ParseEmf(TParsed& p) {
    const TReader file(reinterpret_cast<const uint8_t*>(p.Data.constData()), size_t(p.Data.size()));
    if (file.Size() < kEmfMinHeader)
        Fail(p, QStringLiteral("the file is too short for an EMF header"));
    const uint32_t headerSize = file.U32(4);
    if (file.U32(0) != EMR_HEADER || file.U32(40) != kEmfSignature)
        Fail(p, QStringLiteral("the EMF header signature is missing"));
    if (headerSize < kEmfMinHeader || headerSize % 4 != 0 || headerSize > file.Size())
        Fail(p, QStringLiteral("the EMF header gives an invalid size (%1 bytes)").arg(headerSize));
    const uint32_t bytes = file.U32(48);
    if (bytes > file.Size())
        Fail(p, QStringLiteral("the file is truncated: the header gives %1 bytes, the file has %2")
                    .arg(bytes)
                    .arg(file.Size()));
    if (bytes < headerSize)
        Fail(p, QStringLiteral("the header gives a file size (%1 bytes) smaller than itself")
                    .arg(bytes));
    for (int i = 0; i < 4; ++i) {
        p.Bounds[i] = file.I32(8 + 4 * i);
        p.Frame[i] = file.I32(24 + 4 * i);
    }
    p.Handles = file.U16(56);
    p.DeviceCx = file.I32(72);
    p.DeviceCy = file.I32(76);
    p.MillimetersCx = file.I32(80);
    p.MillimetersCy = file.I32(84);

    const int64_t width = PixelsAt96(int64_t(p.Frame[2]) - p.Frame[0], 2540);
    const int64_t height = PixelsAt96(int64_t(p.Frame[3]) - p.Frame[1], 2540);
    if (width <= 0 || height <= 0)
        Fail(p,
             QStringLiteral("the picture frame is empty (%1 x %2 pixels)").arg(width).arg(height));
    if (width > kMaxPictureSide || height > kMaxPictureSide)
        Fail(p, QStringLiteral("the picture frame is too large (%1 x %2 pixels)")
                    .arg(width)
                    .arg(height));
    p.Width = int(width);
    p.Height = int(height);

    // The record chain, the header being the first record. A record whose size cannot be
    // right breaks the chain. When a plausible chain starts a few bytes further on (a writer
    // that miscounted one record), playing resumes there; when nothing follows, a last record
    // whose size runs past the end of a file as long as its header says has a damaged size
    // field, and the records before it are played. A file shorter than its header says is
    // truncated and refused above.
    auto recordOk = [&](uint64_t at) {
        if (!file.Has(at, 8) || at + 8 > bytes)
            return false;
        const uint32_t size = file.U32(at + 4);
        return size >= 8 && size % 4 == 0 && size <= bytes - at;
    };
    auto runsPastEnd = [&](uint64_t at) {
        if (!file.Has(at, 8) || at + 8 > bytes)
            return false;
        const uint32_t size = file.U32(at + 4);
        return size >= 8 && size % 4 == 0 && size > bytes - at;
    };
    auto plausibleChain = [&](uint64_t at) {
        uint32_t valid = 0;
        while (recordOk(at)) {
            const uint32_t type = file.U32(at);
            if (type == EMR_HEADER || type > 200)
                return false;
            if (type == EMR_EOF)
                return true;
            at += file.U32(at + 4);
            ++valid;
        }
        return (at == bytes && valid >= 4) || (runsPastEnd(at) && valid >= 16);
    };
    uint64_t at = 0;
    uint32_t count = 0;
    bool eof = false;
    while (at < bytes && !eof) {
        if (!recordOk(at)) {
            if (count > 0 && p.GapTo == 0) {
                uint64_t next = at + 4;
                while (next < bytes && next <= at + kMaxResyncBytes && !plausibleChain(next))
                    next += 4;
                if (next < bytes && next <= at + kMaxResyncBytes) {
                    p.GapFrom = uint32_t(at);
                    p.GapTo = uint32_t(next);
                    at = next;
                    continue;
                }
            }
            if (count > 0 && runsPastEnd(at)) {
                p.DamagedTail = true;
                break;
            }
            if (!file.Has(at, 8) || at + 8 > bytes)
                Fail(p, QStringLiteral("the record at offset %1 is cut short").arg(at));
            const uint32_t size = file.U32(at + 4);
            if (size < 8 || size % 4 != 0)
                Fail(p, QStringLiteral("the record at offset %1 has an invalid size (%2 bytes)")
                            .arg(at)
                            .arg(size));
            Fail(p,
                 QStringLiteral("the record at offset %1 runs past the end of the file").arg(at));
        }
        const uint32_t type = file.U32(at);
        if (count == 0 && type != EMR_HEADER)
            Fail(p, QStringLiteral("the first record is not the EMF header"));
        eof = type == EMR_EOF;
        at += file.U32(at + 4);
        ++count;
    }
    p.RecordsBegin = 0;
    p.RecordsEnd = uint32_t(at);
    p.RecordCount = count;
    p.Kind = TKind::Emf;
}

void ParseWmf(TParsed& p) {
    const TReader file(reinterpret_cast<const uint8_t*>(p.Data.constData()), size_t(p.Data.size()));
    uint64_t at = 0;
    if (file.Size() >= 4 && file.U32(0) == kPlaceableKey) {
        if (file.Size() < 22)
            Fail(p, QStringLiteral("the file is too short for a placeable header"));
        uint16_t sum = 0;
        for (int i = 0; i < 10; ++i)
            sum ^= file.U16(2 * i);
        p.ChecksumOk = sum == file.U16(20); // a wrong checksum is accepted, as Windows does
        for (int i = 0; i < 4; ++i)
            p.BBox[i] = file.I16(6 + 2 * i);
        p.Inch = file.U16(14);
        p.Placeable = true;
        if (p.Inch == 0)
            Fail(p, QStringLiteral("the placeable header gives 0 units per inch"));
        at = 22;
    }
    if (!file.Has(at, 18))
        Fail(p, QStringLiteral("the file is too short for a WMF header"));
    const uint16_t type = file.U16(at);
    const uint16_t headerWords = file.U16(at + 2);
    const uint16_t version = file.U16(at + 4);
    const uint64_t declaredBytes =
        (uint64_t(file.U16(at + 6)) | (uint64_t(file.U16(at + 8)) << 16)) * 2;
    p.Objects = file.U16(at + 10);
    if ((type != 1 && type != 2) || headerWords != 9)
        Fail(p, QStringLiteral("the WMF header is not valid (type %1, %2 words)")
                    .arg(type)
                    .arg(headerWords));
    if (version != 0x0100 && version != 0x0300)
        Fail(p, QStringLiteral("the WMF header gives an unknown version (0x%1)")
                    .arg(version, 4, 16, QLatin1Char('0')));
    const uint64_t available = file.Size() - at;
    const bool complete = declaredBytes <= available;

    bool haveExtent = false;
    int16_t extX = 0, extY = 0;
    uint64_t pos = at + 18;
    uint32_t count = 0;
    while (pos < file.Size()) {
        if (!file.Has(pos, 6)) {
            if (complete)
                break; // a few trailing bytes after the last record
            Fail(p, QStringLiteral("the record at offset %1 is cut short").arg(pos));
        }
        const uint64_t words = file.U32(pos);
        const uint16_t function = file.U16(pos + 4);
        if (words < 3)
            Fail(p, QStringLiteral("the record at offset %1 has an invalid size (%2 words)")
                        .arg(pos)
                        .arg(words));
        if (words * 2 > file.Size() - pos) {
            // A file that is as long as its header says, whose last record claims more than
            // is left, has a damaged size field: play what comes before it.
            if (complete && function != META_EOF)
                break;
            Fail(p, QStringLiteral("the record at offset %1 runs past the end of the file "
                                   "(the header gives %2 bytes, the file has %3)")
                        .arg(pos)
                        .arg(declaredBytes)
                        .arg(available));
        }
        if (function == META_SETWINDOWEXT && !haveExtent && words >= 5) {
            extY = file.I16(pos + 6);
            extX = file.I16(pos + 8);
            haveExtent = true;
        }
        pos += words * 2;
        ++count;
        if (function == META_EOF)
            break;
    }
    p.RecordsBegin = uint32_t(at + 18);
    p.RecordsEnd = uint32_t(pos > file.Size() ? file.Size() : pos);
    p.RecordCount = count;

    if (p.Placeable) {
        const int64_t w = PixelsAt96(Abs64(int64_t(p.BBox[2]) - p.BBox[0]), p.Inch);
        const int64_t h = PixelsAt96(Abs64(int64_t(p.BBox[3]) - p.BBox[1]), p.Inch);
        if (w <= 0 || h <= 0)
            Fail(p, QStringLiteral("the bounding box is empty (%1 x %2 pixels)").arg(w).arg(h));
        p.Width = int(w);
        p.Height = int(h);
    } else {
        if (!haveExtent || extX == 0 || extY == 0)
            Fail(p, QStringLiteral("there is no placeable header and no window extent to give "
                                   "the picture's size"));
        int64_t w = Abs64(extX), h = Abs64(extY);
        if (w > kMaxNoPlaceableSide || h > kMaxNoPlaceableSide) {
            const int64_t side = w > h ? w : h;
            w = (w * kMaxNoPlaceableSide + side / 2) / side;
            h = (h * kMaxNoPlaceableSide + side / 2) / side;
            w = w < 1 ? 1 : w;
            h = h < 1 ? 1 : h;
        }
        p.Width = int(w);
        p.Height = int(h);
        p.BBox[0] = 0;
        p.BBox[1] = 0;
        p.BBox[2] = int16_t(Abs64(extX));
        p.BBox[3] = int16_t(Abs64(extY));
        p.Inch = 96;
    }
    p.Kind = TKind::Wmf;
}

} // namespace metafile

using namespace metafile;

TMetafile::TMetafile() = default;
TMetafile::~TMetafile() = default;

int TMetafile::Width() const {
    return FParsed ? FParsed->Width : 0;
}
int TMetafile::Height() const {
    return FParsed ? FParsed->Height : 0;
}
bool TMetafile::IsEnhanced() const {
    return FParsed && FParsed->Kind == TKind::Emf;
}
bool TMetafile::IsPlaceable() const {
    return FParsed && FParsed->Placeable;
}

void TMetafile::LoadFromFile(const QString& fileName) {
    const QFileInfo info(fileName);
    if (info.isFile() && info.size() > kMaxFileBytes)
        throw EInvalidGraphic(QStringLiteral("Metafile \"%1\" is not valid: the file is larger "
                                             "than %2 MiB")
                                  .arg(QDir::toNativeSeparators(fileName))
                                  .arg(kMaxFileBytes >> 20));
    LoadFromBytes(ReadPictureFile(fileName), fileName);
}

void TMetafile::LoadFromBytes(const QByteArray& data, const QString& name) {
    auto parsed = std::make_shared<TParsed>();
    parsed->Data = data;
    parsed->Name = name;
    if (data.size() > kMaxFileBytes)
        throw EInvalidGraphic(QStringLiteral("Metafile \"%1\" is not valid: the file is larger "
                                             "than %2 MiB")
                                  .arg(QDir::toNativeSeparators(name))
                                  .arg(kMaxFileBytes >> 20));
    const TReader file(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()));
    const bool placeable = file.Has(0, 4) && file.U32(0) == 0x9AC6CDD7u;
    const bool emf = file.Has(0, 44) && file.U32(0) == 1 && file.U32(40) == 0x464D4520u;
    const bool wmf = file.Has(0, 4) && (file.U16(0) == 1 || file.U16(0) == 2) && file.U16(2) == 9;
    if (emf)
        ParseEmf(*parsed);
    else if (placeable || wmf)
        ParseWmf(*parsed);
    else
        throw EInvalidGraphic(QStringLiteral("Metafile \"%1\" is not valid: the file is neither "
                                             "an EMF nor a WMF picture")
                                  .arg(QDir::toNativeSeparators(name)));
    FParsed = std::move(parsed);
    FStats = {};
}

void TMetafile::Paint(QPainter& painter, const QRect& target) {
    PaintRect(painter, QRectF(target));
}

void TMetafile::PaintRect(QPainter& painter, const QRectF& target, bool clipToTarget) {
    FStats = {};
    if (!FParsed || target.isEmpty())
        return;
    TPlayOptions options;
    options.ClipToTarget = clipToTarget;
    painter.save();
    try {
        if (FParsed->Kind == TKind::Emf)
            FStats = PlayEmf(*FParsed, painter, target, options);
        else
            FStats = PlayWmf(*FParsed, painter, target, options);
    } catch (const std::bad_alloc&) {
        FStats.Truncated = true; // out of memory for one drawing step: keep what was drawn
    }
    painter.restore();
}

QRectF TMetafile::DrawnBounds() const {
    if (!FParsed)
        return QRectF();
    QImage scratch(1, 1, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&scratch);
    // Measured on a grid 16 times finer than the picture's pixels: coordinates are rounded to
    // whole pixels of the target while playing.
    constexpr double kFine = 16;
    const QRectF own(0, 0, FParsed->Width * kFine, FParsed->Height * kFine);
    QRectF bounds;
    TPlayOptions options;
    options.Measured = &bounds;
    options.ClipToTarget = false;
    try {
        if (FParsed->Kind == TKind::Emf)
            PlayEmf(*FParsed, painter, own, options);
        else
            PlayWmf(*FParsed, painter, own, options);
    } catch (const std::bad_alloc&) {
        return QRectF();
    }
    return QRectF(bounds.left() / kFine, bounds.top() / kFine, bounds.width() / kFine,
                  bounds.height() / kFine);
}

std::unique_ptr<TGraphic> TMetafile::Clone() const {
    auto copy = std::make_unique<TMetafile>();
    copy->FParsed = FParsed;
    copy->OnProgress = OnProgress;
    return copy;
}

std::unique_ptr<TGraphic> CreateMetafileGraphic() {
    return std::make_unique<TMetafile>();
}
