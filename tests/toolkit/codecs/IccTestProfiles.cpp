#include "IccTestProfiles.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace icctest {

const TPrimaries kSrgbPrimaries{0.64, 0.33, 0.30, 0.60, 0.15, 0.06, 0.3127, 0.3290};
const TPrimaries kAdobePrimaries{0.64, 0.33, 0.21, 0.71, 0.15, 0.06, 0.3127, 0.3290};
const TPrimaries kProPhotoPrimaries{0.7347, 0.2653, 0.1596, 0.8404, 0.0366, 0.0001, 0.3457, 0.3585};
const TPrimaries kP3Primaries{0.680, 0.320, 0.265, 0.690, 0.150, 0.060, 0.3127, 0.3290};

namespace {

using TMatrix = std::array<std::array<double, 3>, 3>;

QByteArray Save(cmsHPROFILE profile, double version) {
    if (!profile)
        throw std::runtime_error("profile not made");
    cmsSetProfileVersion(profile, version);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray bytes(qsizetype(size), '\0');
    const bool saved = cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    if (!saved)
        throw std::runtime_error("profile not saved");
    return bytes;
}

cmsHPROFILE MakeRgb(const TPrimaries& p, cmsToneCurve* curve) {
    const cmsCIExyY white{p.Wx, p.Wy, 1.0};
    const cmsCIExyYTRIPLE primaries{{p.Rx, p.Ry, 1.0}, {p.Gx, p.Gy, 1.0}, {p.Bx, p.By, 1.0}};
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(curve);
    return profile;
}

cmsToneCurve* SrgbCurve() {
    const double params[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    return cmsBuildParametricToneCurve(nullptr, 4, params);
}

constexpr cmsTagSignature kColorants[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                           cmsSigBlueColorantTag};

// The colorant matrix (columns red, green, blue) of a matrix/TRC profile.
TMatrix Colorants(cmsHPROFILE profile) {
    TMatrix m{};
    for (int c = 0; c < 3; ++c) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, kColorants[c]));
        if (!xyz)
            throw std::runtime_error("no colorant");
        m[0][size_t(c)] = xyz->X;
        m[1][size_t(c)] = xyz->Y;
        m[2][size_t(c)] = xyz->Z;
    }
    return m;
}

double Gamma(cmsHPROFILE profile, cmsTagSignature tag) {
    const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile, tag));
    if (!curve || cmsGetToneCurveParametricType(curve) != 1)
        throw std::runtime_error("not a pure gamma curve");
    return cmsGetToneCurveParams(curve)[0];
}

TMatrix Inverse(const TMatrix& m) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    TMatrix r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            // Cofactor of (j, i) over the determinant.
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            r[size_t(i)][size_t(j)] = (m[size_t(r0)][size_t(c0)] * m[size_t(r1)][size_t(c1)] -
                                       m[size_t(r0)][size_t(c1)] * m[size_t(r1)][size_t(c0)]) /
                                      det;
        }
    return r;
}

std::array<double, 3> Times(const TMatrix& m, const std::array<double, 3>& v) {
    std::array<double, 3> r{};
    for (size_t i = 0; i < 3; ++i)
        r[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
    return r;
}

double SrgbLevel(double linear) {
    linear = std::clamp(linear, 0.0, 1.0);
    const double v =
        linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
    return 255.0 * v;
}

// XYZ (D50) to sRGB levels through sRGB's own colorants.
std::array<double, 3> XyzToSrgb(const std::array<double, 3>& xyz) {
    static const TMatrix toSrgb = [] {
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        const TMatrix m = Inverse(Colorants(srgb));
        cmsCloseProfile(srgb);
        return m;
    }();
    const std::array<double, 3> linear = Times(toSrgb, xyz);
    return {SrgbLevel(linear[0]), SrgbLevel(linear[1]), SrgbLevel(linear[2])};
}

struct TOpened {
    cmsHPROFILE Handle;
    explicit TOpened(const QByteArray& bytes)
        : Handle(cmsOpenProfileFromMem(bytes.constData(), cmsUInt32Number(bytes.size()))) {
        if (!Handle)
            throw std::runtime_error("profile does not parse");
    }
    ~TOpened() { cmsCloseProfile(Handle); }
};

int CmykSampler(const cmsUInt16Number in[], cmsUInt16Number out[], void*) {
    const std::array<double, 3> lab =
        CmykToLab(in[0] / 65535.0, in[1] / 65535.0, in[2] / 65535.0, in[3] / 65535.0);
    const cmsCIELab value{lab[0], lab[1], lab[2]};
    cmsFloat2LabEncodedV2(out, &value); // the encoding of version 2 tables
    return 1;
}

} // namespace

QByteArray RgbProfile(const TPrimaries& primaries, double gamma, double version, int padding) {
    cmsHPROFILE profile = MakeRgb(primaries, cmsBuildGamma(nullptr, gamma));
    if (padding > 0) {
        cmsMLU* text = cmsMLUalloc(nullptr, 1);
        cmsMLUsetASCII(text, "en", "US", std::string(size_t(padding), 'c').c_str());
        cmsWriteTag(profile, cmsSigCopyrightTag, text);
        cmsMLUfree(text);
    }
    return Save(profile, version);
}

