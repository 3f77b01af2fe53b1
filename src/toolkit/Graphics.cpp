#include "toolkit/Graphics.h"

#include "toolkit/codecs/BmpCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QSaveFile>

#include <cstring>

// ---------------------------------------------------------------------------------------------
// Colours

namespace {

const TColorName kStandard[] = {
    {clBlack, "clBlack", "Black"},    {clMaroon, "clMaroon", "Maroon"},
    {clGreen, "clGreen", "Green"},    {clOlive, "clOlive", "Olive"},
    {clNavy, "clNavy", "Navy"},       {clPurple, "clPurple", "Purple"},
    {clTeal, "clTeal", "Teal"},       {clGray, "clGray", "Gray"},
    {clSilver, "clSilver", "Silver"}, {clRed, "clRed", "Red"},
    {clLime, "clLime", "Lime"},       {clYellow, "clYellow", "Yellow"},
    {clBlue, "clBlue", "Blue"},       {clFuchsia, "clFuchsia", "Fuchsia"},
    {clAqua, "clAqua", "Aqua"},       {clWhite, "clWhite", "White"},
};

const TColorName kExtended[] = {
    {clMoneyGreen, "clMoneyGreen", "Money Green"},
    {clSkyBlue, "clSkyBlue", "Sky Blue"},
    {clCream, "clCream", "Cream"},
    {clMedGray, "clMedGray", "Medium Gray"},
};

constexpr TColor Sys(int i) {
    return clSystemColor | i;
}

const TColorName kSystem[] = {
    {Sys(0), "clScrollBar", "Scroll Bar"},
    {Sys(1), "clBackground", "Background"},
    {Sys(2), "clActiveCaption", "Active Caption"},
    {Sys(3), "clInactiveCaption", "Inactive Caption"},
    {Sys(4), "clMenu", "Menu"},
    {Sys(5), "clWindow", "Window"},
    {Sys(6), "clWindowFrame", "Window Frame"},
    {Sys(7), "clMenuText", "Menu Text"},
    {Sys(8), "clWindowText", "Window Text"},
    {Sys(9), "clCaptionText", "Caption Text"},
    {Sys(10), "clActiveBorder", "Active Border"},
    {Sys(11), "clInactiveBorder", "Inactive Border"},
    {Sys(12), "clAppWorkSpace", "Application Workspace"},
    {Sys(13), "clHighlight", "Highlight"},
    {Sys(14), "clHighlightText", "Highlight Text"},
    {Sys(15), "clBtnFace", "Button Face"},
    {Sys(16), "clBtnShadow", "Button Shadow"},
    {Sys(17), "clGrayText", "Gray Text"},
    {Sys(18), "clBtnText", "Button Text"},
    {Sys(19), "clInactiveCaptionText", "Inactive Caption Text"},
    {Sys(20), "clBtnHighlight", "Button Highlight"},
    {Sys(21), "cl3DDkShadow", "3D Dark Shadow"},
    {Sys(22), "cl3DLight", "3D Light"},
    {Sys(23), "clInfoText", "Info Text"},
    {Sys(24), "clInfoBk", "Info Background"},
    {Sys(25), "clHotLight", "Hot Light"},
    {Sys(26), "clGradientActiveCaption", "Gradient Active Caption"},
    {Sys(27), "clGradientInactiveCaption", "Gradient Inactive Caption"},
    {Sys(28), "clMenuHighlight", "Menu Highlight"},
    {Sys(29), "clMenuBar", "Menu Bar"},
    {Sys(30), "clDefault", "Default"},
};

// The classic defaults, used when no GUI application (and so no palette) exists.
const TColor kDefaultSysColors[kSystemColorCount] = {
    0xC8C8C8, 0x000000, 0xD1B499, 0xDBCDBF, 0xF0F0F0, 0xFFFFFF, 0x646464, 0x000000,
    0x000000, 0x000000, 0xB4B4B4, 0xFCF7F4, 0xABABAB, 0xD77800, 0xFFFFFF, 0xF0F0F0,
    0xA0A0A0, 0x6D6D6D, 0x000000, 0x000000, 0xFFFFFF, 0x696969, 0xE3E3E3, 0x000000,
    0xE1FFFF, 0xCC6600, 0xEAD1B9, 0xF2E4D7, 0xFF9933, 0xF0F0F0, 0x000000,
};

std::mutex gSysColorMutex;
TSysColorProvider gSysColorProvider;

TColor PaletteColor(int index) {
    // Reading the palette is only safe where the application object lives; other threads get
    // the application's palette too, as QGuiApplication::palette() is a copy under Qt's lock.
    const QPalette pal = QGuiApplication::palette();
    QPalette::ColorRole role = QPalette::NoRole;
    QPalette::ColorGroup group = QPalette::Active;
    switch (index) {
    case 0:
        role = QPalette::Mid;
        break;
    case 1:
        return kDefaultSysColors[1]; // desktop
    case 2:
    case 13:
    case 26:
    case 28:
        role = QPalette::Highlight;
        break;
    case 3:
    case 27:
        role = QPalette::Button;
        group = QPalette::Inactive;
        break;
    case 4:
    case 29:
    case 15:
        role = QPalette::Button;
        break;
    case 5:
        role = QPalette::Base;
        break;
    case 6:
    case 21:
        role = QPalette::Shadow;
        break;
    case 7:
    case 18:
        role = QPalette::ButtonText;
        break;
    case 8:
        role = QPalette::Text;
        break;
    case 9:
    case 14:
        role = QPalette::HighlightedText;
        break;
    case 10:
    case 11:
    case 12:
    case 16:
        role = QPalette::Mid;
        break;
    case 17:
        role = QPalette::PlaceholderText;
        break;
    case 19:
        role = QPalette::HighlightedText;
        group = QPalette::Inactive;
        break;
    case 20:
        role = QPalette::Light;
        break;
    case 22:
        role = QPalette::Midlight;
        break;
    case 23:
        role = QPalette::ToolTipText;
        break;
    case 24:
        role = QPalette::ToolTipBase;
        break;
    case 25:
        role = QPalette::Link;
        break;
    default:
        role = QPalette::Window;
        break;
    }
    return QColorToColor(pal.color(group, role));
}

} // namespace

