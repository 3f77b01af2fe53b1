// Colour management: which profiles count as sRGB, conversions against a plain double-precision
// reference, grey and CMYK profiles, damaged profiles, and one transform used by several threads.
#include "toolkit/codecs/ColorProfile.h"
#include "IccTestProfiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace icctest;

// Every colour of a grid with the given number of levels per channel, as blue, green, red.
std::vector<uint8_t> GridBgr(int levels) {
    std::vector<uint8_t> bgr;
    for (int r = 0; r < levels; ++r)
        for (int g = 0; g < levels; ++g)
            for (int b = 0; b < levels; ++b)
                for (int v : {b, g, r})
                    bgr.push_back(uint8_t(v * 255 / (levels - 1)));
    return bgr;
}

TEST(ColorProfile, SrgbIsRecognisedByWhatTheProfileDoes) {
    struct Case {
        const char* Name;
        QByteArray Profile;
        bool Srgb;
    };
    const Case cases[] = {
        {"Little CMS's sRGB, version 4 (parametric curves)", SrgbProfile(4.3), true},
        {"Little CMS's sRGB, version 2 (curves as tables)", SrgbProfile(2.1), true},
        {"a camera's sRGB (rounded colorants, 1024-entry curves)", TabulatedSrgbProfile(), true},
        {"sRGB with every colorant component 0.0005 off", TabulatedSrgbProfile(0.0005), true},
        {"sRGB with every colorant component 0.002 off", TabulatedSrgbProfile(0.002), false},
        {"sRGB's primaries with gamma 2.2", RgbProfile(kSrgbPrimaries, 2.2), false},
        {"sRGB's matrix and curves and an A2B0 table", SrgbWithTableProfile(), false},
        {"Adobe RGB (1998)-like", RgbProfile(kAdobePrimaries, 2.2), false},
        {"Display P3-like with gamma 2.2", RgbProfile(kP3Primaries, 2.2), false},
        {"ProPhoto-like", RgbProfile(kProPhotoPrimaries, 1.8), false},
        {"grey with sRGB's curve", SrgbGreyProfile(), true},
        {"grey with gamma 2.2", GreyProfile(2.2), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(DescribesSrgb(c.Profile), c.Srgb);
        for (TRowLayout layout : {TRowLayout::Bgr24, TRowLayout::Bgra32})
            EXPECT_EQ(TColorTransform::ToSrgb(c.Profile, layout) == nullptr, c.Srgb);
    }
    EXPECT_EQ(TColorTransform::ToSrgb(QByteArray(), TRowLayout::Bgr24), nullptr);
}

TEST(ColorProfile, RgbConversionMatchesThePlainReferenceWithinOneLevel) {
    struct Case {
        const char* Name;
        QByteArray Profile;
    };
    const Case cases[] = {
        {"Adobe RGB (1998)-like, version 2", RgbProfile(kAdobePrimaries, 2.2)},
        {"Adobe RGB (1998)-like, version 4", RgbProfile(kAdobePrimaries, 2.2, 4.3)},
        {"ProPhoto-like (D50 white, gamma 1.8)", RgbProfile(kProPhotoPrimaries, 1.8)},
        {"Display P3-like with gamma 2.2", RgbProfile(kP3Primaries, 2.2)},
        {"sRGB's primaries with gamma 2.2", RgbProfile(kSrgbPrimaries, 2.2)},
    };
    const std::vector<uint8_t> source = GridBgr(18); // steps of 15 levels
    const int count = int(source.size() / 3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto bgr = TColorTransform::ToSrgb(c.Profile, TRowLayout::Bgr24);
        const auto bgra = TColorTransform::ToSrgb(c.Profile, TRowLayout::Bgra32);
        ASSERT_NE(bgr, nullptr);
        ASSERT_NE(bgra, nullptr);
        std::vector<uint8_t> row3 = source, row4;
        for (int i = 0; i < count; ++i) {
            row4.insert(row4.end(), source.begin() + 3 * i, source.begin() + 3 * i + 3);
            row4.push_back(uint8_t(i * 37)); // straight alpha, kept as it is
        }
        bgr->Apply(row3.data(), count);
        bgra->Apply(row4.data(), count);
        const TRgbReference reference(c.Profile);
        double worst = 0;
        for (int i = 0; i < count; ++i) {
            const uint8_t* s = &source[size_t(3 * i)];
            const std::array<double, 3> want = reference.ToSrgb({s[2], s[1], s[0]});
            for (int ch = 0; ch < 3; ++ch) {
                const double got = row3[size_t(3 * i + 2 - ch)];
                worst = std::max(worst, std::abs(got - want[size_t(ch)]));
                ASSERT_LE(std::abs(got - want[size_t(ch)]), 1.0)
                    << "colour " << int(s[2]) << "," << int(s[1]) << "," << int(s[0]) << " channel "
                    << ch;
                ASSERT_EQ(row4[size_t(4 * i + 2 - ch)], got) << "colour " << i;
            }
            ASSERT_EQ(row4[size_t(4 * i + 3)], uint8_t(i * 37));
        }
        RecordProperty(std::string("worst difference, ") + c.Name, std::to_string(worst));
    }
    // A profile read through its table (which swaps red and blue), not its matrix and curves.
    const auto table = TColorTransform::ToSrgb(SrgbWithTableProfile(), TRowLayout::Bgra32);
    ASSERT_NE(table, nullptr);
    for (int i = 0; i < count; ++i) {
        uint8_t pixel[4] = {source[size_t(3 * i)], source[size_t(3 * i + 1)],
                            source[size_t(3 * i + 2)], 99};
        table->Apply(pixel, 1);
        for (int ch = 0; ch < 3; ++ch)
            ASSERT_LE(std::abs(pixel[ch] - source[size_t(3 * i + 2 - ch)]), 1) << "colour " << i;
        ASSERT_EQ(pixel[3], 99);
    }
}

TEST(ColorProfile, GreyProfilesGiveOneCurveForEveryChannel) {
    const QByteArray grey = GreyProfile(2.2);
    for (TRowLayout layout : {TRowLayout::Bgr24, TRowLayout::Bgra32}) {
        const auto transform = TColorTransform::ToSrgb(grey, layout);
        ASSERT_NE(transform, nullptr);
        const int bpp = BytesPerPixel(layout);
        std::vector<uint8_t> row;
        for (int v = 0; v < 256; ++v)
            for (int c = 0; c < bpp; ++c)
                row.push_back(uint8_t(c == 3 ? 255 - v : v));
        transform->Apply(row.data(), 256);
        for (int v = 0; v < 256; ++v) {
            const uint8_t* p = &row[size_t(v * bpp)];
            EXPECT_LE(std::abs(p[0] - GreyToSrgb(grey, uint8_t(v))), 1.0) << v;
            EXPECT_EQ(p[1], p[0]);
            EXPECT_EQ(p[2], p[0]);
            if (bpp == 4) {
                EXPECT_EQ(p[3], 255 - v);
            }
        }
        // A colour picture tagged grey keeps its colours: each channel follows the grey curve.
        uint8_t colour[4] = {10, 100, 200, 7};
        transform->Apply(colour, 1);
        EXPECT_EQ(colour[0], row[size_t(10 * bpp)]);
        EXPECT_EQ(colour[1], row[size_t(100 * bpp)]);
        EXPECT_EQ(colour[2], row[size_t(200 * bpp)]);
    }
}

TEST(ColorProfile, CmykGoesThroughItsProfile) {
    const QByteArray cmyk = CmykProfile();
    const auto plain = TCmykTransform::ToSrgb(cmyk, false);
    const auto inverted = TCmykTransform::ToSrgb(cmyk, true);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(inverted, nullptr);
    std::vector<uint8_t> ink, stored;
    for (int c = 0; c < 256; c += 51)
        for (int m = 0; m < 256; m += 51)
            for (int y = 0; y < 256; y += 51)
                for (int k = 0; k < 256; k += 51)
                    for (int v : {c, m, y, k}) {
                        ink.push_back(uint8_t(v));
                        stored.push_back(uint8_t(255 - v));
                    }
    const int count = int(ink.size() / 4);
    std::vector<uint8_t> fromInk(size_t(count) * 3), fromStored(size_t(count) * 3);
    plain->Apply(ink.data(), fromInk.data(), count);
    inverted->Apply(stored.data(), fromStored.data(), count);
    EXPECT_EQ(fromInk, fromStored);
    for (int i = 0; i < count; ++i) {
        const uint8_t* k = &ink[size_t(4 * i)];
        const std::array<double, 3> want = CmykToSrgb({k[0], k[1], k[2], k[3]});
        for (int ch = 0; ch < 3; ++ch)
            ASSERT_LE(std::abs(fromInk[size_t(3 * i + 2 - ch)] - want[size_t(ch)]), 1.0)
                << "ink " << int(k[0]) << "," << int(k[1]) << "," << int(k[2]) << "," << int(k[3])
                << " channel " << ch;
    }
    // Each kind of profile only for its own pictures.
    EXPECT_EQ(TColorTransform::ToSrgb(cmyk, TRowLayout::Bgr24), nullptr);
    EXPECT_EQ(TCmykTransform::ToSrgb(RgbProfile(kAdobePrimaries, 2.2), false), nullptr);
    EXPECT_EQ(TCmykTransform::ToSrgb(QByteArray(), false), nullptr);
}

TEST(ColorProfile, ProfilesThatCannotBeParsedOrUsedAreIgnored) {
    const QByteArray adobe = RgbProfile(kAdobePrimaries, 2.2);
    // The tag's offset in the directory (entries of signature, offset, size after a count).
    auto pointFar = [&adobe](const char* signature) {
        QByteArray bytes = adobe;
        const int count = uchar(bytes[131]);
        for (int i = 0; i < count; ++i)
            if (bytes.mid(132 + 12 * i, 4) == signature)
                bytes[132 + 12 * i + 4] = char(0x7F);
        return bytes;
    };
    QByteArray manyTags = adobe;
    manyTags[128] = char(0xFF); // a tag count beyond the data
    QByteArray garbage(600, 'x');
    garbage.replace(36, 4, "acsp");
    const QByteArray damaged[] = {QByteArray("not a profile"),
                                  garbage,
                                  adobe.left(128),
                                  adobe.left(adobe.size() / 2),
                                  pointFar("rXYZ"),
                                  pointFar("gTRC"),
                                  manyTags,
                                  LinkProfile(),
                                  LabProfile()};
    for (const QByteArray& bytes : damaged) {
        EXPECT_FALSE(DescribesSrgb(bytes));
        EXPECT_EQ(TColorTransform::ToSrgb(bytes, TRowLayout::Bgr24), nullptr);
        EXPECT_EQ(TCmykTransform::ToSrgb(bytes, false), nullptr);
    }
    // Every truncation: ignored, or (when only the end's padding is lost) the full conversion.
    uint8_t full[3] = {40, 160, 220};
    TColorTransform::ToSrgb(adobe, TRowLayout::Bgr24)->Apply(full, 1);
    for (qsizetype size = 0; size < adobe.size(); ++size) {
        const auto transform = TColorTransform::ToSrgb(adobe.left(size), TRowLayout::Bgr24);
        if (!transform)
            continue;
        uint8_t pixel[3] = {40, 160, 220};
        transform->Apply(pixel, 1);
        EXPECT_TRUE(std::equal(pixel, pixel + 3, full)) << size << " of " << adobe.size();
    }
}

TEST(ColorProfile, OneTransformServesSeveralThreadsAtOnce) {
    const auto transform =
        TColorTransform::ToSrgb(RgbProfile(kProPhotoPrimaries, 1.8), TRowLayout::Bgr24);
    ASSERT_NE(transform, nullptr);
    const std::vector<uint8_t> source = GridBgr(40);
    const int count = int(source.size() / 3);
    std::vector<uint8_t> expected = source;
    transform->Apply(expected.data(), count);
    std::vector<std::vector<uint8_t>> results(4, source);
    std::vector<std::thread> threads;
    for (auto& row : results)
        threads.emplace_back([&transform, &row, count] {
            for (int round = 0; round < 5; ++round) {
                std::vector<uint8_t> copy = row;
                transform->Apply(copy.data(), count);
                if (round == 4)
                    row = copy;
            }
        });
    for (std::thread& t : threads)
        t.join();
    for (const auto& row : results)
        EXPECT_EQ(row, expected);
}

} // namespace
