// Small picture files that tests write for themselves.
#pragma once

#include "toolkit/Graphics.h"

#include <QString>

namespace testsupport {

// Writes a solid 24-bit BMP and returns its path.
QString WriteBmp(const QString& dir, const QString& name, int w, int h, TColor color);
// Writes a BMP with a pattern (so that scaling and placement show in the pixels).
QString WritePatternBmp(const QString& dir, const QString& name, int w, int h);

} // namespace testsupport
