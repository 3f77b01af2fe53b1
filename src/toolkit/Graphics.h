// The toolkit's graphics: colours, canvases with locks, bitmaps, graphics and pictures that
// load by file extension. Built on QImage and QPainter.
#pragma once

#include "toolkit/ImageMemory.h"
#include "toolkit/SysUtils.h"

#include <QImage>
#include <QRect>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QPainter;
class TBitmap;
class TGraphic;

// ---------------------------------------------------------------------------------------------
// Colours

// 0x00BBGGRR for an RGB colour (red in the low byte); a value with the top bit set is a system
// colour whose index is in the low byte.
using TColor = int32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clMaroon = 0x000080;
constexpr TColor clGreen = 0x008000;
constexpr TColor clOlive = 0x008080;
constexpr TColor clNavy = 0x800000;
constexpr TColor clPurple = 0x800080;
constexpr TColor clTeal = 0x808000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clFuchsia = 0xFF00FF;
constexpr TColor clAqua = 0xFFFF00;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clMoneyGreen = 0xC0DCC0;
constexpr TColor clSkyBlue = 0xF0CAA6;
constexpr TColor clCream = 0xF0FBFF;
constexpr TColor clMedGray = 0xA4A0A0;
constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clSystemColor = int32_t(0x80000000u);
constexpr TColor clBtnFace = clSystemColor | 15;
constexpr TColor clWindow = clSystemColor | 5;
constexpr TColor clWindowText = clSystemColor | 8;
constexpr TColor clHighlight = clSystemColor | 13;
constexpr TColor clBtnText = clSystemColor | 18;
constexpr int kSystemColorCount = 31; // indices 0 (scroll bar) to 30 (menu bar)

struct TColorName {
    TColor Color;
    const char* Ident; // "clBtnFace"
    const char* Name;  // "Button Face"
};
// The standard (16), extended (4) and system colours, in the colour box's order.
const TColorName* StandardColorNames(int* count);
const TColorName* ExtendedColorNames(int* count);
const TColorName* SystemColorNames(int* count);

// The current colour of a system colour index (0..30): the application palette's colour when a
// GUI application exists, else the classic defaults. Tests may install their own provider.
using TSysColorProvider = std::function<TColor(int index)>;
TColor GetSysColor(int index);
void SetSysColorProvider(TSysColorProvider provider); // empty restores the default
// An RGB colour for any colour value: system colours resolved, RGB values unchanged.
TColor ColorToRGB(TColor color);
QColor ColorToQColor(TColor color);
TColor QColorToColor(const QColor& color);

// Colour text: "#" + the value in upper-case hexadecimal, no leading zeros, unsigned 32 bits.
QString ColorToText(TColor color);
// Reads a colour text back: the text after "#" (at most 9999 characters) with "0x" in front,
// converted by StrToInt (EConvertError "'0x...' is not a valid integer value" when it does not).
TColor TextToColor(const QString& text);
// True when a preset background is a colour text: non-empty and starting with "#".
bool IsColorText(const QString& text);

// ---------------------------------------------------------------------------------------------
// Geometry and events

struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    QRect ToQRect() const { return QRect(Left, Top, Width(), Height()); }
};
inline TRect Rect(int left, int top, int right, int bottom) {
    return {left, top, right, bottom};
}

enum class TProgressStage { psStarting = 0, psRunning = 1, psEnding = 2 };

// Sender, stage, percent done (0..100), redraw flag, rectangle, message.
using TProgressEvent =
    std::function<void(TObject* Sender, TProgressStage Stage, uint8_t PercentDone, bool RedrawNow,
                       const TRect& R, const QString& Msg)>;

// ---------------------------------------------------------------------------------------------
// Canvas

struct TBrush {
    TColor Color = clWhite;
};

// The drawing surface of a bitmap. Lock/Unlock is a re-entrant lock: the holding thread may lock
// again, another thread waits.
class TCanvas : public TObject {
public:
    explicit TCanvas(TBitmap* owner);

    void Lock();
    void Unlock();
    bool TryLock();
    int LockCount() const; // locks held by the calling thread (0 when another thread holds it)

    // Pixel read: the RGB colour (0x00BBGGRR), or -1 (all bits set) outside the bitmap.
    TColor Pixels(int x, int y) const;
    // Pixel write; points outside the bitmap are ignored. System colours are resolved.
    void SetPixels(int x, int y, TColor color);