const TColorName* StandardColorNames(int* count) {
    *count = int(std::size(kStandard));
    return kStandard;
}
const TColorName* ExtendedColorNames(int* count) {
    *count = int(std::size(kExtended));
    return kExtended;
}
const TColorName* SystemColorNames(int* count) {
    *count = int(std::size(kSystem));
    return kSystem;
}

TColor GetSysColor(int index) {
    if (index < 0 || index >= kSystemColorCount)
        return 0;
    {
        std::lock_guard<std::mutex> lock(gSysColorMutex);
        if (gSysColorProvider)
            return gSysColorProvider(index) & 0xFFFFFF;
    }
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return PaletteColor(index);
    return kDefaultSysColors[index];
}

void SetSysColorProvider(TSysColorProvider provider) {
    std::lock_guard<std::mutex> lock(gSysColorMutex);
    gSysColorProvider = std::move(provider);
}

TColor ColorToRGB(TColor color) {
    if (color < 0)
        return GetSysColor(color & 0xFF);
    return color & 0xFFFFFF;
}

QColor ColorToQColor(TColor color) {
    const TColor c = ColorToRGB(color);
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

TColor QColorToColor(const QColor& color) {
    return TColor(color.red() | color.green() << 8 | color.blue() << 16);
}

QString ColorToText(TColor color) {
    return QLatin1Char('#') + QString::number(uint32_t(color), 16).toUpper();
}

TColor TextToColor(const QString& text) {
    return StrToInt(QStringLiteral("0x") + text.mid(1, 9999));
}

bool IsColorText(const QString& text) {
    return !text.isEmpty() && text[0] == QLatin1Char('#');
}

// ---------------------------------------------------------------------------------------------
// Canvas

TCanvas::TCanvas(TBitmap* owner) : FOwner(owner) {}

void TCanvas::Lock() {
    FMutex.lock();
    FHolder.store(std::this_thread::get_id());
    ++FDepth;
}

bool TCanvas::TryLock() {
    if (!FMutex.try_lock())
        return false;
    FHolder.store(std::this_thread::get_id());
    ++FDepth;
    return true;
}

void TCanvas::Unlock() {
    if (--FDepth == 0)
        FHolder.store(std::thread::id());
    FMutex.unlock();
}

int TCanvas::LockCount() const {
    return FHolder.load() == std::this_thread::get_id() ? FDepth : 0;
}

TColor TCanvas::Pixels(int x, int y) const {
    const QImage& img = FOwner->Image();
    if (x < 0 || y < 0 || x >= img.width() || y >= img.height())
        return -1;
    if (img.format() == QImage::Format_BGR888) {
        const uint8_t* p = img.constScanLine(y) + 3 * x;
        return TColor(p[2] | p[1] << 8 | p[0] << 16);
    }
    const QRgb rgb = img.pixel(x, y);
    return TColor(qRed(rgb) | qGreen(rgb) << 8 | qBlue(rgb) << 16);
}

void TCanvas::SetPixels(int x, int y, TColor color) {
    QImage& img = FOwner->Image();
    if (x < 0 || y < 0 || x >= img.width() || y >= img.height())
        return;
    const TColor c = ColorToRGB(color);
    if (img.format() == QImage::Format_BGR888) {
        uint8_t* p = img.scanLine(y) + 3 * x;
        p[0] = uint8_t(c >> 16);
        p[1] = uint8_t(c >> 8);
        p[2] = uint8_t(c);
        return;
    }
    img.setPixel(x, y, qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
}

void TCanvas::FillRect(const TRect& rect) {
    QImage& img = FOwner->Image();
    const QRect r = rect.ToQRect().normalized().intersected(img.rect());
    if (r.isEmpty())
        return;
    const TColor c = ColorToRGB(FBrush.Color);
    const uint8_t red = uint8_t(c), green = uint8_t(c >> 8), blue = uint8_t(c >> 16);
    if (img.format() == QImage::Format_BGR888) {
        // Build one row, then copy it: much faster than QPainter's generic path for BGR888.
        std::vector<uint8_t> row(size_t(r.width()) * 3);
        for (int x = 0; x < r.width(); ++x) {
            row[3 * x] = blue;
            row[3 * x + 1] = green;
            row[3 * x + 2] = red;
        }
        for (int y = r.top(); y <= r.bottom(); ++y)
            std::memcpy(img.scanLine(y) + 3 * r.left(), row.data(), row.size());
        return;
    }
    QPainter painter(&img);
    painter.fillRect(r, QColor(red, green, blue));
}

void TCanvas::Draw(int x, int y, TGraphic* graphic) {
    if (!graphic || graphic->Empty())
        return;
    StretchDraw(Rect(x, y, x + graphic->Width(), y + graphic->Height()), graphic);
}

void TCanvas::StretchDraw(const TRect& rect, TGraphic* graphic) {
    if (!graphic || graphic->Empty() || rect.Width() <= 0 || rect.Height() <= 0)
        return;
    QImage& img = FOwner->Image();
    if (img.isNull())
        return;
    // A bitmap at its own size into a 24-bit surface: copy rows directly (bitmaps are opaque).
    auto* bitmap = dynamic_cast<TBitmap*>(graphic);
    if (bitmap && img.format() == QImage::Format_BGR888 && rect.Width() == bitmap->Width() &&
        rect.Height() == bitmap->Height()) {
        const QRect dst = rect.ToQRect().intersected(img.rect());
        if (dst.isEmpty())
            return;
        const QImage& source = bitmap->Image();
        const QImage src = source.format() == QImage::Format_BGR888
                               ? source
                               : source.convertToFormat(QImage::Format_BGR888);
        for (int yy = dst.top(); yy <= dst.bottom(); ++yy)
            std::memcpy(img.scanLine(yy) + 3 * dst.left(),
                        src.constScanLine(yy - rect.Top) + 3 * (dst.left() - rect.Left),
                        size_t(dst.width()) * 3);
        return;
    }
    QPainter painter(&img);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.setClipRect(img.rect());
    graphic->Paint(painter, rect.ToQRect());
}

// ---------------------------------------------------------------------------------------------
// Graphic

void TGraphic::Progress(TObject* sender, TProgressStage stage, uint8_t percent, bool redraw,
                        const TRect& r, const QString& msg) {
    if (OnProgress)
        OnProgress(sender, stage, percent, redraw, r, msg);
}

// ---------------------------------------------------------------------------------------------
// Bitmap

namespace {

QImage::Format StorageFormat(TPixelFormat format) {
    return format == TPixelFormat::pf24bit ? QImage::Format_BGR888 : QImage::Format_RGB32;
}

} // namespace

TBitmap::TBitmap() : FCanvas(this) {}

TBitmap::TBitmap(int width, int height, TPixelFormat format) : FCanvas(this) {
    Reshape(width, height, format);
}

TBitmap::~TBitmap() = default;

void TBitmap::Reshape(int width, int height, TPixelFormat format) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    const QImage::Format storage = StorageFormat(format);
    if (width == FImage.width() && height == FImage.height() && FImage.format() == storage &&
        !FImage.isNull()) {
        FPixelFormat = format;
        return;
    }
    if (width == 0 || height == 0) {
        FImage = QImage();
        FPixelFormat = format;
        FEmptyWidth = width;
        FEmptyHeight = height;
        return;
    }
    QImage next = AllocateImage(width, height, storage);
    const QImage old = FImage.isNull()              ? QImage()
                       : FImage.format() == storage ? FImage
                                                    : FImage.convertToFormat(storage);
    const int keepW = std::min(width, old.width());
    const int keepH = std::min(height, old.height());
    const int bpp = storage == QImage::Format_BGR888 ? 3 : 4;
    for (int y = 0; y < height; ++y) {
        uint8_t* dst = next.scanLine(y);
        int from = 0;
        if (y < keepH) {
            std::memcpy(dst, old.constScanLine(y), size_t(keepW) * bpp);
            from = keepW;
        }
        if (from < width) {
            if (bpp == 3)
                std::memset(dst + 3 * from, 0xFF, size_t(width - from) * 3);
            else
                std::fill(reinterpret_cast<uint32_t*>(dst) + from,
                          reinterpret_cast<uint32_t*>(dst) + width, 0xFFFFFFFFu);
        }
    }
    FImage = std::move(next);
    FPixelFormat = format;
    FEmptyWidth = FEmptyHeight = 0;
}

int TBitmap::Width() const {
    return FImage.isNull() ? FEmptyWidth : FImage.width();
}
int TBitmap::Height() const {
    return FImage.isNull() ? FEmptyHeight : FImage.height();
}

void TBitmap::SetWidth(int width) {
    Reshape(width, Height(), FPixelFormat);
}
void TBitmap::SetHeight(int height) {
    Reshape(Width(), height, FPixelFormat);
}
void TBitmap::SetSize(int width, int height) {
    Reshape(width, height, FPixelFormat);
}
void TBitmap::SetPixelFormat(TPixelFormat format) {
    Reshape(Width(), Height(), format);
}

void TBitmap::SetImage(const QImage& image, TPixelFormat format) {
    const QImage::Format storage = StorageFormat(format);
    FImage = image.format() == storage ? image : image.convertToFormat(storage);
    FPixelFormat = format;
    FEmptyWidth = FEmptyHeight = 0;
}

uint8_t* TBitmap::ScanLine(int y) {
    if (y < 0 || y >= FImage.height())
        throw EInvalidOperation(QStringLiteral("Scan line index out of range"));
    return FImage.scanLine(y);
}

const uint8_t* TBitmap::ScanLine(int y) const {
    if (y < 0 || y >= FImage.height())
        throw EInvalidOperation(QStringLiteral("Scan line index out of range"));
    return FImage.constScanLine(y);
}

QByteArray TBitmap::SaveToBytes() const {
    return EncodeBmp24(FImage);
}

void TBitmap::SaveToFile(const QString& fileName) const {
    const QByteArray bytes = SaveToBytes();
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw EFCreateError(QStringLiteral("Cannot create file \"%1\". %2")
                                .arg(QDir::toNativeSeparators(fileName), file.errorString()));
    if (!WriteAll(file, bytes.constData(), bytes.size()) || !file.commit())
        throw EFCreateError(QStringLiteral("Cannot write file \"%1\". %2")
                                .arg(QDir::toNativeSeparators(fileName), file.errorString()));
}

void TBitmap::LoadFromFile(const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2")
                              .arg(QDir::toNativeSeparators(fileName), file.errorString()));
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw EReadError(QStringLiteral("Cannot read file \"%1\". %2")
                             .arg(QDir::toNativeSeparators(fileName), file.errorString()));
    LoadFromBytes(data, fileName);
}

