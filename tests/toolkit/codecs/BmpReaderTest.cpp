// The BMP reader on files the tests write: every bit depth and header kind, odd widths for the
// row padding, bit fields, RLE with its escapes, and damaged or oversized headers. Expected
// pixels come from a plain model of the format kept here.
#include "support/TestSupport.h"
#include "toolkit/Graphics.h"
#include "toolkit/codecs/BmpCodec.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

namespace {

using testsupport::Put16;
using testsupport::Put32;

// A BMP file assembled from its parts; Pixels holds the stored pixel data as it is.
struct BmpFile {
    int Width = 1, Height = 1; // Height < 0: top-down
    int Bits = 8;
    uint32_t Compression = 0;
    uint32_t HeaderSize = 40;      // 12 (OS/2 1.x), 16 (OS/2 2.x), 40, 108, 124
    std::vector<uint32_t> Palette; // 0x00RRGGBB
    std::vector<uint32_t> Masks;   // stored after a 40-byte header, or in a v4/v5 header
    QByteArray Pixels;

    QByteArray Build() const {
        QByteArray info;
        Put32(info, HeaderSize);
        if (HeaderSize == 12) {
            Put16(info, uint16_t(Width));
            Put16(info, uint16_t(Height));
            Put16(info, 1);
            Put16(info, uint16_t(Bits));
        } else {
            Put32(info, uint32_t(Width));
            Put32(info, uint32_t(Height));
            Put16(info, 1);
            Put16(info, uint16_t(Bits));
            for (uint32_t v :
                 {Compression, uint32_t(Pixels.size()), 2835u, 2835u, uint32_t(Palette.size()), 0u})
                Put32(info, v);
            if (HeaderSize >= 52) // 52: colour masks, 56 and more: an alpha mask too
                for (size_t i = 0; i < (HeaderSize >= 56 ? 4u : 3u); ++i)
                    Put32(info, i < Masks.size() ? Masks[i] : 0);
            info.resize(HeaderSize, '\0');
        }
        QByteArray extra;
        if (HeaderSize == 40)
            for (uint32_t m : Masks)
                Put32(extra, m);
        for (uint32_t c : Palette) {
            extra.append(char(c & 0xFF)).append(char((c >> 8) & 0xFF)).append(char(c >> 16));
            if (HeaderSize != 12)
                extra.append('\0');
        }
        const uint32_t offset = 14 + uint32_t(info.size() + extra.size());
        QByteArray out("BM");
        Put32(out, offset + uint32_t(Pixels.size()));
        Put32(out, 0);
        Put32(out, offset);
        return out + info + extra + Pixels;
    }
};

// Stored rows for top-down values (row 0 first): indices, 16- or 32-bit words, or 0xRRGGBB.
QByteArray PackRows(const std::vector<uint32_t>& v, int w, int h, int bits, bool topDown) {
    QByteArray out;
    const int stride = (w * bits + 31) / 32 * 4;
    for (int r = 0; r < h; ++r) {
        const int y = topDown ? r : h - 1 - r;
        QByteArray row(stride, '\0');
        auto* p = reinterpret_cast<uint8_t*>(row.data());
        for (int x = 0; x < w; ++x) {
            const uint32_t value = v[size_t(y) * w + x];
            if (bits < 8)
                p[x * bits / 8] |= uint8_t(value << (8 - bits - (x * bits) % 8));
            else
                for (int i = 0; i < bits / 8; ++i)
                    p[x * bits / 8 + i] = uint8_t(value >> (8 * i));
        }
        out += row;
    }
    return out;
}

uint32_t Scale(uint32_t pixel, uint32_t mask) {
    if (!mask)
        return 0;
    int shift = 0;
    while (!((mask >> shift) & 1))
        ++shift;
    const uint64_t max = mask >> shift, v = (pixel & mask) >> shift;
    return uint32_t((v * 255 + max / 2) / max);
}

QRgb FromMasks(uint32_t v, const std::vector<uint32_t>& m) {
    return qRgb(int(Scale(v, m[0])), int(Scale(v, m[1])), int(Scale(v, m[2])));
}

QRgb FromPalette(uint32_t c) {
    return 0xFF000000u | c;
}

void ExpectPixels(const QImage& img, int w, int h, const std::vector<QRgb>& expected) {
    ASSERT_EQ(img.width(), w);
    ASSERT_EQ(img.height(), h);
    const QImage argb = img.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(argb.pixel(x, y), expected[size_t(y) * w + x]) << "at " << x << "," << y;
}

QImage Decode(const QByteArray& bytes, TPixelFormat* format = nullptr,
              int64_t maxPixels = kMaxPicturePixels) {
    TPixelFormat dummy;
    return DecodeBmp(bytes, QStringLiteral("/pictures/test.bmp"), format ? format : &dummy,
                     maxPixels);
}

std::vector<uint32_t> RandomPalette(std::mt19937& rng, size_t n) {
    std::vector<uint32_t> p(n);
    for (auto& c : p)
        c = rng() & 0xFFFFFF;
    return p;
}

TEST(BmpReader, EveryDepthAndRowPaddingBothWays) {
    std::mt19937 rng(7);
    for (int bits : {1, 2, 4, 8, 16, 24, 32}) {
        for (int w : {1, 2, 3, 4, 5, 6, 7, 8, 9, 31, 33}) {
            for (bool topDown : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << bits << " bits, width " << w << (topDown ? " top-down" : ""));
                const int h = 3;
                BmpFile f;
                f.Width = w;
                f.Height = topDown ? -h : h;
                f.Bits = bits;
                std::vector<uint32_t> values(size_t(w) * h);
                std::vector<QRgb> expected(values.size());
                if (bits <= 8)
                    f.Palette = RandomPalette(rng, size_t(1) << bits);
                for (size_t i = 0; i < values.size(); ++i) {
                    values[i] = rng() & (bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1);
                    expected[i] = bits <= 8    ? FromPalette(f.Palette[values[i]])
                                  : bits == 16 ? FromMasks(values[i], {0x7C00, 0x3E0, 0x1F})
                                               : FromPalette(values[i] & 0xFFFFFF);
                }
                f.Pixels = PackRows(values, w, h, bits, topDown);
                TPixelFormat format = TPixelFormat::pfDevice;
                const QImage img = Decode(f.Build(), &format);
                ExpectPixels(img, w, h, expected);
                const TPixelFormat formats[] = {TPixelFormat::pf1bit,  TPixelFormat::pf4bit,
                                                TPixelFormat::pf4bit,  TPixelFormat::pf8bit,
                                                TPixelFormat::pf15bit, TPixelFormat::pf24bit,
                                                TPixelFormat::pf32bit};
                const int slot = bits == 1    ? 0
                                 : bits == 2  ? 1
                                 : bits == 4  ? 2
                                 : bits == 8  ? 3
                                 : bits == 16 ? 4
                                 : bits == 24 ? 5
                                              : 6;
                EXPECT_EQ(format, formats[slot]);
            }
        }
    }
}

