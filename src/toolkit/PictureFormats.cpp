// The graphic class for each picture file extension.
#include "toolkit/Graphics.h"

std::unique_ptr<TGraphic> CreateGraphicForExtension(const QString& extension) {
    if (extension == QLatin1String("bmp"))
        return std::make_unique<TBitmap>();
    if (extension == QLatin1String("jpg") || extension == QLatin1String("jpeg") ||
        extension == QLatin1String("ico") || extension == QLatin1String("emf") ||
        extension == QLatin1String("wmf"))
        throw EInvalidGraphic(
            QStringLiteral("Loading .%1 pictures is not available yet").arg(extension));
    return nullptr;
}
