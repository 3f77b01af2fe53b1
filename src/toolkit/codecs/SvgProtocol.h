// What the SVG picture and its renderer process (tapestrix-svg-render) say to each other. The
// renderer is started for each measuring or drawing with the SVG text on one descriptor and,
// for a drawing, a buffer for the pixels on another; it answers with one line on its standard
// output. It limits its own processor time and memory before it reads anything, and its parent
// ends it when it runs longer than that allows.
//
//   tapestrix-svg-render measure CPU_SECONDS MEMORY_BYTES
//     -> "frame X Y WIDTH HEIGHT VIEWPORT_WIDTH VIEWPORT_HEIGHT"
//   tapestrix-svg-render render CPU_SECONDS MEMORY_BYTES X Y WIDTH HEIGHT VIEWPORT_WIDTH
//       VIEWPORT_HEIGHT TARGET_WIDTH TARGET_HEIGHT LEFT TOP COLUMNS ROWS
//     -> "ok"
//   either -> "error WHY" (and exit status 1)
//
// The frame is the part of the document's user space that is the picture (its own size at 96
// dots per inch); the viewport is the one the document is laid out in. A drawing shows the
// frame stretched to TARGET_WIDTH x TARGET_HEIGHT and writes the pixels of its part COLUMNS x
// ROWS from (LEFT, TOP) as premultiplied ARGB32 words, COLUMNS x 4 bytes a row, into the buffer.
// Plain C++ without Qt: the renderer links librsvg alone.
#pragma once

#include <cstdint>

namespace svgrender {

constexpr const char* kProgramName = "tapestrix-svg-render";

constexpr int kSourceFd = 3; // the SVG text (uncompressed); its size is the file's
constexpr int kPixelsFd = 4; // the drawing's pixels, exactly COLUMNS x ROWS x 4 bytes

// Largest SVG text read (after decompression).
constexpr int64_t kMaxSvgBytes = int64_t(32) << 20;

constexpr double kDpi = 96;

} // namespace svgrender