QByteArray SrgbProfile(double version) {
    return Save(cmsCreate_sRGBProfile(), version);
}

QByteArray TabulatedSrgbProfile(double offset) {
    std::vector<cmsUInt16Number> table(1024);
    for (size_t i = 0; i < table.size(); ++i) {
        const double v = double(i) / 1023.0;
        const double linear = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        table[i] = cmsUInt16Number(std::lround(linear * 65535.0));
    }
    cmsHPROFILE profile =
        MakeRgb(kSrgbPrimaries,
                cmsBuildTabulatedToneCurve16(nullptr, cmsUInt32Number(table.size()), table.data()));
    static const double kRounded[3][3] = {
        {0.4361, 0.2225, 0.0139}, {0.3851, 0.7169, 0.0971}, {0.1431, 0.0606, 0.7141}};
    for (int c = 0; c < 3; ++c) {
        const cmsCIEXYZ xyz{kRounded[c][0] + offset, kRounded[c][1] + offset,
                            kRounded[c][2] + offset};
        cmsWriteTag(profile, kColorants[c], &xyz);
    }
    return Save(profile, 2.1);
}

QByteArray SrgbWithTableProfile() {
    cmsHPROFILE profile = MakeRgb(kSrgbPrimaries, SrgbCurve());
    // A table that swaps red and blue on their way to Lab.
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab =
        cmsCreateTransform(srgb, TYPE_BGR_16, lab, TYPE_Lab_16, INTENT_PERCEPTUAL, 0);
    cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 33, 3, 3, nullptr);
    cmsStageSampleCLut16bit(
        clut,
        [](const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) -> int {
            cmsDoTransform(static_cast<cmsHTRANSFORM>(cargo), in, out, 1);
            return 1;
        },
        toLab, 0);
    cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 3, 3);
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsPipelineInsertStage(pipeline, cmsAT_END, clut);
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
    cmsSetPCS(profile, cmsSigLabData); // what the table gives
    cmsPipelineFree(pipeline);
    cmsDeleteTransform(toLab);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    return Save(profile, 4.3);
}

QByteArray GreyProfile(double gamma) {
    cmsToneCurve* curve = cmsBuildGamma(nullptr, gamma);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsFreeToneCurve(curve);
    return Save(profile, 2.1);
}

QByteArray SrgbGreyProfile() {
    cmsToneCurve* curve = SrgbCurve();
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsFreeToneCurve(curve);
    return Save(profile, 4.3);
}

QByteArray LinkProfile() {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform = cmsCreateTransform(srgb, TYPE_RGB_8, srgb, TYPE_RGB_8, 0, 0);
    cmsHPROFILE link = cmsTransform2DeviceLink(transform, 4.3, 0);
    cmsDeleteTransform(transform);
    cmsCloseProfile(srgb);
    return Save(link, 4.3);
}

QByteArray LabProfile() {
    return Save(cmsCreateLab4Profile(nullptr), 4.3);
}

std::array<double, 3> CmykToLab(double c, double m, double y, double k) {
    return {100 - 20 * c - 20 * m - 10 * y - 50 * k, 55 * m - 45 * c - 5 * y,
            60 * y - 35 * c - 15 * m};
}

QByteArray CmykProfile() {
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 5, 4, 3, nullptr);
    cmsStageSampleCLut16bit(clut, CmykSampler, nullptr, 0);
    cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 4, 3);
    cmsPipelineInsertStage(pipeline, cmsAT_END, clut);
    cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
    cmsPipelineFree(pipeline);
    return Save(profile, 2.1);
}

TRgbReference::TRgbReference(const QByteArray& profile) {
    const TOpened opened(profile);
    FColorants = Colorants(opened.Handle);
    const cmsTagSignature curves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    for (size_t c = 0; c < 3; ++c)
        FGamma[c] = Gamma(opened.Handle, curves[c]);
}

std::array<double, 3> TRgbReference::ToSrgb(const std::array<uint8_t, 3>& rgb) const {
    std::array<double, 3> linear{};
    for (size_t c = 0; c < 3; ++c)
        linear[c] = std::pow(rgb[c] / 255.0, FGamma[c]);
    return XyzToSrgb(Times(FColorants, linear));
}

double GreyToSrgb(const QByteArray& profile, uint8_t grey) {
    const TOpened opened(profile);
    return SrgbLevel(std::pow(grey / 255.0, Gamma(opened.Handle, cmsSigGrayTRCTag)));
}

std::array<double, 3> CmykToSrgb(const std::array<uint8_t, 4>& ink) {
    const std::array<double, 3> lab =
        CmykToLab(ink[0] / 255.0, ink[1] / 255.0, ink[2] / 255.0, ink[3] / 255.0);
    // CIE Lab to XYZ, D50 white.
    const double fy = (lab[0] + 16) / 116, fx = fy + lab[1] / 500, fz = fy - lab[2] / 200;
    auto inverse = [](double t) {
        constexpr double d = 6.0 / 29.0;
        return t > d ? t * t * t : 3 * d * d * (t - 4.0 / 29.0);
    };
    const cmsCIEXYZ* white = cmsD50_XYZ();
    return XyzToSrgb({white->X * inverse(fx), white->Y * inverse(fy), white->Z * inverse(fz)});
}

} // namespace icctest
