// Device-independent bitmaps embedded in metafile records: 1, 4, 8, 16, 24 and 32 bits per
// pixel, RLE4/RLE8 and bit-field masks, with core, info and later headers.
#pragma once

#include "toolkit/metafile/MetafileReader.h"

#include <QImage>

#include <functional>

namespace metafile {

enum : uint32_t { DIB_RGB_COLORS = 0, DIB_PAL_COLORS = 1 };

struct TDibOptions {
    uint32_t Usage = DIB_RGB_COLORS;       // colour table of RGB quads or palette indexes
    std::function<QRgb(uint32_t)> Palette; // palette lookup for DIB_PAL_COLORS
    bool KeepAlpha = false;                // 32-bit pixels are premultiplied BGRA (alpha blending)
    bool MonoAsIndex = false; // 1-bit pixels as black (0) and white (1), ignoring the table
};

struct TDibResult {
    QImage Image; // Format_ARGB32, or Format_ARGB32_Premultiplied with KeepAlpha
    int BitCount = 0;
    bool TopDown = false;
};

// Decodes a DIB whose header (and colour table) is `info` and whose pixels are `bits`.
// Returns false (and a null image) for a malformed, unsupported or oversized bitmap. Rows the
// bits do not reach, and pixels an RLE bitmap skips, are left transparent.
bool DecodeDib(const TReader& info, const TReader& bits, const TDibOptions& options,
               TDibResult& out);

// The same for a packed DIB: header, colour table and pixels in one block.
bool DecodePackedDib(const TReader& packed, const TDibOptions& options, TDibResult& out);

// Width and height from a DIB header without decoding; false when the header is not valid.
bool DibSize(const TReader& info, int64_t& width, int64_t& height);

} // namespace metafile