void TBitmap::LoadFromBytes(const QByteArray& data, const QString& name) {
    TPixelFormat format = TPixelFormat::pf24bit;
    QImage img = DecodeBmp(data, name, &format);
    SetImage(img, format);
}

void TBitmap::Paint(QPainter& painter, const QRect& target) {
    if (FImage.isNull())
        return;
    painter.drawImage(target, FImage);
}

std::unique_ptr<TGraphic> TBitmap::Clone() const {
    auto copy = std::make_unique<TBitmap>();
    copy->FImage = FImage.copy();
    copy->FPixelFormat = FPixelFormat;
    copy->FHandleType = FHandleType;
    copy->FEmptyWidth = FEmptyWidth;
    copy->FEmptyHeight = FEmptyHeight;
    return copy;
}

void TBitmap::Assign(const TGraphic* source) {
    if (!source) {
        Reshape(0, 0, FPixelFormat);
        return;
    }
    if (auto* bmp = dynamic_cast<const TBitmap*>(source)) {
        FImage = bmp->FImage.copy();
        FPixelFormat = bmp->FPixelFormat;
        FHandleType = bmp->FHandleType;
        FEmptyWidth = bmp->FEmptyWidth;
        FEmptyHeight = bmp->FEmptyHeight;
        return;
    }
    // Any other graphic is drawn onto white at its own size.
    std::unique_ptr<TGraphic> copy = source->Clone();
    Reshape(0, 0, TPixelFormat::pf24bit);
    Reshape(copy->Width(), copy->Height(), TPixelFormat::pf24bit);
    TCanvasLock lock(Canvas());
    Canvas()->Draw(0, 0, copy.get());
}