TEST(BmpReader, BitFieldsOfAnyContiguousLayout) {
    const std::vector<std::vector<uint32_t>> layouts16 = {
        {0xF800, 0x07E0, 0x001F}, {0x0F00, 0x00F0, 0x000F, 0xF000}, {0x0038, 0xFFC0, 0x0007}};
    const std::vector<std::vector<uint32_t>> layouts32 = {
        {0x3FF00000, 0x000FFC00, 0x000003FF}, {0xFF000000, 0x00000FF0, 0x00FF0000}, {1, 2, 4}};
    std::mt19937 rng(11);
    for (int bits : {16, 32}) {
        for (const auto& masks : bits == 16 ? layouts16 : layouts32) {
            for (int headerSize : {40, 52, 56, 108, 124}) {
                SCOPED_TRACE(testing::Message() << bits << " bits, header " << headerSize
                                                << ", red mask " << masks[0]);
                BmpFile f;
                f.Width = 5;
                f.Height = 2;
                f.Bits = bits;
                f.Compression = masks.size() == 4 && headerSize == 40 ? 6 : 3;
                f.HeaderSize = uint32_t(headerSize);
                f.Masks = masks;
                std::vector<uint32_t> values(10);
                std::vector<QRgb> expected;
                for (auto& v : values) {
                    v = rng() & (bits == 16 ? 0xFFFF : 0xFFFFFFFF);
                    expected.push_back(FromMasks(v, masks)); // alpha is not shown
                }
                f.Pixels = PackRows(values, 5, 2, bits, false);
                ExpectPixels(Decode(f.Build()), 5, 2, expected);
            }
        }
    }
}

