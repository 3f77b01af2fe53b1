#include "toolkit/codecs/ColorProfile.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace {

constexpr cmsUInt32Number kIntent = INTENT_PERCEPTUAL;
// Largest difference of a tone curve from sRGB's, measured as skcms does: a value through the
// curve and back through sRGB's inverse, in the encoded range 0..1: half an 8-bit level.
constexpr double kCurveTolerance = 1.0 / 512.0;

double SrgbEncode(double linear) {
    linear = std::clamp(linear, 0.0, 1.0);
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
}

// A Little CMS context of its own for each profile and transform: its messages go nowhere, and
// nothing is shared between threads but the finished transform, which only reads its tables.
class TContext {
public:
    TContext() : FHandle(cmsCreateContext(nullptr, nullptr)) {
        if (FHandle)
            cmsSetLogErrorHandlerTHR(FHandle, [](cmsContext, cmsUInt32Number, const char*) {});
    }
    ~TContext() {
        if (FHandle)
            cmsDeleteContext(FHandle);
    }
    TContext(const TContext&) = delete;
    TContext& operator=(const TContext&) = delete;
    cmsContext Handle() const { return FHandle; }

private:
    cmsContext FHandle;
};

struct TProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using TProfile = std::unique_ptr<void, TProfileCloser>;

TProfile OpenProfile(const TContext& context, const QByteArray& bytes) {
    if (!context.Handle() || bytes.isEmpty())
        return nullptr;
    return TProfile(cmsOpenProfileFromMemTHR(context.Handle(), bytes.constData(),
                                             cmsUInt32Number(bytes.size())));
}

// A profile with the context it was read in; Profile is null when it cannot be parsed or does
// not describe a device's colours (links, abstract and named-colour profiles).
struct TOpenProfile {
    std::unique_ptr<TContext> Context = std::make_unique<TContext>();
    TProfile Profile;

    explicit TOpenProfile(const QByteArray& bytes) : Profile(OpenProfile(*Context, bytes)) {
        if (Profile && !DeviceClass(Profile.get()))
            Profile.reset();
    }
    cmsColorSpaceSignature Space() const {
        return Profile ? cmsGetColorSpace(Profile.get()) : cmsColorSpaceSignature(0);
    }

private:
    static bool DeviceClass(cmsHPROFILE profile) {
        switch (cmsGetDeviceClass(profile)) {
        case cmsSigInputClass:
        case cmsSigDisplayClass:
        case cmsSigOutputClass:
        case cmsSigColorSpaceClass:
            return true;
        default:
            return false;
        }
    }
};

// A finished Little CMS transform with the context it was made in.
class TLcmsTransform {
public:
    TLcmsTransform(std::unique_ptr<TContext> context, cmsHTRANSFORM transform)
        : FContext(std::move(context)), FTransform(transform) {}
    ~TLcmsTransform() { cmsDeleteTransform(FTransform); }
    TLcmsTransform(const TLcmsTransform&) = delete;
    TLcmsTransform& operator=(const TLcmsTransform&) = delete;

    // Little CMS keeps no state of a call in the transform (its one-pixel cache is copied per
    // call), so calls from several threads may run at once.
    void Run(const void* from, void* to, int count) const {
        if (count > 0)
            cmsDoTransform(FTransform, from, to, cmsUInt32Number(count));
    }

    enum class TTarget { Srgb, Lab };

    // The transform from the profile's pixels of inputFormat to sRGB or Lab (D50) pixels of
    // outputFormat, or nullptr when Little CMS cannot make it.
    static std::unique_ptr<TLcmsTransform> Make(TOpenProfile source, cmsUInt32Number inputFormat,
                                                TTarget target, cmsUInt32Number outputFormat,
                                                cmsUInt32Number flags = 0) {
        const cmsContext context = source.Context->Handle();
        const TProfile to(target == TTarget::Srgb ? cmsCreate_sRGBProfileTHR(context)
                                                  : cmsCreateLab4ProfileTHR(context, nullptr));
        if (!source.Profile || !to)
            return nullptr;
        cmsHTRANSFORM transform = cmsCreateTransformTHR(context, source.Profile.get(), inputFormat,
                                                        to.get(), outputFormat, kIntent, flags);
        if (!transform)
            return nullptr;
        return std::make_unique<TLcmsTransform>(std::move(source.Context), transform);
    }

private:
    std::unique_ptr<TContext> FContext;
    cmsHTRANSFORM FTransform;
};

