// The graphic class for each picture file extension.
#include "toolkit/Graphics.h"
#include "toolkit/codecs/Icon.h"
#include "toolkit/codecs/Jpeg.h"
#include "toolkit/metafile/Metafile.h"

std::unique_ptr<TGraphic> CreateGraphicForExtension(const QString& extension) {
    if (extension == QLatin1String("bmp"))
        return std::make_unique<TBitmap>();
    if (extension == QLatin1String("jpg") || extension == QLatin1String("jpeg"))
        return std::make_unique<TJPEGImage>();
    if (extension == QLatin1String("ico"))
        return std::make_unique<TIcon>();
    if (extension == QLatin1String("emf") || extension == QLatin1String("wmf"))
        return CreateMetafileGraphic();
    return nullptr;
}
