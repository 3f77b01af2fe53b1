// The picture every new format's decoder goes through, on a fake codec: every orientation, opaque
// and transparent rows, exact premultiplication, an ICC profile, streaming and reduced decoding.
#include "toolkit/codecs/CodecImage.h"
#include "IccTestProfiles.h"
#include "toolkit/codecs/ColorProfile.h"
#include "toolkit/codecs/Orientation.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

using TPixel = std::array<uint8_t, 4>; // blue, green, red, alpha (straight)

// What the fake file holds: a stored picture of Width x Height pixels given by Pixel, which the
// decoder can reduce by 2 or 4. A ramp has colour x and alpha y.
struct FakePicture {
    int Width = 24, Height = 16;
    bool Alpha = false, Ramp = false;
    int Orientation = 1;
    QByteArray Icc;

    TPixel Pixel(int x, int y) const {
        if (Ramp)
            return {uint8_t(x), uint8_t(255 - x), uint8_t(x ^ 0x55), uint8_t(Alpha ? y : 255)};
        return {uint8_t(x * 7 + y), uint8_t(y * 13 + x * 3), uint8_t((x ^ y) * 9),
                uint8_t(Alpha ? x * 11 + y * 17 : 255)};
    }
};

class FakeDecoder : public TPictureDecoder {
public:
    FakeDecoder(const FakePicture& picture, QSize* askedToReduce)
        : FPicture(picture), FAsked(askedToReduce) {}

    TPictureHeader ReadHeader() override {
        TPictureHeader header;
        header.Width = FPicture.Width;
        header.Height = FPicture.Height;
        header.Alpha = FPicture.Alpha;
        header.Orientation = FPicture.Orientation;
        header.IccProfile = FPicture.Icc;
        return header;
    }
    bool Sequential() const override { return true; }
    QSize ReduceTo(int width, int height) override {
        if (FAsked)
            *FAsked = QSize(width, height);
        FScale = 1;
        while (FScale < 4 && FPicture.Width / (2 * FScale) >= width &&
               FPicture.Height / (2 * FScale) >= height)
            FScale *= 2;
        return QSize(FPicture.Width / FScale, FPicture.Height / FScale);
    }
    void Start(TRowLayout layout) override {
        EXPECT_TRUE(FPicture.Alpha || layout == TRowLayout::Bgr24);
        FBytes = BytesPerPixel(layout);
    }
    void ReadRows(uint8_t* const* rows, int count) override {
        for (int i = 0; i < count; ++i, ++FNext)
            for (int x = 0; x < FPicture.Width / FScale; ++x) {
                const TPixel p = FPicture.Pixel(x * FScale, FNext * FScale);
                std::copy(p.begin(), p.begin() + FBytes, rows[i] + x * FBytes);
            }
        ReportProgress(100 * FNext * FScale / FPicture.Height);
    }

private:
    FakePicture FPicture;
    QSize* FAsked;
    int FScale = 1, FBytes = 3, FNext = 0;
};

struct FakeCodec {
    FakePicture Picture;
    QSize AskedToReduce;
    TCodec Codec{"Fake", [this](const uint8_t*, size_t, const QString&) {
                     return std::make_unique<FakeDecoder>(Picture, &AskedToReduce);
                 }};

    std::unique_ptr<TCodecImage> Load() const {
        auto image = std::make_unique<TCodecImage>(Codec);
        image->LoadFromBytes(QByteArray("fake"), QStringLiteral("fake.pic"));
        return image;
    }
};

// Where upright pixel (x, y) of a picture shown w x h is stored, per EXIF orientation.
QPoint StoredAt(int orientation, int x, int y, int w, int h) {
    switch (orientation) {
    case 2:
        return {w - 1 - x, y};
    case 3:
        return {w - 1 - x, h - 1 - y};
    case 4:
        return {x, h - 1 - y};
    case 5:
        return {y, x};
    case 6:
        return {y, w - 1 - x};
    case 7:
        return {h - 1 - y, w - 1 - x};
    case 8:
        return {h - 1 - y, x};
    default:
        return {x, y};
    }
}

uint8_t Premultiplied(int c, int a) {
    return uint8_t((c * a + 127) / 255);
}

// The pixel as the picture holds it: premultiplied blue, green, red, alpha or blue, green, red.
TPixel Held(const QImage& image, int x, int y) {
    const uint8_t* p = image.constScanLine(y) + x * (image.depth() / 8);
    return image.depth() == 32 ? TPixel{p[0], p[1], p[2], p[3]} : TPixel{p[0], p[1], p[2], 255};
}

