// Colour management: a picture whose embedded ICC profile is not sRGB is converted to sRGB with
// Little CMS 2; without a profile, or with one that describes sRGB, its pixels stay exactly as
// they are.
//
// What counts as sRGB is decided by what a profile does, not by its name: an RGB matrix/TRC
// profile (with no A2B0/D2B0 table, which would take precedence) whose D50 colorants are within
// kSrgbColorantTolerance of sRGB's and whose three tone curves stay within half an 8-bit level
// of sRGB's curve (the test colour-managed image libraries use for "this curve is sRGB's"), or a
// grey profile whose tone curve does. Profiles are converted with the perceptual intent (the
// table a profile has for pictures; matrix/TRC profiles convert alike in every intent).
// Matrix/TRC profiles go through Little CMS's matrix-shaper transform; profiles with tables go to
// Lab with Little CMS and from Lab to sRGB exactly here. Grey profiles become one curve applied to
// each of blue, green and red, so that grey pictures are converted exactly as grey and a colour
// picture wrongly tagged keeps its colours. CMYK profiles are used through TCmykTransform by the
// readers that still have the CMYK samples; Lab, device-link, abstract and named-colour
// profiles are ignored.
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

#include <QByteArray>

#include <cstdint>
#include <memory>

// Largest difference of a D50 colorant's X, Y or Z from sRGB's that still counts as sRGB: the
// sRGB profiles of different makers differ by less than 1e-4, their adaptation to D50 by other
// methods by a few 1e-4; Display P3's and Adobe RGB's colorants differ by more than 0.05.
constexpr double kSrgbColorantTolerance = 0.001;

class TColorTransform {
public:
    virtual ~TColorTransform() = default;

    // The transform from the profile to sRGB for rows of the layout, or nullptr when none is
    // needed: no profile, a profile that describes sRGB, or one that cannot be parsed or used
    // (it is then ignored and the picture loads as if it had none).
    static std::unique_ptr<TColorTransform> ToSrgb(const QByteArray& iccProfile, TRowLayout layout);

    // Converts count pixels of one row in place; alpha, where there is one, is kept. Safe to
    // call from several threads at once.
    virtual void Apply(uint8_t* pixels, int count) const = 0;
};

// True when the profile parses and describes sRGB (see above).
bool DescribesSrgb(const QByteArray& iccProfile);

// CMYK samples converted through a CMYK profile to sRGB (perceptual intent).
class TCmykTransform {
public:
    // nullptr unless the profile is a CMYK profile that can be used. inverted: the samples are
    // stored as 255 - ink, as Adobe writes them in JPEG files.
    static std::unique_ptr<TCmykTransform> ToSrgb(const QByteArray& iccProfile, bool inverted);

    virtual ~TCmykTransform() = default;
    // Converts count pixels of four bytes (C, M, Y, K) to three (blue, green, red). Safe to call
    // from several threads at once.
    virtual void Apply(const uint8_t* cmyk, uint8_t* bgr, int count) const = 0;
};
