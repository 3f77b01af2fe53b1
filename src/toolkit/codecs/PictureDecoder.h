// The decoders of today's picture formats (PNG, GIF, TIFF, WebP, AVIF, HEIF, JPEG XL), each on
// the library made for its format, behind one interface: a header first, then rows from the top
// down. TCodecImage turns a decoder's rows into a picture (upright, in sRGB, premultiplied where
// transparent); the streaming composition reads them one after another.
#pragma once

#include "toolkit/ImageMemory.h"
#include "toolkit/SysUtils.h"

#include <QByteArray>
#include <QSize>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

// What a picture file says of itself before its pixels are decoded.
struct TPictureHeader {
    int Width = 0, Height = 0; // as stored, before Orientation is applied
    bool Alpha = false;        // pixels may be transparent (alpha channel, transparent colour)
    int Orientation = 1;       // the EXIF orientation 1..8 the decoder leaves to the caller
    QByteArray IccProfile;     // the embedded ICC profile; empty when there is none
};

// The rows a decoder writes.
enum class TRowLayout {
    Bgr24,  // blue, green, red
    Bgra32, // blue, green, red, alpha; straight (not premultiplied) colour
};

inline int BytesPerPixel(TRowLayout layout) {
    return layout == TRowLayout::Bgr24 ? 3 : 4;
}

class TPictureDecoder {
public:
    virtual ~TPictureDecoder() = default;

    // Parses the header; called once, first. Damaged or unsupported data raises
    // EInvalidGraphic, a picture beyond the limits (kMaxPicturePixels, kMaxPictureSide, a frame
    // count, the decoded size of many-channel or 16-bit data) EOutOfResources, before anything
    // large is allocated; messages name the file (see ThrowInvalidPicture, CheckPictureLimits).
    virtual TPictureHeader ReadHeader() = 0;

    // True when ReadRows gives rows one after another without the whole picture decoded first
    // (a non-interlaced PNG, TIFF strips); false when the library decodes it whole (it then holds
    // it until the decoder is destroyed).
    virtual bool Sequential() const = 0;

    // Reduced-scale decoding (thumbnails): before Start, asks for a picture of at least width x
    // height pixels (stored orientation) and returns the size ReadRows will give. Codecs that
    // cannot reduce return the full size.
    virtual QSize ReduceTo(int width, int height);

    // Starts decoding into rows of the given layout (Bgr24 only when the header has no alpha);
    // called once, after ReadHeader (and ReduceTo).
    virtual void Start(TRowLayout layout) = 0;

    // Decodes the next count rows, top down as stored, into rows[0 .. count), each of the
    // decoded width x BytesPerPixel(layout) bytes. Data found damaged raises EInvalidGraphic:
    // never a partly drawn picture.
    virtual void ReadRows(uint8_t* const* rows, int count) = 0;

    // The whole picture decoded straight into pixels (rows stride bytes apart, the layout given
    // to Start), instead of ReadRows, for a library that writes it there more cheaply than it
    // gives rows; after Start. False (the default) when the decoder cannot: use ReadRows.
    virtual bool DecodeInto(uint8_t* pixels, qsizetype stride);

    // Called while decoding with the whole percentage done; returning false stops the decoding
    // with EAbort. Set before Start. A decoder reports at least once per row or per large step.
    std::function<bool(int percent)> Progress;

protected:
    // Reports progress; raises EAbort when the callback asks to stop.
    void ReportProgress(int percent);
};

// A picture format's decoder maker: data[0 .. size) stays valid while the decoder lives; name is
// the file name for messages.
struct TCodec {
    const char* Name; // "PNG", as messages say it: PNG image "<file>" is not valid: <why>
    std::function<std::unique_ptr<TPictureDecoder>(const uint8_t* data, size_t size,
                                                   const QString& name)>
        Open;
};

// EInvalidGraphic: <codec> image "<file>" is not valid: <why>
[[noreturn]] void ThrowInvalidPicture(const char* codec, const QString& name, const QString& why);
// EOutOfResources unless width x height is a picture the program takes (sides 1 to
// kMaxPictureSide, at most kMaxPicturePixels) and width x height x bytesPerPixel (the decoded
// size the library needs) stays within 4 x kMaxPicturePixels bytes; a side of 0 is
// EInvalidGraphic.
void CheckPictureLimits(const char* codec, const QString& name, int64_t width, int64_t height,
                        int64_t bytesPerPixel = 4);