// The held pixel expected for a straight stored one (after any colour conversion).
TPixel Expected(TPixel p) {
    for (int c = 0; c < 3; ++c)
        p[size_t(c)] = Premultiplied(p[size_t(c)], p[3]);
    return p;
}

TEST(CodecImage, EveryOrientationIsShownUprightOpaqueAndTransparent) {
    for (bool alpha : {false, true})
        for (int orientation = 0; orientation <= 9; ++orientation) { // 0 and 9 count as 1
            SCOPED_TRACE(testing::Message()
                         << "orientation " << orientation << ", alpha " << alpha);
            FakeCodec fake; // odd sides, over more than one chunk of rows
            fake.Picture.Width = 23;
            fake.Picture.Height = 37;
            fake.Picture.Alpha = alpha;
            fake.Picture.Orientation = orientation;
            const auto image = fake.Load();
            const bool swapped = orientation >= 5 && orientation <= 8;
            const int w = swapped ? 37 : 23, h = swapped ? 23 : 37;
            EXPECT_EQ(image->Width(), w);
            EXPECT_EQ(image->Height(), h);
            EXPECT_EQ(image->Transparent(), alpha);
            image->DIBNeeded();
            const QImage& got = image->Image();
            ASSERT_EQ(got.size(), QSize(w, h));
            EXPECT_EQ(got.format(),
                      alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_BGR888);
            const int o = orientation >= 1 && orientation <= 8 ? orientation : 1;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const QPoint s = StoredAt(o, x, y, w, h);
                    ASSERT_EQ(Held(got, x, y), Expected(fake.Picture.Pixel(s.x(), s.y())))
                        << "at " << x << "," << y;
                }
        }
}

TEST(CodecImage, RowsArePlacedUprightManyAtATime) {
    FakePicture picture;
    picture.Width = 23;
    picture.Height = 37;
    picture.Alpha = true;
    std::vector<std::vector<uint8_t>> stored(37);
    std::vector<const uint8_t*> rows;
    for (int y = 0; y < 37; ++y) {
        for (int x = 0; x < 23; ++x) {
            const TPixel p = picture.Pixel(x, y);
            stored[size_t(y)].insert(stored[size_t(y)].end(), p.begin(), p.end());
        }
        rows.push_back(stored[size_t(y)].data());
    }
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const QSize upright = orientation >= 5 ? QSize(37, 23) : QSize(23, 37);
        QImage image(upright, QImage::Format_ARGB32);
        // Rows 0..2 alone, then the other 34 in one call.
        PlaceStoredRows(rows.data(), 3, 0, QSize(23, 37), orientation, 4, image.bits(),
                        image.bytesPerLine());
        PlaceStoredRows(rows.data() + 3, 34, 3, QSize(23, 37), orientation, 4, image.bits(),
                        image.bytesPerLine());
        for (int y = 0; y < upright.height(); ++y)
            for (int x = 0; x < upright.width(); ++x) {
                const QPoint s = StoredAt(orientation, x, y, upright.width(), upright.height());
                ASSERT_EQ(Held(image, x, y), picture.Pixel(s.x(), s.y()))
                    << "orientation " << orientation << " at " << x << "," << y;
            }
    }
}

TEST(CodecImage, PremultipliesEveryColourAndAlphaExactly) {
    FakeCodec fake;
    fake.Picture.Width = fake.Picture.Height = 256;
    fake.Picture.Alpha = fake.Picture.Ramp = true;
    const auto image = fake.Load();
    image->DIBNeeded();
    // Every colour value with every alpha, against the formula.
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            const TPixel p = fake.Picture.Pixel(x, y);
            const TPixel got = Held(image->Image(), x, y);
            ASSERT_EQ(got[3], p[3]);
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(got[size_t(c)], (p[size_t(c)] * p[3] + 127) / 255) << x << "," << y;
        }
}

