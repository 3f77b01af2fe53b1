// The SVG picture's side of its renderer process (tapestrix-svg-render, see SvgProtocol.h):
// librsvg cannot be interrupted, so every parse and drawing runs in a process of its own, with
// a limit on its processor time and memory, which is ended when it runs past them. The document
// is handed over in sealed shared memory, the pixels come back in shared memory.
#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>

namespace svgrender {

// The part of the document's user space that is the picture, and the viewport it is laid out in.
struct TFrame {
    double X = 0, Y = 0, Width = 0, Height = 0;
    double ViewportWidth = 0, ViewportHeight = 0;
};

// The uncompressed SVG text in sealed shared memory, shared by copies of a picture.
class TSource {
public:
    explicit TSource(const QByteArray& text);
    ~TSource();
    TSource(const TSource&) = delete;
    TSource& operator=(const TSource&) = delete;
    int Fd() const { return FFd; }

private:
    int FFd = -1;
};

// The renderer program: $TAPESTRIX_SVG_RENDER when set, else the one beside the running program,
// else the installed one in PREFIX/libexec/tapestrix (in a build folder, the one the build made
// beside the other programs).
QString RendererPath();

// Processor seconds a measuring (pixels 0) or a drawing of that many pixels may take.
int DefaultCpuSeconds(int64_t pixels);

// The frame of the document. Raises EInvalidGraphic `SVG image "<name>" is not valid: <why>`
// for a document librsvg refuses, that has no size or that takes longer than cpuSeconds.
TFrame Measure(const TSource& source, const QString& name, int cpuSeconds);

// The part of the frame drawn to fill target, as premultiplied ARGB32 of part.size() (part lies
// within target), with the errors of Measure.
QImage Render(const TSource& source, const TFrame& frame, QSize target, const QRect& part,
              const QString& name, int cpuSeconds);

} // namespace svgrender