// Lab (as Little CMS's 16-bit Lab encodes it) to sRGB, computed here: the D50 XYZ of CIE Lab,
// sRGB's colorant matrix inverted, sRGB's curve from a table fine enough for half a level. Little
// CMS's own 8-bit transforms from a profile's table precalculate the whole way to sRGB on a grid,
// which is off by many levels near black and at the edge of sRGB's gamut; its transforms to Lab
// only resample the profile's own table.
class TLabToSrgb {
public:
    static const TLabToSrgb& Instance() {
        static const TLabToSrgb instance;
        return instance;
    }

    void Convert(const uint16_t* lab, uint8_t* bgr) const {
        Convert(lab[0] / 655.35, lab[1] / 257.0 - 128.0, lab[2] / 257.0 - 128.0, bgr);
    }
    void Convert(double l, double a, double b, uint8_t* bgr) const {
        const double fy = (l + 16.0) / 116.0;
        const double xyz[3] = {kWhite[0] * Inverse(fy + a / 500.0), kWhite[1] * Inverse(fy),
                               kWhite[2] * Inverse(fy - b / 200.0)};
        for (int c = 0; c < 3; ++c) {
            const double linear =
                FToSrgb[c][0] * xyz[0] + FToSrgb[c][1] * xyz[1] + FToSrgb[c][2] * xyz[2];
            bgr[2 - c] = FEncode[size_t(std::lround(std::clamp(linear, 0.0, 1.0) * kSteps))];
        }
    }

private:
    static constexpr double kWhite[3] = {0.9642, 1.0, 0.8249}; // D50, as ICC's PCS has it
    static constexpr int kSteps = 65535;

    static double Inverse(double t) {
        constexpr double d = 6.0 / 29.0;
        return t > d ? t * t * t : 3.0 * d * d * (t - 4.0 / 29.0);
    }

    TLabToSrgb();

    double FToSrgb[3][3] = {};
    std::vector<uint8_t> FEncode;
};

// Pixels of inputFormat through the profile to Lab, then to sRGB; bytesPerPixel: of the input.
// (Grey, CMYK, and RGB profiles with tables.)
class TLabPath {
public:
    TLabPath(std::unique_ptr<TLcmsTransform> toLab, int bytesPerPixel)
        : FToLab(std::move(toLab)), FBytesPerPixel(bytesPerPixel) {}

    static std::unique_ptr<TLabPath> Make(TOpenProfile profile, cmsUInt32Number inputFormat) {
        std::unique_ptr<TLcmsTransform> toLab = TLcmsTransform::Make(
            std::move(profile), inputFormat, TLcmsTransform::TTarget::Lab, TYPE_Lab_16);
        if (!toLab)
            return nullptr;
        return std::make_unique<TLabPath>(
            std::move(toLab),
            int(T_BYTES(inputFormat) * (T_CHANNELS(inputFormat) + T_EXTRA(inputFormat))));
    }

    // from and to may be the same pixels when the output's pixels are not larger.
    void Run(const uint8_t* from, uint8_t* to, int toBytesPerPixel, int count) const {
        constexpr int kBatch = 256;
        uint16_t lab[3 * kBatch];
        for (int done = 0; done < count;) {
            const int n = std::min(kBatch, count - done);
            FToLab->Run(from + size_t(done) * size_t(FBytesPerPixel), lab, n);
            for (int i = 0; i < n; ++i)
                TLabToSrgb::Instance().Convert(lab + 3 * i,
                                               to + size_t(done + i) * size_t(toBytesPerPixel));
            done += n;
        }
    }

private:
    std::unique_ptr<TLcmsTransform> FToLab;
    int FBytesPerPixel;
};

// Rows of an RGB matrix/TRC profile, converted by Little CMS (its matrix-shaper path is exact
// to a level).
class TRgbTransform final : public TColorTransform {
public:
    explicit TRgbTransform(std::unique_ptr<TLcmsTransform> transform)
        : FTransform(std::move(transform)) {}
    void Apply(uint8_t* pixels, int count) const override {
        FTransform->Run(pixels, pixels, count);
    }

private:
    std::unique_ptr<TLcmsTransform> FTransform;
};

