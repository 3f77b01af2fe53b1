// Shared body of the metafile fuzz targets: a picture loaded from bytes and, when it loads,
// played at a small size and measured. Every input must end in a clean error or a drawing: no
// crash, hang or leak.
#pragma once

#include "toolkit/metafile/Metafile.h"

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cstddef>
#include <cstdint>

inline int FuzzMetafile(const uint8_t* data, size_t size, const QString& name) {
    TMetafile picture;
    try {
        picture.LoadFromBytes(QByteArray(reinterpret_cast<const char*>(data), int(size)), name);
    } catch (const Exception&) {
        return 0;
    }
    const int w = std::clamp(picture.Width(), 1, 96);
    const int h = std::clamp(picture.Height(), 1, 96);
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    picture.Paint(painter, QRect(0, 0, w, h));
    painter.end();
    (void)picture.DrawnBounds();
    return 0;
}
