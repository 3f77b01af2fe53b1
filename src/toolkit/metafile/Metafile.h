// Windows metafile pictures (EMF and WMF), read by the toolkit's own bounds-checked parser and
// played through QPainter with the device-context rules of the system that made them.
#pragma once

#include "toolkit/Graphics.h"

#include <cstdint>
#include <memory>

namespace metafile {
struct TParsed;
}

// What the last Paint of a metafile did; for tests and diagnostics.
struct TMetafilePlayStats {
    int64_t Records = 0;     // records looked at
    int64_t Skipped = 0;     // malformed records passed over
    int64_t Unsupported = 0; // records this player does not draw (EMF+ comments included)
    bool Truncated = false;  // playing stopped at the record or drawing-work limit
};

// An EMF or WMF picture.
//   Size: EMF: the header's frame (0.01 mm) at 96 pixels per inch. Placeable WMF: the bounding
//   box at 96 pixels per inch through its units per inch. Other WMF: the first window extent as
//   pixels (the larger side at most 4096, proportions kept); without one the file is refused.
//   Paint maps the frame or bounding box onto the target rectangle and plays the records
//   without antialiasing; the parts of the target the picture does not draw stay as they were.
class TMetafile : public TGraphic {
public:
    TMetafile();
    ~TMetafile() override;

    int Width() const override;
    int Height() const override;
    bool Transparent() const override { return true; }

    // Errors raise EInvalidGraphic naming the file and what is wrong with it.
    void LoadFromFile(const QString& fileName) override;
    void LoadFromBytes(const QByteArray& data, const QString& name) override;
    void Paint(QPainter& painter, const QRect& target) override;
    // Paint into a rectangle with fractional edges; without clipToTarget the records may draw
    // outside it, as Windows' own playing does.
    void PaintRect(QPainter& painter, const QRectF& target, bool clipToTarget = true);
    // The bounds of what the records draw, in the coordinates of the picture painted at its own
    // size at (0, 0) (pens and text included, clipping not). Windows' conversion of a WMF
    // without a picture size fits these bounds to the output.
    QRectF DrawnBounds() const;
    std::unique_ptr<TGraphic> Clone() const override;

    bool IsEnhanced() const;  // EMF (else WMF, or nothing loaded)
    bool IsPlaceable() const; // WMF with the placeable header
    const TMetafilePlayStats& LastPlayStats() const { return FStats; }

private:
    std::shared_ptr<const metafile::TParsed> FParsed;
    TMetafilePlayStats FStats;
};

// The factory's entry for ".emf" and ".wmf".
std::unique_ptr<TGraphic> CreateMetafileGraphic();