TEST(BmpReader, MasksThatAreEmptyOverlapOrHaveGapsAreRefused) {
    for (const auto& masks : std::vector<std::vector<uint32_t>>{{0xF800, 0x07E0, 0},
                                                                {0xF800, 0x0FE0, 0x1F},
                                                                {0xF000, 0x07E0, 0x0105},
                                                                {0x1F0000, 0x3E0, 0x1F}}) {
        BmpFile f;
        f.Bits = 16;
        f.Compression = 3;
        f.Masks = masks;
        f.Pixels = QByteArray(4, '\0');
        EXPECT_THROW(Decode(f.Build()), EInvalidGraphic) << masks[0] << " " << masks[2];
    }
}

TEST(BmpReader, OsTwoAndVersionFourAndFiveHeadersGiveTheSamePicture) {
    std::mt19937 rng(3);
    std::vector<uint32_t> values(7 * 3);
    for (auto& v : values)
        v = rng() % 200;
    const auto palette = RandomPalette(rng, 200);
    std::vector<QRgb> expected;
    for (uint32_t v : values)
        expected.push_back(FromPalette(palette[v]));
    for (uint32_t headerSize : {12u, 16u, 40u, 64u, 108u, 124u}) {
        SCOPED_TRACE(headerSize);
        BmpFile f;
        f.Width = 7;
        f.Height = 3;
        f.HeaderSize = headerSize;
        f.Palette = palette; // shorter than 256 entries
        f.Pixels = PackRows(values, 7, 3, 8, false);
        ExpectPixels(Decode(f.Build()), 7, 3, expected);
    }
}

// RLE streams built together with a model of the picture they describe. Rows count from the
// bottom as in the file; cells never written keep palette entry 0.
struct RleWriter {
    int W, H;
    bool Four;
    QByteArray Out;
    std::vector<int> Cells; // index per cell, -1 = never written
    int X = 0, Y = 0;

    RleWriter(int w, int h, bool four) : W(w), H(h), Four(four), Cells(size_t(w) * h, -1) {}
    void Set(int index) { Cells[size_t(Y) * W + X++] = index; }
    void Run(int n, uint8_t value) {
        Out.append(char(n)).append(char(value));
        for (int i = 0; i < n; ++i)
            Set(Four ? (i & 1 ? value & 15 : value >> 4) : value);
    }
    void Literal(const std::vector<uint8_t>& indices) { // at least 3
        Out.append('\0').append(char(indices.size()));
        QByteArray data;
        for (size_t i = 0; i < indices.size(); ++i) {
            if (!Four)
                data.append(char(indices[i]));
            else if (i % 2 == 0)
                data.append(char(indices[i] << 4));
            else
                data[data.size() - 1] = char(data[data.size() - 1] | indices[i]);
            Set(indices[i]);
        }
        if (data.size() % 2)
            data.append('\0');
        Out += data;
    }
    void Delta(int dx, int dy) {
        Out.append('\0').append('\2').append(char(dx)).append(char(dy));
        X += dx;
        Y += dy;
    }
    void EndOfLine() {
        Out.append('\0').append('\0');
        X = 0;
        ++Y;
    }
    void EndOfBitmap() { Out.append('\0').append('\1'); }

    std::vector<QRgb> Expected(const std::vector<uint32_t>& palette) const {
        std::vector<QRgb> e(Cells.size());
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const int c = Cells[size_t(y) * W + x];
                e[size_t(H - 1 - y) * W + x] = FromPalette(palette[size_t(c < 0 ? 0 : c)]);
            }
        return e;
    }
};

