// Internals of the metafile picture shared by its loader, its record players and its tests:
// the parsed file, the limits that bound the work of a hostile file and the GDI constants.
#pragma once

#include "toolkit/metafile/Metafile.h"
#include "toolkit/metafile/MetafileReader.h"

#include <QByteArray>
#include <QRectF>

#include <cstdint>

class QPainter;

namespace metafile {

// Limits. A file above the first is refused when it loads; the others stop or skip
// work while it plays, keeping what was drawn so far.
constexpr int64_t kMaxFileBytes = int64_t(256) << 20;  // bytes of one metafile
constexpr int64_t kMaxRecords = int64_t(4) << 20;      // records played in one paint
constexpr int64_t kMaxBitmapPixels = int64_t(1) << 25; // pixels of one embedded bitmap
constexpr int64_t kMaxWorkUnits = int64_t(600) << 20;  // drawing work of one paint (TDevice::Spend)
constexpr int kMaxObjects = 65536;                     // object table entries
constexpr int kMaxSavedStates = 4096;                  // nesting of saved device contexts
constexpr int kMaxTextChars = 16384;                   // characters of one text record
constexpr int kMaxNoPlaceableSide = 4096;              // picture side taken from a window extent
constexpr int kMaxResyncBytes = 256;                   // how far a broken EMF chain is searched
constexpr int64_t kMaxClipWork = int64_t(1) << 24;     // product of two clip figures' sizes

enum class TKind { None, Emf, Wmf };

// A loaded metafile: its bytes and what its headers say. Immutable once loaded, shared by
// copies of the picture.
struct TParsed {
    QByteArray Data;
    QString Name; // for messages
    TKind Kind = TKind::None;
    int Width = 0, Height = 0; // own size in pixels at 96 dpi

    // EMF: header fields (rclBounds, rclFrame in 0.01 mm, reference device size).
    int32_t Bounds[4] = {0, 0, 0, 0};
    int32_t Frame[4] = {0, 0, 0, 0};
    int32_t DeviceCx = 0, DeviceCy = 0;           // reference device, pixels
    int32_t MillimetersCx = 0, MillimetersCy = 0; // reference device, millimetres
    uint32_t Handles = 0;                         // object table size claimed by the header

    // WMF: the placeable header when there is one, else the first window extent.
    bool Placeable = false;
    int16_t BBox[4] = {0, 0, 0, 0}; // left, top, right, bottom in metafile units
    uint16_t Inch = 0;              // metafile units per inch
    uint16_t Objects = 0;           // object table size from the header
    bool ChecksumOk = true;

    // The record chain: [RecordsBegin, RecordsEnd) holds whole records, each checked to fit.
    uint32_t RecordsBegin = 0, RecordsEnd = 0;
    uint32_t RecordCount = 0;
    // EMF: bytes skipped between a record with a broken size and the valid chain after it.
    uint32_t GapFrom = 0, GapTo = 0;
    // The chain ended at a last record whose size ran past the end of the file.
    bool DamagedTail = false;
};

// Windows' MulDiv: a * b / c in 64 bits, rounded half away from zero. c must not be 0.
int32_t MulDiv(int32_t a, int32_t b, int32_t c);

// Header and record-chain checks; raise EInvalidGraphic naming the file.
void ParseEmf(TParsed& parsed);
void ParseWmf(TParsed& parsed);

struct TPlayOptions {
    bool ClipToTarget = true;   // nothing drawn outside the target rectangle
    QRectF* Measured = nullptr; // draw nothing: receive the bounds of what would be drawn
};

// Players: draw the records onto the painter, the picture's frame (EMF) or bounding box (WMF)
// mapped onto target.
TMetafilePlayStats PlayEmf(const TParsed& parsed, QPainter& painter, const QRectF& target,
                           const TPlayOptions& options);
TMetafilePlayStats PlayWmf(const TParsed& parsed, QPainter& painter, const QRectF& target,
                           const TPlayOptions& options);

} // namespace metafile