// Rows of an RGB profile with tables, through Lab; alpha kept.
class TRgbTableTransform final : public TColorTransform {
public:
    TRgbTableTransform(std::unique_ptr<TLabPath> path, TRowLayout layout)
        : FPath(std::move(path)), FBytesPerPixel(BytesPerPixel(layout)) {}
    void Apply(uint8_t* pixels, int count) const override {
        FPath->Run(pixels, pixels, FBytesPerPixel, count);
    }

private:
    std::unique_ptr<TLabPath> FPath;
    int FBytesPerPixel;
};

// Rows of a grey profile: one curve for blue, green and red; alpha kept.
class TCurveTransform final : public TColorTransform {
public:
    TCurveTransform(const std::array<uint8_t, 256>& curve, TRowLayout layout)
        : FCurve(curve), FBytesPerPixel(BytesPerPixel(layout)) {}
    void Apply(uint8_t* pixels, int count) const override {
        for (int i = 0; i < count; ++i, pixels += FBytesPerPixel)
            for (int c = 0; c < 3; ++c)
                pixels[c] = FCurve[pixels[c]];
    }

private:
    std::array<uint8_t, 256> FCurve;
    int FBytesPerPixel;
};

class TLabCmykTransform final : public TCmykTransform {
public:
    explicit TLabCmykTransform(std::unique_ptr<TLabPath> path) : FPath(std::move(path)) {}
    void Apply(const uint8_t* cmyk, uint8_t* bgr, int count) const override {
        FPath->Run(cmyk, bgr, 3, count);
    }

private:
    std::unique_ptr<TLabPath> FPath;
};

// True when the tone curve is sRGB's within kCurveTolerance.
bool CurveIsSrgb(const cmsToneCurve* curve) {
    if (!curve)
        return false;
    const int n = int(std::max<cmsUInt32Number>(256, cmsGetToneCurveEstimatedTableEntries(curve)));
    for (int i = 0; i < n; ++i) {
        const double x = double(i) / double(n - 1);
        const double linear = cmsEvalToneCurveFloat(curve, cmsFloat32Number(x));
        if (!std::isfinite(linear) || std::abs(SrgbEncode(linear) - x) >= kCurveTolerance)
            return false;
    }
    return true;
}

const cmsToneCurve* Curve(cmsHPROFILE profile, cmsTagSignature tag) {
    return static_cast<const cmsToneCurve*>(cmsReadTag(profile, tag));
}

constexpr std::array<cmsTagSignature, 3> kColorantTags = {
    cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
constexpr std::array<cmsTagSignature, 3> kCurveTags = {cmsSigRedTRCTag, cmsSigGreenTRCTag,
                                                       cmsSigBlueTRCTag};

// sRGB's D50 colorants as Little CMS builds them.
const std::array<cmsCIEXYZ, 3>& SrgbColorants() {
    static const std::array<cmsCIEXYZ, 3> colorants = [] {
        std::array<cmsCIEXYZ, 3> xyz{};
        const TContext context;
        const TProfile srgb(cmsCreate_sRGBProfileTHR(context.Handle()));
        for (size_t i = 0; srgb && i < 3; ++i)
            if (const auto* c =
                    static_cast<const cmsCIEXYZ*>(cmsReadTag(srgb.get(), kColorantTags[i])))
                xyz[i] = *c;
        return xyz;
    }();
    return colorants;
}

// True when the profile would be read through a table rather than its matrix and curves.
bool HasTable(cmsHPROFILE profile) {
    return cmsIsTag(profile, cmsSigAToB0Tag) || cmsIsTag(profile, cmsSigDToB0Tag);
}

bool IsSrgb(cmsHPROFILE profile) {
    if (HasTable(profile))
        return false;
    const cmsColorSpaceSignature space = cmsGetColorSpace(profile);
    if (space == cmsSigGrayData)
        return CurveIsSrgb(Curve(profile, cmsSigGrayTRCTag));
    if (space != cmsSigRgbData || !cmsIsMatrixShaper(profile))
        return false;
    for (size_t i = 0; i < 3; ++i) {
        const auto* c = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, kColorantTags[i]));
        const cmsCIEXYZ& s = SrgbColorants()[i];
        if (!c || std::abs(c->X - s.X) > kSrgbColorantTolerance ||
            std::abs(c->Y - s.Y) > kSrgbColorantTolerance ||
            std::abs(c->Z - s.Z) > kSrgbColorantTolerance)
            return false;
        if (!CurveIsSrgb(Curve(profile, kCurveTags[i])))
            return false;
    }
    return true;
}