// ---------------------------------------------------------------------------------------------
// Picture

TPicture::TPicture() = default;
TPicture::~TPicture() = default;

void TPicture::Adopt(std::unique_ptr<TGraphic> graphic) {
    FGraphic = std::move(graphic);
    if (FGraphic) {
        FGraphic->OnProgress = [this](TObject* sender, TProgressStage stage, uint8_t percent,
                                      bool redraw, const TRect& r, const QString& msg) {
            if (OnProgress)
                OnProgress(sender, stage, percent, redraw, r, msg);
        };
    }
    if (OnChange)
        OnChange();
}

void TPicture::LoadFromFile(const QString& fileName) {
    const QString ext = QFileInfo(fileName).suffix().toLower();
    std::unique_ptr<TGraphic> graphic = CreateGraphicForExtension(ext);
    if (!graphic)
        throw EInvalidGraphic(QStringLiteral("Unknown picture file extension (.%1)").arg(ext));
    graphic->OnProgress = [this](TObject* sender, TProgressStage stage, uint8_t percent,
                                 bool redraw, const TRect& r, const QString& msg) {
        if (OnProgress)
            OnProgress(sender, stage, percent, redraw, r, msg);
    };
    graphic->LoadFromFile(fileName);
    Adopt(std::move(graphic));
}

void TPicture::SetGraphic(const TGraphic* graphic) {
    Adopt(graphic ? graphic->Clone() : nullptr);
}

void TPicture::Assign(const TPicture* source) {
    SetGraphic(source ? source->Graphic() : nullptr);
}
