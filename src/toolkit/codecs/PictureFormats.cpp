#include "toolkit/codecs/PictureFormats.h"

#include "toolkit/codecs/AvifCodec.h"
#include "toolkit/codecs/CodecImage.h"
#include "toolkit/codecs/GifCodec.h"
#include "toolkit/codecs/HeifCodec.h"
#include "toolkit/codecs/Icon.h"
#include "toolkit/codecs/Jpeg.h"
#include "toolkit/codecs/JxlCodec.h"
#include "toolkit/codecs/PngCodec.h"
#include "toolkit/codecs/SvgImage.h"
#include "toolkit/codecs/TiffCodec.h"
#include "toolkit/codecs/WebPCodec.h"
#include "toolkit/metafile/Metafile.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool StartsWith(const QByteArray& head, const char* bytes, size_t size, size_t at = 0) {
    return size_t(head.size()) >= at + size && std::memcmp(head.constData() + at, bytes, size) == 0;
}

// A literal's bytes at the start. With an offset, give the size too: (head, literal, offset)
// calls the function above with the offset taken for the size.
template <size_t N> bool StartsWith(const QByteArray& head, const char (&bytes)[N], size_t at = 0) {
    return StartsWith(head, bytes, N - 1, at);
}

uint32_t Le32(const QByteArray& head, size_t at) {
    if (size_t(head.size()) < at + 4)
        return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(head.constData() + at);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Windows bitmaps and OS/2 bitmap arrays and their single-image kinds.
bool IsBmp(const QByteArray& head) {
    static const char* const kinds[] = {"BM", "BA", "CI", "CP", "IC", "PT"};
    if (head.size() < 14)
        return false;
    return std::any_of(std::begin(kinds), std::end(kinds),
                       [&](const char* k) { return StartsWith(head, k, 2); });
}

bool IsJpeg(const QByteArray& head) {
    return StartsWith(head, "\xFF\xD8\xFF");
}

// Icons (type 1) with at least one image; cursors are not pictures here.
bool IsIcon(const QByteArray& head) {
    return head.size() >= 6 && StartsWith(head, "\0\0\1\0", 4) &&
           (uint8_t(head[4]) | uint8_t(head[5]) << 8) > 0;
}

// EMF: the header record (type 1) with " EMF" at byte 40.
bool IsEmf(const QByteArray& head) {
    return Le32(head, 0) == 1 && StartsWith(head, " EMF", 4, 40);
}

// WMF with the placeable header (its key); a WMF without it has no signature worth the name.
bool IsPlaceableWmf(const QByteArray& head) {
    return StartsWith(head, "\xD7\xCD\xC6\x9A");
}

bool IsPng(const QByteArray& head) {
    return StartsWith(head, "\x89PNG\r\n\x1A\n");
}

bool IsGif(const QByteArray& head) {
    return StartsWith(head, "GIF87a") || StartsWith(head, "GIF89a");
}

bool IsWebP(const QByteArray& head) {
    return StartsWith(head, "RIFF") && StartsWith(head, "WEBP", 4, 8);
}

bool IsTiff(const QByteArray& head) {
    return StartsWith(head, "II*\0") || StartsWith(head, "MM\0*") || // classic
           StartsWith(head, "II+\0") || StartsWith(head, "MM\0+");   // BigTIFF
}

// An ISO base media file whose "ftyp" box names one of the brands.
bool HasBrand(const QByteArray& head, std::initializer_list<const char*> brands) {
    if (!StartsWith(head, "ftyp", 4, 4))
        return false;
    const uint32_t boxSize = uint32_t(uint8_t(head[0])) << 24 | uint32_t(uint8_t(head[1])) << 16 |
                             uint32_t(uint8_t(head[2])) << 8 | uint32_t(uint8_t(head[3]));
    const size_t end = std::min<size_t>(std::max<uint32_t>(boxSize, 16), size_t(head.size()));
    for (size_t at = 8; at + 4 <= end; at += 4) { // the major brand, then the compatible ones
        if (at == 12)
            continue; // the minor version
        for (const char* brand : brands)
            if (StartsWith(head, brand, 4, at))
                return true;
    }
    return false;
}

bool IsAvif(const QByteArray& head) {
    return HasBrand(head, {"avif", "avis"});
}

bool IsHeif(const QByteArray& head) {
    return !IsAvif(head) &&
           HasBrand(head, {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1"});
}

bool IsJxl(const QByteArray& head) {
    return StartsWith(head, "\xFF\x0A") || // the bare code stream
           StartsWith(head, "\0\0\0\x0CJXL \r\n\x87\n");
}

// SVG: XML (or nothing but blanks, comments and a doctype) before an <svg element in the first
// bytes; gzip-compressed SVG is known by its extension.
bool IsSvg(const QByteArray& head) {
    int at = 0;
    if (StartsWith(head, "\xEF\xBB\xBF"))
        at = 3;
    while (at < head.size() && std::isspace(uchar(head[at])))
        ++at;
    if (at >= head.size() || head[at] != '<')
        return false;
    const QByteArray text = head.mid(at);
    const qsizetype svg = text.indexOf("<svg");
    if (svg < 0)
        return false;
    // Whatever comes before the element must be markup: a declaration, comments, a doctype.
    const QByteArray before = text.left(svg);
    return before.isEmpty() || before.startsWith("<?xml") || before.startsWith("<!--") ||
           before.startsWith("<!DOCTYPE");
}

template <class T> std::unique_ptr<TGraphic> Make() {
    return std::make_unique<T>();
}

// A picture of today's formats: the generic picture over the format's codec.
template <const TCodec& (*Codec)()> std::unique_ptr<TGraphic> MakeCodecImage() {
    return std::make_unique<TCodecImage>(Codec());
}

std::unique_ptr<TGraphic> MakeMetafile() {
    return CreateMetafileGraphic();
}

std::vector<TPictureFormat> MakeFormats() {
    return {
        // The toolkit's own formats, read as they always were.
        {"BMP", {QStringLiteral("bmp")}, &IsBmp, &Make<TBitmap>},
        {"JPEG", {QStringLiteral("jpg"), QStringLiteral("jpeg")}, &IsJpeg, &Make<TJPEGImage>},
        {"ICO", {QStringLiteral("ico")}, &IsIcon, &Make<TIcon>},
        {"EMF", {QStringLiteral("emf")}, &IsEmf, &MakeMetafile},
        {"WMF", {QStringLiteral("wmf")}, &IsPlaceableWmf, &MakeMetafile},
        // Today's formats, each with its codec (see PictureDecoder.h).
        {"PNG", {QStringLiteral("png"), QStringLiteral("apng")}, &IsPng, &MakeCodecImage<PngCodec>},
        {"GIF", {QStringLiteral("gif")}, &IsGif, &MakeCodecImage<GifCodec>},
        {"TIFF",
         {QStringLiteral("tif"), QStringLiteral("tiff")},
         &IsTiff,
         &MakeCodecImage<TiffCodec>},
        {"WebP", {QStringLiteral("webp")}, &IsWebP, &MakeCodecImage<WebPCodec>},
        {"AVIF", {QStringLiteral("avif")}, &IsAvif, &MakeCodecImage<AvifCodec>},
        {"HEIF",
         {QStringLiteral("heic"), QStringLiteral("heif"), QStringLiteral("hif")},
         &IsHeif,
         &MakeCodecImage<HeifCodec>},
        {"JPEG XL", {QStringLiteral("jxl")}, &IsJxl, &MakeCodecImage<JxlCodec>},
        // SVG is drawn, not decoded: a graphic of its own. Gzip-compressed SVG matches no
        // signature, so its extension (svg, svgz) decides, as for any file without one.
        {"SVG", {QStringLiteral("svg"), QStringLiteral("svgz")}, &IsSvg, &Make<TSvgImage>},
    };
}

} // namespace

const std::vector<TPictureFormat>& PictureFormats() {
    static const std::vector<TPictureFormat> formats = MakeFormats();
    return formats;
}

const TPictureFormat* FindPictureFormat(const QByteArray& head, const QString& extension) {
    const std::vector<TPictureFormat>& formats = PictureFormats();
    for (const TPictureFormat& format : formats)
        if (format.Matches && format.Matches(head))
            return &format;
    for (const TPictureFormat& format : formats)
        if (format.Extensions.contains(extension))
            return &format;
    return nullptr;
}

QString PictureFilePatterns(QChar separator) {
    QStringList patterns;
    for (const TPictureFormat& format : PictureFormats())
        for (const QString& extension : format.Extensions)
            patterns << QStringLiteral("*.") + extension;
    return patterns.join(separator);
}

QString PictureFormatNames() {
    QStringList names;
    for (const TPictureFormat& format : PictureFormats())
        names << QString::fromLatin1(format.Name);
    return names.join(QStringLiteral(", "));
}

std::unique_ptr<TGraphic> CreateGraphicFor(const QByteArray& head, const QString& extension) {
    const TPictureFormat* format = FindPictureFormat(head, extension);
    return format ? format->Create() : nullptr;
}