TLabToSrgb::TLabToSrgb() : FEncode(size_t(kSteps) + 1) {
    const std::array<cmsCIEXYZ, 3>& c = SrgbColorants(); // columns of linear sRGB to XYZ
    const double m[3][3] = {
        {c[0].X, c[1].X, c[2].X}, {c[0].Y, c[1].Y, c[2].Y}, {c[0].Z, c[1].Z, c[2].Z}};
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            FToSrgb[i][j] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
        }
    for (size_t i = 0; i < FEncode.size(); ++i)
        FEncode[i] = uint8_t(std::lround(255.0 * SrgbEncode(double(i) / kSteps)));
}

// The grey profile's curve to sRGB for each 8-bit value, through Lab in floating point (256
// values: Little CMS's 8-bit grey path is a level off near black). The three channels of a
// neutral grey differ by rounding at most; their mean is taken.
std::unique_ptr<TColorTransform> GreyTransform(TOpenProfile profile, TRowLayout layout) {
    const std::unique_ptr<TLcmsTransform> transform = TLcmsTransform::Make(
        std::move(profile), TYPE_GRAY_FLT, TLcmsTransform::TTarget::Lab, TYPE_Lab_DBL);
    if (!transform)
        return nullptr;
    std::array<float, 256> grey{};
    std::array<cmsCIELab, 256> labs{};
    for (size_t v = 0; v < 256; ++v)
        grey[v] = float(v) / 255.0f;
    transform->Run(grey.data(), labs.data(), 256);
    std::array<uint8_t, 256> curve{};
    for (size_t v = 0; v < 256; ++v) {
        uint8_t bgr[3];
        TLabToSrgb::Instance().Convert(labs[v].L, labs[v].a, labs[v].b, bgr);
        curve[v] = uint8_t((bgr[0] + bgr[1] + bgr[2] + 1) / 3);
    }
    return std::make_unique<TCurveTransform>(curve, layout);
}

} // namespace

bool DescribesSrgb(const QByteArray& iccProfile) {
    const TOpenProfile profile(iccProfile);
    return profile.Profile && IsSrgb(profile.Profile.get());
}

std::unique_ptr<TColorTransform> TColorTransform::ToSrgb(const QByteArray& iccProfile,
                                                         TRowLayout layout) {
    if (iccProfile.isEmpty())
        return nullptr;
    TOpenProfile profile(iccProfile);
    if (!profile.Profile || IsSrgb(profile.Profile.get()))
        return nullptr;
    if (profile.Space() == cmsSigGrayData)
        return GreyTransform(std::move(profile), layout);
    if (profile.Space() != cmsSigRgbData)
        return nullptr;
    const bool alpha = layout == TRowLayout::Bgra32;
    const cmsUInt32Number format = alpha ? TYPE_BGRA_8 : TYPE_BGR_8;
    if (HasTable(profile.Profile.get())) {
        std::unique_ptr<TLabPath> path = TLabPath::Make(std::move(profile), format);
        if (!path)
            return nullptr;
        return std::make_unique<TRgbTableTransform>(std::move(path), layout);
    }
    std::unique_ptr<TLcmsTransform> transform =
        TLcmsTransform::Make(std::move(profile), format, TLcmsTransform::TTarget::Srgb, format,
                             alpha ? cmsFLAGS_COPY_ALPHA : 0);
    if (!transform)
        return nullptr;
    return std::make_unique<TRgbTransform>(std::move(transform));
}

std::unique_ptr<TCmykTransform> TCmykTransform::ToSrgb(const QByteArray& iccProfile,
                                                       bool inverted) {
    TOpenProfile profile(iccProfile);
    if (profile.Space() != cmsSigCmykData)
        return nullptr;
    std::unique_ptr<TLabPath> path =
        TLabPath::Make(std::move(profile), inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8);
    if (!path)
        return nullptr;
    return std::make_unique<TLabCmykTransform>(std::move(path));
}
