// Icons: the shared icon files, and icons written here with every bitmap depth, masks, alpha and
// PNG images, checked against the pixels they were made from.
#include "toolkit/codecs/Icon.h"
#include "support/TestSupport.h"
#include "toolkit/Graphics.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using testsupport::Put16;
using testsupport::Put32;

// One icon image: its pixels as they should come out (ARGB), and how it is stored.
struct IconImage {
    int W = 0, H = 0, Bits = 32;
    bool Png = false;
    std::vector<QRgb> Pixels; // top-down
    QByteArray Payload;
};

// A bitmap icon image with a random picture: paletted depths use a random palette, 24-bit is
// opaque, 32-bit carries alpha (or none, when the mask must decide); mask bits make pixels
// transparent where the alpha channel does not rule.
IconImage MakeDib(std::mt19937& rng, int w, int h, int bits, bool alpha = true) {
    IconImage img;
    img.W = w;
    img.H = h;
    img.Bits = bits;
    std::vector<QRgb> palette(bits <= 8 ? size_t(1) << bits : 0);
    for (auto& c : palette)
        c = qRgb(int(rng() & 0xFF), int(rng() & 0xFF), int(rng() & 0xFF));
    QByteArray& p = img.Payload;
    Put32(p, 40);
    Put32(p, uint32_t(w));
    Put32(p, uint32_t(2 * h));
    Put16(p, 1);
    Put16(p, uint16_t(bits));
    for (int i = 0; i < 6; ++i)
        Put32(p, 0);
    for (QRgb c : palette) {
        p.append(char(qBlue(c))).append(char(qGreen(c))).append(char(qRed(c))).append('\0');
    }
    const int xorStride = (w * bits + 31) / 32 * 4, andStride = (w + 31) / 32 * 4;
    QByteArray xorRows(xorStride * h, '\0'), andRows(andStride * h, '\0');
    img.Pixels.resize(size_t(w) * h);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<uint8_t*>(xorRows.data()) + size_t(h - 1 - y) * xorStride;
        auto* mrow = reinterpret_cast<uint8_t*>(andRows.data()) + size_t(h - 1 - y) * andStride;
        for (int x = 0; x < w; ++x) {
            const bool masked = rng() % 4 == 0;
            if (masked)
                mrow[x / 8] |= uint8_t(0x80 >> (x % 8));
            QRgb out = 0;
            if (bits <= 8) {
                const uint32_t index = rng() % palette.size();
                row[x * bits / 8] |= uint8_t(index << (8 - bits - (x * bits) % 8));
                out = palette[index];
            } else {
                const uint8_t b = uint8_t(rng()), g = uint8_t(rng()), r = uint8_t(rng());
                const uint8_t a = bits == 32 && alpha ? uint8_t(1 + rng() % 255) : 0;
                uint8_t* q = row + x * bits / 8;
                q[0] = b;
                q[1] = g;
                q[2] = r;
                if (bits == 32)
                    q[3] = a;
                out = qRgba(r, g, b, bits == 32 && alpha ? a : 255);
            }
            const bool alphaRules = bits == 32 && alpha;
            img.Pixels[size_t(y) * w + x] = !alphaRules && masked ? qRgba(0, 0, 0, 0) : out;
        }
    }
    p += xorRows + andRows;
    return img;
}