// Random rows of runs, literals and moves, sometimes ending the picture early.
RleWriter RandomRle(std::mt19937& rng, int w, int h, bool four) {
    RleWriter rle(w, h, four);
    const int colours = four ? 16 : 64;
    while (rle.Y < h) {
        while (rle.X < w) {
            const int left = w - rle.X;
            const int kind = int(rng() % 4);
            if (kind == 0 || left < 3) {
                rle.Run(1 + int(rng() % left), uint8_t(four ? rng() & 0xFF : rng() % colours));
            } else if (kind == 1) {
                std::vector<uint8_t> v(3 + rng() % (left - 2));
                for (auto& i : v)
                    i = uint8_t(rng() % colours);
                rle.Literal(v);
            } else if (kind == 2) {
                rle.Delta(int(rng() % (left + 1)), rle.Y + 1 < h ? int(rng() % 2) : 0);
            } else {
                break; // end of line with the rest undefined
            }
        }
        if (rle.Y == h - 1 || rng() % 10 == 0)
            break;
        rle.EndOfLine();
    }
    rle.EndOfBitmap();
    return rle;
}

TEST(BmpReader, RleStreamsWithEveryEscapeMatchTheirModel) {
    std::mt19937 rng(5);
    for (bool four : {false, true}) {
        for (int round = 0; round < 60; ++round) {
            const int w = 1 + int(rng() % 23), h = 1 + int(rng() % 6);
            SCOPED_TRACE(testing::Message() << (four ? "RLE4" : "RLE8") << " round " << round);
            RleWriter rle = RandomRle(rng, w, h, four);
            BmpFile f;
            f.Width = w;
            f.Height = h;
            f.Bits = four ? 4 : 8;
            f.Compression = four ? 2 : 1;
            f.Palette = RandomPalette(rng, four ? 16 : 64);
            f.Pixels = rle.Out;
            ExpectPixels(Decode(f.Build()), w, h, rle.Expected(f.Palette));
        }
    }
}

TEST(BmpReader, RleThatLeavesThePictureOrEndsEarlyIsRefused) {
    auto file = [](const QByteArray& stream, int h = 2) {
        BmpFile f;
        f.Width = 4;
        f.Height = h;
        f.Compression = 1;
        f.Palette = {0x000000, 0xFFFFFF};
        f.Pixels = stream;
        return f.Build();
    };
    const QByteArray pastRowEnd("\x05\x01\x00\x01", 4);
    const QByteArray deltaOutside("\x00\x02\x05\x00\x00\x01", 6);
    const QByteArray pastLastRow("\x04\x01\x00\x00\x04\x01\x00\x00\x01\x01\x00\x01", 12);
    const QByteArray literalTruncated("\x00\x04\x01\x01", 4);
    const QByteArray noEndMark("\x04\x01\x00\x00", 4); // one of two rows, then nothing
    const QByteArray topDown("\x04\x01\x00\x01", 4);
    for (const QByteArray& bad :
         {pastRowEnd, deltaOutside, pastLastRow, literalTruncated, noEndMark}) {
        EXPECT_THROW(Decode(file(bad)), EInvalidGraphic) << bad.toHex().constData();
    }
    EXPECT_THROW(Decode(file(topDown, -2)), EInvalidGraphic);
    // Every row written and only the end mark missing: nothing is undefined.
    EXPECT_NO_THROW(Decode(file(QByteArray("\x04\x01\x00\x00\x04\x00", 6))));
}

TEST(BmpReader, TruncatedFilesFailAndNameTheFile) {
    BmpFile f;
    f.Width = 5;
    f.Height = 4;
    f.Palette = {0x102030, 0x405060};
    f.Pixels = PackRows(std::vector<uint32_t>(20, 1), 5, 4, 8, false);
    const QByteArray full = f.Build();
    for (int cut = 0; cut < full.size(); ++cut) {
        try {
            Decode(full.left(cut));
            ADD_FAILURE() << "loaded with " << cut << " of " << full.size() << " bytes";
        } catch (const EInvalidGraphic& e) {
            EXPECT_TRUE(e.Message().contains(QLatin1String("/pictures/test.bmp"))) << e.what();
        }
    }
    // A header claiming no particular file size: the pixel data itself must be there, except
    // for the padding of the last row.
    QByteArray unsized = full;
    unsized[2] = unsized[3] = unsized[4] = unsized[5] = '\0';
    EXPECT_NO_THROW(Decode(unsized.left(full.size() - 3)));
    EXPECT_THROW(Decode(unsized.left(full.size() - 4)), EInvalidGraphic);
}

