#include "toolkit/Graphics.h"

#include "toolkit/codecs/BmpCodec.h"
#include "toolkit/codecs/PictureFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QSaveFile>

#include <array>
#include <cstring>
#include <vector>

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

// Pixels x0 .. x0 + count of row y of a 24-bit or 32-bit image as blue, green, red.
void RowToBgr(const QImage& image, int y, int x0, int count, uint8_t* bgr) {
    const uint8_t* line = image.constScanLine(y);
    if (image.format() == QImage::Format_BGR888) {
        std::memcpy(bgr, line + 3 * size_t(x0), size_t(count) * 3);
        return;
    }
    const auto* pixels = reinterpret_cast<const uint32_t*>(line) + x0;
    for (int x = 0; x < count; ++x, bgr += 3) {
        bgr[0] = uint8_t(pixels[x]);
        bgr[1] = uint8_t(pixels[x] >> 8);
        bgr[2] = uint8_t(pixels[x] >> 16);
    }
}

// A row of blue, green, red as 0xFFRRGGBB words.
void BgrToWords(const uint8_t* bgr, int count, uint32_t* words) {
    for (int x = 0; x < count; ++x, bgr += 3)
        words[x] = 0xFF000000u | uint32_t(bgr[2]) << 16 | uint32_t(bgr[1]) << 8 | bgr[0];
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
        for (int yy = dst.top(); yy <= dst.bottom(); ++yy)
            RowToBgr(source, yy - rect.Top, dst.left() - rect.Left, dst.width(),
                     img.scanLine(yy) + 3 * dst.left());
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

// A BMP file read, checked and not yet decoded.
struct TBitmap::TPendingFile {
    TPendingFile(const QByteArray& data, const QString& name)
        : Data(data),
          Reader(reinterpret_cast<const uint8_t*>(Data.constData()), size_t(Data.size()), name),
          Name(name) {}
    const QByteArray Data;
    const TBmpReader Reader;
    const QString Name;
};

namespace {

// 24-bit rows of a bitmap, each made when it is asked for, the last few kept.
class TBitmapRows : public TRowReader {
public:
    TBitmapRows(int width, std::function<void(int y, uint8_t* bgr)> make)
        : FWidth(width), FMake(std::move(make)), FRing(size_t(kRing) * size_t(width) * 3) {}
    const uint8_t* Row(int y) override {
        uint8_t* slot = FRing.data() + size_t(y % kRing) * size_t(FWidth) * 3;
        if (FRowOf[size_t(y % kRing)] != y) {
            FMake(y, slot);
            FRowOf[size_t(y % kRing)] = y;
        }
        return slot;
    }

private:
    static constexpr int kRing = 4;
    int FWidth;
    std::function<void(int, uint8_t*)> FMake;
    std::vector<uint8_t> FRing;
    std::array<int, kRing> FRowOf{-1, -1, -1, -1};
};

} // namespace

QImage TGraphic::Render(QSize size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    Paint(painter, image.rect());
    return image;
}

TBitmap::TBitmap() : FCanvas(this) {}

TBitmap::TBitmap(int width, int height, TPixelFormat format) : FCanvas(this) {
    Reshape(width, height, format);
}

TBitmap::~TBitmap() = default;

void TBitmap::Realize() const {
    if (!FPending)
        return;
    const TBmpReader& reader = FPending->Reader;
    QImage image;
    try {
        image = AllocateImage(reader.Width(), reader.Height(),
                              reader.Bgr() ? QImage::Format_BGR888 : QImage::Format_RGB32);
    } catch (const EOutOfResources& e) {
        throw EOutOfResources(QStringLiteral("Bitmap \"%1\": %2")
                                  .arg(QDir::toNativeSeparators(FPending->Name), e.Message()));
    }
    for (int y = 0; y < reader.Height(); ++y)
        reader.ReadRow(y, image.scanLine(y));
    FImage = std::move(image);
    FPending.reset();
}

const QImage& TBitmap::Image() const {
    Realize();
    return FImage;
}

QImage& TBitmap::Image() {
    Realize();
    return FImage;
}

QImage TBitmap::Bgr24Image() const {
    if (FPending) {
        const TBmpReader& reader = FPending->Reader;
        QImage image = AllocateImage(reader.Width(), reader.Height(), QImage::Format_BGR888);
        std::vector<uint32_t> scratch;
        for (int y = 0; y < reader.Height(); ++y)
            reader.ReadRowBgr(y, image.scanLine(y), scratch);
        return image;
    }
    if (FImage.isNull() || FImage.format() == QImage::Format_BGR888)
        return FImage;
    QImage image = AllocateImage(FImage.width(), FImage.height(), QImage::Format_BGR888);
    for (int y = 0; y < FImage.height(); ++y)
        RowToBgr(FImage, y, 0, FImage.width(), image.scanLine(y));
    return image;
}

std::unique_ptr<TRowReader> TBitmap::OpenRows() {
    if (Empty())
        return nullptr;
    if (!FPending)
        return nullptr; // decoded: used whole
    auto pending = FPending;
    auto scratch = std::make_shared<std::vector<uint32_t>>();
    return std::make_unique<TBitmapRows>(Width(), [pending, scratch](int y, uint8_t* bgr) {
        pending->Reader.ReadRowBgr(y, bgr, *scratch);
    });
}

void TBitmap::Reshape(int width, int height, TPixelFormat format) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    const QImage::Format storage = StorageFormat(format);
    if (FPending && format == TPixelFormat::pf24bit && width == Width() && height == Height()) {
        // A BMP file made 24-bit: decoded straight into its final form.
        FImage = Bgr24Image();
        FPending.reset();
        FPixelFormat = format;
        FEmptyWidth = FEmptyHeight = 0;
        return;
    }
    Realize();
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
    const QImage old = FImage; // converted a row at a time, not copied whole first
    const int keepW = std::min(width, old.isNull() ? 0 : old.width());
    const int keepH = std::min(height, old.isNull() ? 0 : old.height());
    const int bpp = storage == QImage::Format_BGR888 ? 3 : 4;
    std::vector<uint8_t> row;
    for (int y = 0; y < height; ++y) {
        uint8_t* dst = next.scanLine(y);
        int from = 0;
        if (y < keepH) {
            if (old.format() == storage) {
                std::memcpy(dst, old.constScanLine(y), size_t(keepW) * bpp);
            } else if (bpp == 3) {
                RowToBgr(old, y, 0, keepW, dst);
            } else {
                row.resize(size_t(keepW) * 3);
                RowToBgr(old, y, 0, keepW, row.data());
                BgrToWords(row.data(), keepW, reinterpret_cast<uint32_t*>(dst));
            }
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
    FPending.reset();
    const QImage::Format storage = StorageFormat(format);
    FImage = image.format() == storage ? image : image.convertToFormat(storage);
    FPixelFormat = format;
    FEmptyWidth = FEmptyHeight = 0;
}

uint8_t* TBitmap::ScanLine(int y) {
    Realize();
    if (y < 0 || y >= FImage.height())
        throw EInvalidOperation(QStringLiteral("Scan line index out of range"));
    return FImage.scanLine(y);
}

const uint8_t* TBitmap::ScanLine(int y) const {
    Realize();
    if (y < 0 || y >= FImage.height())
        throw EInvalidOperation(QStringLiteral("Scan line index out of range"));
    return FImage.constScanLine(y);
}

QByteArray TBitmap::SaveToBytes() const {
    return EncodeBmp24(Image());
}

void TBitmap::SaveToFile(const QString& fileName) const {
    // Streamed from the pixels, never whole in memory, and replaced atomically.
    const QString shown = QDir::toNativeSeparators(fileName);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw EFCreateError(
            QStringLiteral("Cannot create file \"%1\". %2").arg(shown, file.errorString()));
    WriteBmp24(Image(), [&](const char* data, qint64 size) {
        if (!WriteAll(file, data, size))
            throw EFCreateError(
                QStringLiteral("Cannot write file \"%1\". %2").arg(shown, file.errorString()));
    });
    if (!file.commit())
        throw EFCreateError(
            QStringLiteral("Cannot write file \"%1\". %2").arg(shown, file.errorString()));
}

void TBitmap::LoadFromFile(const QString& fileName) {
    LoadFromBytes(ReadPictureFile(fileName), fileName);
}

void TBitmap::LoadFromBytes(const QByteArray& data, const QString& name) {
    auto pending = std::make_shared<const TPendingFile>(data, name);
    FImage = QImage();
    FPixelFormat = pending->Reader.PixelFormat();
    FEmptyWidth = pending->Reader.Width();
    FEmptyHeight = pending->Reader.Height();
    FPending = std::move(pending);
}

void TBitmap::Paint(QPainter& painter, const QRect& target) {
    if (Image().isNull())
        return;
    painter.drawImage(target, FImage);
}

std::unique_ptr<TGraphic> TBitmap::Clone() const {
    auto copy = std::make_unique<TBitmap>();
    copy->FPending = FPending; // the file is only read: shared
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
        FPending = bmp->FPending;
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
    const auto unknown = [&ext] {
        return EInvalidGraphic(QStringLiteral("Unknown picture file extension (.%1)").arg(ext));
    };
    QByteArray head;
    try {
        head = ReadPictureHead(fileName);
    } catch (const EStreamError&) {
        // A file that cannot be read is first of all one of an unknown kind, if its name says so.
        if (!CreateGraphicFor(QByteArray(), ext))
            throw unknown();
        throw;
    }
    std::unique_ptr<TGraphic> graphic = CreateGraphicFor(head, ext);
    if (!graphic)
        throw unknown();
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