    TBrush& Brush() { return FBrush; }
    // Fills the rectangle (clipped to the bitmap) with the brush colour.
    void FillRect(const TRect& rect);
    // Draws a graphic with its top-left corner at (x, y), at its own size, clipped; transparent
    // parts of the graphic leave what is underneath.
    void Draw(int x, int y, TGraphic* graphic);
    // Draws a graphic scaled into the rectangle.
    void StretchDraw(const TRect& rect, TGraphic* graphic);

    TBitmap* Owner() const { return FOwner; }

private:
    TBitmap* FOwner;
    TBrush FBrush;
    std::recursive_mutex FMutex;
    std::atomic<std::thread::id> FHolder{};
    int FDepth = 0;
};

// RAII helper: locks a canvas for a scope, released on every path.
class TCanvasLock {
public:
    explicit TCanvasLock(TCanvas* canvas) : FCanvas(canvas) {
        if (FCanvas)
            FCanvas->Lock();
    }
    ~TCanvasLock() {
        if (FCanvas)
            FCanvas->Unlock();
    }
    TCanvasLock(const TCanvasLock&) = delete;
    TCanvasLock& operator=(const TCanvasLock&) = delete;

private:
    TCanvas* FCanvas;
};

// ---------------------------------------------------------------------------------------------
// Graphics

// A picture's rows read from the top down without the picture being held whole (a JPEG file
// decoded while its rows are used).
class TRowReader {
public:
    virtual ~TRowReader() = default;
    // Row y: Width() x 3 bytes, blue, green, red; or, when Alpha(), Width() x 4 bytes, blue,
    // green, red premultiplied by alpha, then alpha. Rows are asked for in increasing order; the
    // last few stay readable. A picture that turns out damaged raises the error its graphic's
    // drawing would raise.
    virtual const uint8_t* Row(int y) = 0;
    virtual bool Alpha() const { return false; }
};

class TGraphic : public TObject {
public:
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual bool Empty() const { return Width() <= 0 || Height() <= 0; }
    // True when parts of the graphic are transparent (icons with a mask or alpha, metafiles).
    virtual bool Transparent() const { return false; }
    // False while the pixels of a loaded picture are still to be decoded (they are decoded when
    // it is first drawn, or read row by row).
    virtual bool Decoded() const { return true; }

    // Loads the file; errors name the file and say what is wrong.
    virtual void LoadFromFile(const QString& fileName) = 0;
    // Loads from bytes already in memory; name is used in error messages.
    virtual void LoadFromBytes(const QByteArray& data, const QString& name) = 0;

    // Paints the graphic scaled into target. Non-const because some graphics decode lazily
    // on their first draw (JPEG) and report progress then.
    virtual void Paint(QPainter& painter, const QRect& target) = 0;

    // A deep copy of the same class.
    virtual std::unique_ptr<TGraphic> Clone() const = 0;

    // The picture's rows decoded one after another as they are read, or nullptr when this
    // graphic cannot give them so or holds them decoded already (it is then used whole). The
    // reader may refer to the graphic, which must outlive it.
    virtual std::unique_ptr<TRowReader> OpenRows() { return nullptr; }

    // A vector picture that is drawn at any size as sharply as at its own (SVG): the composer
    // renders it at the size it takes on the wallpaper instead of resampling it.
    virtual bool Scalable() const { return false; }
    // Scalable pictures: the picture drawn to fill size.width() x size.height(), as premultiplied
    // ARGB (QImage::Format_ARGB32_Premultiplied).
    virtual QImage Render(QSize size);

    TProgressEvent OnProgress;

protected:
    void Progress(TObject* sender, TProgressStage stage, uint8_t percent, bool redraw,
                  const TRect& r, const QString& msg);
};

enum class TBitmapHandleType { bmDIB, bmDDB };

// A raster image with a canvas. A new bitmap is 0 x 0; growing it fills the new area with white.
// A bitmap loaded from a BMP file keeps the file and decodes it on the first use of its pixels
// (its size and pixel format are known at once); read row by row (OpenRows) or converted to 24
// bits (Bgr24Image) it is never decoded whole.
// Bitmaps are opaque when drawn (transparent pictures are icons and metafiles).
// Storage: pf24bit rows hold blue, green, red per pixel (QImage::Format_BGR888); pf32bit and
// every other format keep 0xAARRGGBB words (blue, green, red, alpha in memory), the format being
// recorded for PixelFormat(). Changing the format converts the content.
class TBitmap : public TGraphic {
public:
    TBitmap();
    TBitmap(int width, int height, TPixelFormat format = TPixelFormat::pf24bit);
    ~TBitmap() override;