TEST(BmpReader, OversizedHeadersAreRefusedBeforeAllocating) {
    struct Case {
        int32_t W, H;
    };
    for (const Case c : {Case{70000, 1}, Case{1, -70000}, Case{20000, 20000},
                         Case{0x7FFFFFFF, 0x7FFFFFFF}, Case{0x7FFFFFFF, int32_t(0x80000000)}}) {
        BmpFile f;
        f.Width = c.W;
        f.Height = c.H;
        f.Bits = 24;
        f.Pixels = QByteArray(16, '\0');
        try {
            Decode(f.Build());
            ADD_FAILURE() << c.W << " x " << c.H << " loaded";
        } catch (const EOutOfResources& e) {
            EXPECT_TRUE(e.Message().contains(QLatin1String("/pictures/test.bmp"))) << e.what();
        }
    }
    BmpFile small;
    small.Width = 11;
    small.Height = 10;
    small.Bits = 24;
    small.Pixels = QByteArray(12 * 10 * 3, '\0');
    EXPECT_THROW(Decode(small.Build(), nullptr, 109), EOutOfResources);
    EXPECT_NO_THROW(Decode(small.Build(), nullptr, 110));
}

TEST(BmpReader, DamagedHeadersAndPixelsAreRefused) {
    auto base = [] {
        BmpFile f;
        f.Width = 3;
        f.Height = 2;
        f.Palette = {0, 0xFFFFFF, 0xFF};
        f.Pixels = PackRows({0, 1, 2, 2, 1, 0}, 3, 2, 8, false);
        return f;
    };
    ASSERT_NO_THROW(Decode(base().Build()));
    BmpFile badIndex = base();
    badIndex.Pixels = PackRows({0, 1, 3, 2, 1, 0}, 3, 2, 8, false);
    EXPECT_THROW(Decode(badIndex.Build()), EInvalidGraphic);
    BmpFile zeroHeight = base();
    zeroHeight.Height = 0;
    EXPECT_THROW(Decode(zeroHeight.Build()), EInvalidGraphic);
    BmpFile badDepth = base();
    badDepth.Bits = 7;
    EXPECT_THROW(Decode(badDepth.Build()), EInvalidGraphic);
    BmpFile rleOnWrongDepth = base();
    rleOnWrongDepth.Compression = 2;
    EXPECT_THROW(Decode(rleOnWrongDepth.Build()), EInvalidGraphic);
    EXPECT_THROW(Decode(QByteArray("PK\3\4 not a bitmap at all")), EInvalidGraphic);
    EXPECT_THROW(Decode(QByteArray()), EInvalidGraphic);
}

TEST(BmpReader, BitmapsLoadThroughPicturesByExtension) {
    QTemporaryDir dir;
    BmpFile f;
    f.Width = 2;
    f.Height = 1;
    f.Bits = 4;
    f.Palette = {0x0000FF, 0x00FF00};
    f.Pixels = PackRows({0, 1}, 2, 1, 4, false);
    const QString path = dir.filePath(QStringLiteral("four.BMP"));
    QFile out(path);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(f.Build());
    out.close();
    TPicture picture;
    picture.LoadFromFile(path);
    auto* bmp = dynamic_cast<TBitmap*>(picture.Graphic());
    ASSERT_NE(bmp, nullptr);
    EXPECT_EQ(bmp->PixelFormat(), TPixelFormat::pf4bit);
    EXPECT_EQ(bmp->Canvas()->Pixels(0, 0), TColor(0xFF0000)); // blue in 0x00BBGGRR
    EXPECT_EQ(bmp->Canvas()->Pixels(1, 0), TColor(0x00FF00));
}

} // namespace
