// The one libjpeg-turbo decoder of the program: a JPEG file's header (with its EXIF orientation
// and ICC profile), then its rows on demand, top to bottom as stored, as 24-bit blue, green, red.
// The JPEG picture class decodes all rows into its bitmap through it; the streaming composition
// takes them one at a time while it resamples.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

class TJpegReader {
public:
    enum class TColorSpace { Grayscale, YCbCr, Rgb, Cmyk, Ycck, Other };
    enum class TFailure {
        None,
        Data,      // damaged or unsupported data (Message() says what)
        Precision, // not 8 bits per sample (Precision() says how many)
        Memory,    // libjpeg needs more working memory than allowed
        Stopped,   // the progress callback asked to stop
    };

    // Reads from data[0 .. size), which must stay valid while the reader lives. maxMemory bounds
    // libjpeg's working memory in bytes (0: no bound).
    TJpegReader(const uint8_t* data, size_t size, int64_t maxMemory = 0);
    ~TJpegReader();
    TJpegReader(const TJpegReader&) = delete;
    TJpegReader& operator=(const TJpegReader&) = delete;

    // Parses the header. False on failure (see Failure() and Message()).
    bool ReadHeader();
    int Width() const;
    int Height() const;
    // Decoding at 1/denominator of the size (1, 2, 4 or 8; libjpeg's scaled DCT, for
    // thumbnails): set after ReadHeader() and before Start(). The rows are then OutputWidth()
    // wide and OutputHeight() of them are read (each side rounded up). False for another
    // denominator or after Start().
    bool SetScale(int denominator);
    int OutputWidth() const;
    int OutputHeight() const;
    int Components() const;
    int Precision() const; // bits per sample as the header says, also when it was refused
    TColorSpace ColorSpace() const;
    // The orientation of the first EXIF block (APP1), 1..8 (see Orientation.h); 1 without one.
    int Orientation() const;
    // The ICC profile of the APP2 markers put together; empty without one or when the markers
    // are damaged.
    const QByteArray& IccProfile() const;
    // CMYK and YCCK pictures: the samples are stored as 255 - ink (Adobe's way, which its marker
    // says).
    bool CmykInverted() const;

    // CMYK and YCCK pictures: converts a row of width C, M, Y, K samples as stored (see
    // CmykInverted) into blue, green, red instead of the plain conversion. Must not throw. Set
    // before Start().
    using TCmykConverter = std::function<void(const uint8_t* cmyk, uint8_t* bgr, int width)>;
    void SetCmykConverter(TCmykConverter converter);

    // Called while decoding with the whole percentage done so far (all scans counted); returning
    // false stops decoding with TFailure::Stopped. Must not throw. Set before Start().
    void SetProgress(std::function<bool(int percent)> progress);

    // Starts decoding after ReadHeader(). False on failure. A file with more than 1,000 scans is
    // taken as damaged.
    bool Start();
    // Decodes the next count rows into rows[0 .. count), each OutputWidth() x 3 bytes: blue,
    // green, red.
    // CMYK and YCCK pictures are converted (the inverted form Adobe writes is recognised) by the
    // converter set, else plainly (each colour times the black's complement). Data that ends
    // early is a failure, not grey rows. False on failure.
    bool ReadRows(uint8_t* const* rows, int count);
    int NextRow() const; // the row ReadRows decodes next

    TFailure Failure() const;
    QString Message() const; // libjpeg's words for a failure

    struct TState; // libjpeg's state; public for the decoding functions in the source file

private:
    std::unique_ptr<TState> FState;
};
