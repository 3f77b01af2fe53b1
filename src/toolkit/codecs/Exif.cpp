#include "toolkit/codecs/Exif.h"

#include <cstring>

namespace {

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kShort = 3, kLong = 4; // TIFF field types
constexpr size_t kEntrySize = 12;

// Reads the TIFF block's integers in its byte order.
struct TTiffBytes {
    const uint8_t* Data;
    size_t Size;
    bool Big; // "MM": big endian

    bool Has(size_t offset, size_t bytes) const { return offset <= Size && bytes <= Size - offset; }
    uint16_t U16(size_t at) const {
        return Big ? uint16_t(Data[at] << 8 | Data[at + 1])
                   : uint16_t(Data[at + 1] << 8 | Data[at]);
    }
    uint32_t U32(size_t at) const {
        return Big ? uint32_t(U16(at)) << 16 | U16(at + 2) : uint32_t(U16(at + 2)) << 16 | U16(at);
    }
};

} // namespace

int ExifOrientation(const uint8_t* data, size_t size) {
    if (!data)
        return 1;
    static const char kExifHeader[6] = {'E', 'x', 'i', 'f', '\0', '\0'};
    if (size >= sizeof kExifHeader && std::memcmp(data, kExifHeader, sizeof kExifHeader) == 0) {
        data += sizeof kExifHeader;
        size -= sizeof kExifHeader;
    }
    if (size < 8)
        return 1;
    TTiffBytes tiff{data, size, false};
    if (data[0] == 'M' && data[1] == 'M')
        tiff.Big = true;
    else if (data[0] != 'I' || data[1] != 'I')
        return 1;
    if (tiff.U16(2) != 42)
        return 1;
    // The first directory: a count of entries of 12 bytes each, bounded by the block's size.
    const size_t ifd = tiff.U32(4);
    if (!tiff.Has(ifd, 2))
        return 1;
    const size_t count = tiff.U16(ifd);
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = ifd + 2 + i * kEntrySize;
        if (!tiff.Has(entry, kEntrySize))
            return 1;
        if (tiff.U16(entry) != kOrientationTag)
            continue;
        const uint16_t type = tiff.U16(entry + 2);
        if (tiff.U32(entry + 4) < 1)
            return 1;
        // A single value sits in the entry itself, left-justified.
        const uint32_t value = type == kShort  ? tiff.U16(entry + 8)
                               : type == kLong ? tiff.U32(entry + 8)
                                               : 0;
        return value >= 1 && value <= 8 ? int(value) : 1;
    }
    return 1;
}