    int Width() const override;
    int Height() const override;
    void SetWidth(int width);
    void SetHeight(int height);
    void SetSize(int width, int height);

    TPixelFormat PixelFormat() const { return FPixelFormat; }
    bool Decoded() const override { return !FPending; }
    void SetPixelFormat(TPixelFormat format);
    TBitmapHandleType HandleType() const { return FHandleType; }
    void SetHandleType(TBitmapHandleType type) { FHandleType = type; }

    // Row y (0 = top): 3 bytes per pixel (B, G, R) for pf24bit, 4 (B, G, R, A) otherwise.
    uint8_t* ScanLine(int y);
    const uint8_t* ScanLine(int y) const;
    int BytesPerLine() const { return int(Image().bytesPerLine()); }

    TCanvas* Canvas() { return &FCanvas; }

    // Writes a 24-bit BMP (BITMAPINFOHEADER, bottom-up rows padded to 4 bytes) whatever the
    // pixel format. Errors raise EFCreateError naming the file.
    void SaveToFile(const QString& fileName) const;
    // The same bytes in memory.
    QByteArray SaveToBytes() const;

    void LoadFromFile(const QString& fileName) override;
    void LoadFromBytes(const QByteArray& data, const QString& name) override;
    void Paint(QPainter& painter, const QRect& target) override;
    std::unique_ptr<TGraphic> Clone() const override;
    void Assign(const TGraphic* source); // a copy of any graphic, drawn into a bitmap
    // A BMP file not yet decoded read row by row (24-bit rows); nullptr once it is decoded.
    std::unique_ptr<TRowReader> OpenRows() override;

    // Direct access for the toolkit and tests. Replacing the image keeps the canvas.
    const QImage& Image() const;
    QImage& Image();
    void SetImage(const QImage& image, TPixelFormat format);
    // The pixels as a 24-bit image (QImage::Format_BGR888): the bitmap's own when it is 24-bit,
    // else a converted copy, decoded straight from a BMP file not yet decoded.
    QImage Bgr24Image() const;

private:
    struct TPendingFile;
    void Reshape(int width, int height, TPixelFormat format);
    // Decodes a BMP file kept since loading.
    void Realize() const;

    // Image() decodes a pending file on first use, also through a const bitmap.
    mutable QImage FImage;
    mutable std::shared_ptr<const TPendingFile> FPending;
    TPixelFormat FPixelFormat = TPixelFormat::pfDevice;
    TBitmapHandleType FHandleType = TBitmapHandleType::bmDIB;
    int FEmptyWidth = 0, FEmptyHeight = 0; // size kept while one side is 0 (no pixels)
    TCanvas FCanvas;
};

// ---------------------------------------------------------------------------------------------
// Pictures

// Holds one graphic of the kind its file extension names.
class TPicture : public TObject {
public:
    TPicture();
    ~TPicture() override;

    // The graphic class is chosen by the file's content where its format has a signature (a
    // ".jpg" holding a PNG loads as a PNG), else by the extension: ".bmp" bitmap, ".jpg"/".jpeg"
    // JPEG, ".ico" icon, ".emf"/".wmf" metafile, and today's formats (case ignored). Anything
    // else raises EInvalidGraphic "Unknown picture file extension (.ext)". The file is opened
    // without blocking: only regular files are read.
    void LoadFromFile(const QString& fileName);

    TGraphic* Graphic() const { return FGraphic.get(); }
    void SetGraphic(const TGraphic* graphic); // stores a copy (none clears)
    void Assign(const TPicture* source);      // a copy of the source's graphic
    int Width() const { return FGraphic ? FGraphic->Width() : 0; }
    int Height() const { return FGraphic ? FGraphic->Height() : 0; }

    // Progress of the graphic (JPEG decoding); Sender is the graphic.
    TProgressEvent OnProgress;
    // Called after the graphic changed (load, assign).
    std::function<void()> OnChange;

private:
    void Adopt(std::unique_ptr<TGraphic> graphic);

    std::unique_ptr<TGraphic> FGraphic;
};

// Factory for the graphic class of a picture: by the first bytes of its file where the format
// has a signature, else by its extension ("bmp", "jpg", ... lower case, no dot); nullptr when
// neither is known. See codecs/PictureFormats.h.
std::unique_ptr<TGraphic> CreateGraphicFor(const QByteArray& head, const QString& extension);