IconImage MakePng(int w, int h) {
    IconImage img;
    img.W = w;
    img.H = h;
    img.Png = true;
    QImage q(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            q.setPixel(x, y, qRgba(x * 3 % 256, y * 5 % 256, 77, (x + y) % 2 ? 255 : 0));
    img.Pixels.resize(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.Pixels[size_t(y) * w + x] = q.pixel(x, y);
    QBuffer buffer(&img.Payload);
    buffer.open(QIODevice::WriteOnly);
    q.save(&buffer, "PNG");
    img.Bits = 32;
    return img;
}

QByteArray MakeIcon(const std::vector<IconImage>& images) {
    QByteArray out;
    Put16(out, 0);
    Put16(out, 1);
    Put16(out, uint16_t(images.size()));
    uint32_t offset = 6 + 16 * uint32_t(images.size());
    for (const IconImage& img : images) {
        out.append(char(img.W % 256)).append(char(img.H % 256)).append('\0').append('\0');
        Put16(out, 1);
        Put16(out, uint16_t(img.Bits));
        Put32(out, uint32_t(img.Payload.size()));
        Put32(out, offset);
        offset += uint32_t(img.Payload.size());
    }
    for (const IconImage& img : images)
        out += img.Payload;
    return out;
}

void ExpectPixels(const TIcon& icon, const IconImage& img) {
    ASSERT_EQ(icon.Width(), img.W);
    ASSERT_EQ(icon.Height(), img.H);
    ASSERT_EQ(icon.Image().format(), QImage::Format_ARGB32);
    for (int y = 0; y < img.H; ++y)
        for (int x = 0; x < img.W; ++x) {
            const QRgb want = img.Pixels[size_t(y) * img.W + x];
            const QRgb got = icon.Image().pixel(x, y);
            if (qAlpha(want) == 0)
                ASSERT_EQ(qAlpha(got), 0) << "at " << x << "," << y;
            else
                ASSERT_EQ(got, want) << "at " << x << "," << y;
        }
}

TEST(Icon, EveryBitmapDepthWithItsMaskOrAlpha) {
    std::mt19937 rng(9);
    for (int bits : {1, 4, 8, 24, 32}) {
        for (int w : {1, 7, 16, 33}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, width " << w);
            const IconImage img = MakeDib(rng, w, 5, bits);
            TIcon icon;
            icon.LoadFromBytes(MakeIcon({img}), QStringLiteral("a.ico"));
            ExpectPixels(icon, img);
            EXPECT_EQ(icon.BitCount(), bits);
            EXPECT_TRUE(icon.Transparent());
        }
    }
    // 32 bits with an alpha channel of zeros: the mask decides.
    const IconImage noAlpha = MakeDib(rng, 9, 4, 32, false);
    TIcon icon;
    icon.LoadFromBytes(MakeIcon({noAlpha}), QStringLiteral("b.ico"));
    ExpectPixels(icon, noAlpha);
}

TEST(Icon, TheLargestImageWinsAndTiesGoToTheDeepest) {
    std::mt19937 rng(4);
    const IconImage small = MakeDib(rng, 16, 16, 32), big4 = MakeDib(rng, 32, 32, 4),
                    big8 = MakeDib(rng, 32, 32, 8), png = MakePng(24, 24);
    TIcon icon;
    icon.LoadFromBytes(MakeIcon({small, big4, big8, png}), QStringLiteral("c.ico"));
    ExpectPixels(icon, big8);
    icon.LoadFromBytes(MakeIcon({big8, small, png}), QStringLiteral("c.ico"));
    ExpectPixels(icon, big8);
    icon.LoadFromBytes(MakeIcon({small, png}), QStringLiteral("d.ico"));
    ExpectPixels(icon, png);
    // A directory that lies about sizes (0 means 256) does not matter: the image headers rule.
    const IconImage huge = MakePng(300, 2);
    icon.LoadFromBytes(MakeIcon({small, huge}), QStringLiteral("e.ico"));
    EXPECT_EQ(icon.Width(), 300);
}

TEST(Icon, TransparentPartsLeaveWhatIsUnderneath) {
    std::mt19937 rng(2);
    const IconImage img = MakeDib(rng, 8, 8, 4);
    TIcon icon;
    icon.LoadFromBytes(MakeIcon({img}), QStringLiteral("f.ico"));
    TBitmap target(10, 10);
    target.Canvas()->Brush().Color = clRed;
    target.Canvas()->FillRect(Rect(0, 0, 10, 10));
    target.Canvas()->Draw(1, 1, &icon);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const QRgb want = img.Pixels[size_t(y) * 8 + x];
            const TColor expected =
                qAlpha(want) ? TColor(qRed(want) | qGreen(want) << 8 | qBlue(want) << 16) : clRed;
            ASSERT_EQ(target.Canvas()->Pixels(x + 1, y + 1), expected) << x << "," << y;
        }
    EXPECT_EQ(target.Canvas()->Pixels(0, 0), clRed);
}

TEST(Icon, DamagedFilesAreRefusedWithTheFileName) {
    std::mt19937 rng(1);
    const QByteArray good = MakeIcon({MakeDib(rng, 4, 4, 8), MakePng(6, 6)});
    auto expectInvalid = [](const QByteArray& data, const char* what) {
        TIcon icon;
        try {
            icon.LoadFromBytes(data, QStringLiteral("/icons/bad.ico"));
            ADD_FAILURE() << what << ": loaded";
        } catch (const EInvalidGraphic& e) {
            EXPECT_TRUE(e.Message().contains(QLatin1String("/icons/bad.ico"))) << e.what();
        }
    };
    for (int cut = 0; cut < good.size(); ++cut)
        expectInvalid(good.left(cut), "truncated");
    QByteArray noImages = good.left(6);
    noImages[4] = 0;
    expectInvalid(noImages, "no images");
    QByteArray cursor = good;
    cursor[2] = 2;
    expectInvalid(cursor, "cursor");
    QByteArray badPng = good;
    badPng[badPng.size() - 20] = char(badPng[badPng.size() - 20] ^ 0x55); // checksum fails
    badPng[badPng.size() - 30] = char(badPng[badPng.size() - 30] ^ 0x55);
    expectInvalid(badPng, "damaged PNG");
    QByteArray compressed = MakeIcon({MakeDib(rng, 4, 4, 8)});
    compressed[6 + 16 + 16] = 1; // BI_RLE8
    expectInvalid(compressed, "compressed");
    // A 4-bit image whose palette says 2 colours but pixels use more.
    IconImage shortPalette = MakeDib(rng, 4, 4, 4);
    shortPalette.Payload[32] = 2;
    expectInvalid(MakeIcon({shortPalette}), "colour outside palette");
}

TEST(Icon, OversizedImagesAreRefusedBeforeDecoding) {
    TIcon icon;
    icon.SetMaxPixels(35);
    EXPECT_THROW(icon.LoadFromBytes(MakeIcon({MakePng(6, 6)}), QStringLiteral("g.ico")),
                 EOutOfResources);
    EXPECT_TRUE(icon.Empty());
    icon.SetMaxPixels(36);
    EXPECT_NO_THROW(icon.LoadFromBytes(MakeIcon({MakePng(6, 6)}), QStringLiteral("g.ico")));
    // PNG headers claiming 4 x 4 billion pixels: compared and refused without overflow.
    IconImage huge = MakePng(2, 2), huger = MakePng(2, 2);
    for (IconImage* img : {&huge, &huger})
        for (int i = 16; i < 24; ++i)
            img->Payload[i] = char(0xF0 + (img == &huger));
    EXPECT_THROW(icon.LoadFromBytes(MakeIcon({huge, huger}), QStringLiteral("h.ico")),
                 EOutOfResources);
}

TEST(Icon, SharedIconFiles) {
    REQUIRE_TESTDATA();
    struct Case {
        const char* Name;
        int Size, Bits;
        bool Transparent; // classic16 and multi have empty masks and opaque alpha
    };
    for (const Case c :
         {Case{"classic16.ico", 32, 4, false}, Case{"multi.ico", 256, 32, false},
          Case{"png256.ico", 256, 32, true}, Case{"transparent.ico", 48, 32, true}}) {
        SCOPED_TRACE(c.Name);
        TPicture picture;
        picture.LoadFromFile(testsupport::testData(QStringLiteral("ico/") + c.Name));
        auto* icon = dynamic_cast<TIcon*>(picture.Graphic());
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(icon->Width(), c.Size);
        EXPECT_EQ(icon->Height(), c.Size);
        EXPECT_EQ(icon->BitCount(), c.Bits);
        bool anyTransparent = false;
        for (int y = 0; y < icon->Height(); ++y)
            for (int x = 0; x < icon->Width(); ++x)
                anyTransparent = anyTransparent || qAlpha(icon->Image().pixel(x, y)) < 255;
        EXPECT_EQ(anyTransparent, c.Transparent);
    }
    const QString truncated = testsupport::testData(QStringLiteral("ico/truncated.ico"));
    try {
        TPicture picture;
        picture.LoadFromFile(truncated);
        ADD_FAILURE() << "truncated icon loaded";
    } catch (const EInvalidGraphic& e) {
        EXPECT_TRUE(e.Message().contains(truncated)) << e.what();
    }
}

} // namespace
