// Colour management: a picture whose embedded ICC profile is not sRGB is converted to sRGB with
// Little CMS 2; without a profile, or with one that describes sRGB, its pixels stay exactly as
// they are.
#pragma once

#include "toolkit/codecs/PictureDecoder.h"

#include <QByteArray>

#include <cstdint>
#include <memory>

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