TEST(CodecImage, ProfilesConvertStraightColourBeforePremultiplying) {
    const QByteArray adobe = icctest::RgbProfile(icctest::kAdobePrimaries, 2.2);
    for (bool alpha : {false, true})
        for (int orientation : {1, 6}) {
            SCOPED_TRACE(testing::Message()
                         << "orientation " << orientation << ", alpha " << alpha);
            FakeCodec plain, srgb, damaged, wide;
            for (FakeCodec* f : {&plain, &srgb, &damaged, &wide}) {
                f->Picture.Alpha = alpha;
                f->Picture.Orientation = orientation;
            }
            srgb.Picture.Icc = icctest::SrgbProfile(4.3);
            damaged.Picture.Icc = adobe.left(200);
            wide.Picture.Icc = adobe;
            const auto plainImage = plain.Load(), srgbImage = srgb.Load(),
                       damagedImage = damaged.Load(), wideImage = wide.Load();
            for (auto* i : {plainImage.get(), srgbImage.get(), damagedImage.get(), wideImage.get()})
                i->DIBNeeded();
            // sRGB and unusable profiles leave the pixels exactly as without one.
            EXPECT_EQ(srgbImage->Image(), plainImage->Image());
            EXPECT_EQ(damagedImage->Image(), plainImage->Image());

            const auto transform =
                TColorTransform::ToSrgb(adobe, alpha ? TRowLayout::Bgra32 : TRowLayout::Bgr24);
            const QImage& got = wideImage->Image();
            const icctest::TRgbReference reference(adobe);
            int changed = 0;
            for (int y = 0; y < got.height(); ++y)
                for (int x = 0; x < got.width(); ++x) {
                    const QPoint s = StoredAt(orientation, x, y, got.width(), got.height());
                    TPixel stored = wide.Picture.Pixel(s.x(), s.y());
                    const std::array<double, 3> want =
                        reference.ToSrgb({stored[2], stored[1], stored[0]});
                    transform->Apply(stored.data(), 1); // alpha layout: four bytes read
                    for (int c = 0; c < 3; ++c)
                        ASSERT_LE(std::abs(stored[size_t(c)] - want[size_t(2 - c)]), 1.0);
                    ASSERT_EQ(Held(got, x, y), Expected(stored)) << "at " << x << "," << y;
                    changed += Held(got, x, y) != Held(plainImage->Image(), x, y);
                }
            EXPECT_GT(changed, got.width() * got.height() / 2);
        }
}

TEST(CodecImage, OnlyUprightPicturesAreStreamedWithTheDecodedPixels) {
    for (bool alpha : {false, true})
        for (int orientation = 1; orientation <= 8; ++orientation) {
            SCOPED_TRACE(testing::Message()
                         << "orientation " << orientation << ", alpha " << alpha);
            FakeCodec fake;
            fake.Picture.Alpha = alpha;
            fake.Picture.Orientation = orientation;
            fake.Picture.Icc = icctest::RgbProfile(icctest::kProPhotoPrimaries, 1.8);
            const auto image = fake.Load();
            const auto rows = image->OpenRows();
            if (orientation != 1) {
                EXPECT_EQ(rows, nullptr);
                continue;
            }
            ASSERT_NE(rows, nullptr);
            EXPECT_EQ(rows->Alpha(), alpha);
            const auto whole = fake.Load();
            whole->DIBNeeded();
            const size_t rowBytes = size_t(whole->Width()) * (alpha ? 4 : 3);
            for (int y = 0; y < whole->Height(); ++y)
                ASSERT_TRUE(std::equal(rows->Row(y), rows->Row(y) + rowBytes,
                                       whole->Image().constScanLine(y)))
                    << "row " << y;
            EXPECT_FALSE(image->Decoded());
            EXPECT_THROW(rows->Row(0), EInvalidOperation); // asked for out of order
            image->DIBNeeded();
            EXPECT_EQ(image->OpenRows(), nullptr); // decoded: used whole
        }
}

TEST(CodecImage, ReducedDecodingAsksInTheStoredOrientation) {
    for (int orientation : {1, 3, 6, 8}) {
        SCOPED_TRACE(testing::Message() << "orientation " << orientation);
        FakeCodec fake;
        fake.Picture.Alpha = true;
        fake.Picture.Orientation = orientation;
        const auto image = fake.Load();
        const bool swapped = orientation >= 5;
        // At least 12 x 5 upright: the stored picture halves (12 x 8 stored, or 8 x 12).
        const QImage reduced = image->DecodeReduced(swapped ? QSize(5, 12) : QSize(12, 5));
        EXPECT_EQ(fake.AskedToReduce, QSize(12, 5));
        ASSERT_EQ(reduced.size(), swapped ? QSize(8, 12) : QSize(12, 8));
        for (int y = 0; y < reduced.height(); ++y)
            for (int x = 0; x < reduced.width(); ++x) {
                const QPoint s = StoredAt(orientation, x, y, reduced.width(), reduced.height());
                ASSERT_EQ(Held(reduced, x, y), Expected(fake.Picture.Pixel(2 * s.x(), 2 * s.y())));
            }
        EXPECT_FALSE(image->Decoded());
        // Asking for more than the picture has gives the whole picture.
        EXPECT_EQ(image->DecodeReduced(QSize(100, 100)).size(),
                  QSize(image->Width(), image->Height()));
    }
}

} // namespace
