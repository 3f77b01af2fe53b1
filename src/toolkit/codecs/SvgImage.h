// An SVG picture (plain or gzip-compressed), drawn by librsvg at the size it is drawn at: the
// composer renders it at its fitted size, the editors and the preview at theirs. Its own size is
// its width and height at 96 dots per inch; where they are missing or relative, its viewBox
// (scaled to the one side given); with neither, the extents of what it draws. It loads no other
// file and no URL (only data: URLs), and every reading and drawing runs in a renderer process
// with a limit on its processor time and memory (see SvgProcess.h).
#pragma once

#include "toolkit/Graphics.h"
#include "toolkit/codecs/SvgProcess.h"
#include "toolkit/codecs/SvgProtocol.h"

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <memory>

class TSvgImage : public TGraphic {
public:
    TSvgImage();
    ~TSvgImage() override;

    int Width() const override { return FSize.width(); }
    int Height() const override { return FSize.height(); }
    bool Transparent() const override { return true; }
    bool Scalable() const override { return true; }

    // Reads the file (at most svgrender::kMaxSvgBytes of SVG text, decompressed where it is
    // gzip-compressed) and reads its size. A document that librsvg refuses or that has no size
    // raises EInvalidGraphic `SVG image "<file>" is not valid: <why>`; one larger than the
    // picture limits EOutOfResources.
    void LoadFromFile(const QString& fileName) override;
    void LoadFromBytes(const QByteArray& data, const QString& name) override;

    // Draws the picture rendered at the target's size (only its visible part where the painter
    // only moves).
    void Paint(QPainter& painter, const QRect& target) override;
    // The picture rendered to fill size; sizes beyond the picture limits raise EOutOfResources.
    QImage Render(QSize size) override;
    // The part of the picture rendered at size (part lies within it), premultiplied ARGB32.
    QImage RenderPart(QSize size, const QRect& part) const;
    std::unique_ptr<TGraphic> Clone() const override;

    // Processor seconds a reading or drawing may take; 0 (the default) takes
    // svgrender::DefaultCpuSeconds of the pixels drawn.
    void SetTimeLimit(int seconds) { FTimeLimit = seconds; }
    const svgrender::TFrame& Frame() const { return FFrame; }

private:
    int CpuSeconds(int64_t pixels) const;

    std::shared_ptr<const svgrender::TSource> FSource;
    QString FName;
    svgrender::TFrame FFrame;
    QSize FSize;
    int FTimeLimit = 0;
};

// The SVG text of a file's bytes: gzip-compressed data decompressed, at most maxBytes
// (EOutOfResources beyond, EInvalidGraphic for damaged compressed data); name is for messages.
QByteArray SvgText(const QByteArray& data, const QString& name,
                   int64_t maxBytes = svgrender::kMaxSvgBytes);

// True when the bytes begin as gzip-compressed data does.
bool IsGzip(const QByteArray& head);
