// The EXIF orientation: both byte orders, with and without JPEG's "Exif" prefix, and damaged
// blocks, which give 1 and never read outside the data.
#include "toolkit/codecs/Exif.h"

#include <QByteArray>
#include <gtest/gtest.h>

#include <vector>

namespace {

struct Entry {
    uint16_t Tag, Type;
    uint32_t Count, Value;
};

constexpr uint16_t kShort = 3, kLong = 4, kAscii = 2;

// A TIFF block: header, the first directory at ifd with the entries, then a next-directory link.
QByteArray Tiff(bool big, const std::vector<Entry>& entries, uint32_t ifd = 8, uint32_t next = 0) {
    QByteArray out;
    auto put = [&out, big](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            const int shift = big ? 8 * (bytes - 1 - i) : 8 * i;
            out.append(char((v >> shift) & 0xFF));
        }
    };
    out.append(big ? "MM" : "II");
    put(42, 2);
    put(ifd, 4);
    while (out.size() < qsizetype(ifd))
        out.append('\0');
    put(uint32_t(entries.size()), 2);
    for (const Entry& e : entries) {
        put(e.Tag, 2);
        put(e.Type, 2);
        put(e.Count, 4);
        if (e.Type == kShort) { // left-justified in the four bytes
            put(e.Value, 2);
            put(0, 2);
        } else {
            put(e.Value, 4);
        }
    }
    put(next, 4);
    return out;
}

int Orientation(const QByteArray& block) {
    return ExifOrientation(reinterpret_cast<const uint8_t*>(block.constData()),
                           size_t(block.size()));
}

const QByteArray kPrefix("Exif\0\0", 6);

TEST(Exif, OrientationInEitherByteOrderWithOrWithoutThePrefix) {
    for (bool big : {false, true})
        for (int n = 1; n <= 8; ++n) {
            const QByteArray block = Tiff(
                big,
                {{0x010F, kAscii, 4, 0}, {0x0112, kShort, 1, uint32_t(n)}, {0x8769, kLong, 1, 0}});
            EXPECT_EQ(Orientation(block), n) << big;
            EXPECT_EQ(Orientation(kPrefix + block), n) << big;
        }
}

TEST(Exif, AnythingElseGivesOne) {
    const Entry six{0x0112, kShort, 1, 6};
    QByteArray wrongMagic = Tiff(false, {six});
    wrongMagic[2] = 43;
    QByteArray mixedOrder = Tiff(false, {six});
    mixedOrder[1] = 'M';
    struct Case {
        const char* Name;
        QByteArray Block;
        int Expected;
    };
    const Case cases[] = {
        {"a LONG value", Tiff(true, {{0x0112, kLong, 1, 6}}), 6},
        {"the tag after others", Tiff(false, {{0x0100, kLong, 1, 640}, six}), 6},
        {"value 0", Tiff(false, {{0x0112, kShort, 1, 0}}), 1},
        {"value 9", Tiff(false, {{0x0112, kShort, 1, 9}}), 1},
        {"value 0xFFFF", Tiff(true, {{0x0112, kShort, 1, 0xFFFF}}), 1},
        {"an ASCII value", Tiff(false, {{0x0112, kAscii, 1, 6}}), 1},
        {"count 0", Tiff(false, {{0x0112, kShort, 0, 6}}), 1},
        {"no orientation", Tiff(false, {{0x0100, kLong, 1, 640}}), 1},
        {"no entries", Tiff(false, {}), 1},
        {"the directory further on", Tiff(false, {six}, 40), 6},
        {"the directory beyond the end", Tiff(false, {six}).left(8) + QByteArray(4, '\0'), 1},
        {"the directory offset huge", Tiff(false, {six}, 8).replace(4, 4, "\xF0\xFF\xFF\xFF"), 1},
        {"the directory at the header", Tiff(false, {six}).replace(4, 4, QByteArray(4, '\0')), 1},
        {"the entry cut short", Tiff(false, {six}).left(8 + 2 + 10), 1},
        {"more entries counted than there are",
         Tiff(false, {{0x0100, kLong, 1, 640}}).replace(8, 2, "\xFF\xFF"), 1},
        {"wrong magic number", wrongMagic, 1},
        {"mixed byte order mark", mixedOrder, 1},
        {"the prefix alone", kPrefix, 1},
        {"empty", QByteArray(), 1},
        {"a JPEG's XMP block", QByteArray("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta", 40), 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Orientation(c.Block), c.Expected) << c.Name;
    EXPECT_EQ(ExifOrientation(nullptr, 100), 1);
}

TEST(Exif, EveryTruncationGivesTheValueOnlyWhenItsEntryIsWhole) {
    for (bool big : {false, true}) {
        const QByteArray block =
            kPrefix + Tiff(big, {{0x0100, kLong, 1, 1}, {0x0112, kShort, 1, 8}});
        const qsizetype entryEnd = 6 + 8 + 2 + 2 * 12;
        for (qsizetype size = 0; size <= block.size(); ++size) {
            const QByteArray cut = block.left(size);
            // From the heap, so that a read beyond the end shows under AddressSanitizer.
            std::vector<uint8_t> bytes(cut.begin(), cut.end());
            const int got = ExifOrientation(bytes.data(), bytes.size());
            EXPECT_EQ(got, size >= entryEnd ? 8 : 1) << size;
        }
    }
}

} // namespace
