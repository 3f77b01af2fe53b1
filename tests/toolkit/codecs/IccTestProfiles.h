// ICC profiles the colour tests make with Little CMS, and the plain reference conversions they
// are checked against: the profile's own colorants and curves (or, for the CMYK profile, its
// formula) evaluated in double precision, then sRGB's.
#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>

namespace icctest {

struct TPrimaries {
    double Rx, Ry, Gx, Gy, Bx, By; // chromaticities
    double Wx, Wy;                 // white point
};

extern const TPrimaries kSrgbPrimaries, kAdobePrimaries, kProPhotoPrimaries, kP3Primaries;

// A matrix/TRC profile from primaries and a pure gamma curve, as Little CMS builds one (D50
// colorants adapted with Bradford), saved as ICC version; padding: a copyright text of that many
// characters, to make it large.
QByteArray RgbProfile(const TPrimaries& primaries, double gamma, double version = 2.1,
                      int padding = 0);
// sRGB as Little CMS builds it, saved as ICC version (4.3: parametric curves; 2.1: the curves as
// tables).
QByteArray SrgbProfile(double version);
// sRGB written as most cameras embed it: colorants rounded to four decimals, the curve as a
// table of 1024 entries. offset is added to every colorant component.
QByteArray TabulatedSrgbProfile(double offset = 0);
// A profile with sRGB's primaries and curves but also an A2B0 table (which then decides).
QByteArray SrgbWithTableProfile();
// Grey profiles: a pure gamma, or sRGB's curve.
QByteArray GreyProfile(double gamma);
QByteArray SrgbGreyProfile();
// A version 2 CMYK output profile whose A2B0 table is CmykToLab exactly (it is linear, so the
// table's interpolation adds nothing).
QByteArray CmykProfile();
// Profiles that describe no device's colours: a device link (sRGB to sRGB), and Lab.
QByteArray LinkProfile();
QByteArray LabProfile();
// The Lab colour the CMYK profile gives to ink amounts 0..1.
std::array<double, 3> CmykToLab(double c, double m, double y, double k);

// Reference conversions to sRGB, in levels 0..255 (not rounded; clipped to the range).
// Colours through an RGB matrix/TRC profile with pure gamma curves (the colorants and gammas as
// the profile stores them).
class TRgbReference {
public:
    explicit TRgbReference(const QByteArray& profile);
    std::array<double, 3> ToSrgb(const std::array<uint8_t, 3>& rgb) const;

private:
    std::array<std::array<double, 3>, 3> FColorants; // columns red, green, blue
    std::array<double, 3> FGamma;
};
// A grey value through a grey profile with a pure gamma curve.
double GreyToSrgb(const QByteArray& profile, uint8_t grey);
// Ink amounts 0..255 through CmykProfile().
std::array<double, 3> CmykToSrgb(const std::array<uint8_t, 4>& ink);

} // namespace icctest
