// Text output of the metafile device: fonts from logical-font records, the installed faces that
// stand in for Windows ones, 8-bit character sets, alignment, spacing arrays and the opaque and
// clipping rectangles.
#include "toolkit/metafile/MetafileDevice.h"
#include "toolkit/metafile/MetafileSymbols.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>

namespace metafile {

namespace {

// Windows-1252's characters 0x80..0x9F (0 where the code page has none).
const char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

const char* CodecForCharSet(uint8_t charSet) {
    switch (charSet) {
    case 77:
        return "macintosh";
    case 128:
        return "Shift_JIS";
    case 129:
        return "windows-949";
    case 134:
        return "GBK";
    case 136:
        return "Big5";
    case 161:
        return "windows-1253";
    case 162:
        return "windows-1254";
    case 163:
        return "windows-1258";
    case 177:
        return "windows-1255";
    case 178:
        return "windows-1256";
    case 186:
        return "windows-1257";
    case 204:
        return "windows-1251";
    case 222:
        return "windows-874";
    case 238:
        return "windows-1250";
    default:
        return nullptr;
    }
}

struct TSubstitute {
    const char* Windows;
    const char* Installed[3]; // first installed one wins
};

// Metric-compatible faces first; close relatives where no compatible face exists.
const TSubstitute kSubstitutes[] = {
    {"arial", {"Liberation Sans", "Arimo", "Nimbus Sans"}},
    {"helvetica", {"Liberation Sans", "Nimbus Sans", "Arimo"}},
    {"arial narrow", {"Liberation Sans Narrow", "Nimbus Sans Narrow", "Liberation Sans"}},
    {"times new roman", {"Liberation Serif", "Tinos", "Nimbus Roman"}},
    {"times", {"Liberation Serif", "Nimbus Roman", "Tinos"}},
    {"courier new", {"Liberation Mono", "Cousine", "Nimbus Mono PS"}},
    {"courier", {"Liberation Mono", "Nimbus Mono PS", "Cousine"}},
    {"calibri", {"Carlito", "Liberation Sans", nullptr}},
    {"cambria", {"Caladea", "Liberation Serif", nullptr}},
    // The symbol fonts: their codes are drawn as Unicode characters (MetafileSymbols.h), by a
    // font that has them all, else by one that has most of Symbol's.
    {"symbol", {"Symbola", "DejaVu Sans", nullptr}},
    {"wingdings", {"Symbola", "DejaVu Sans", nullptr}},
    {"wingdings 2", {"Symbola", "DejaVu Sans", nullptr}},
    {"wingdings 3", {"Symbola", "DejaVu Sans", nullptr}},
    {"webdings", {"Symbola", "DejaVu Sans", nullptr}},
    {"ms sans serif", {"Liberation Sans", nullptr, nullptr}},
    {"microsoft sans serif", {"Liberation Sans", nullptr, nullptr}},
    {"ms shell dlg", {"Liberation Sans", nullptr, nullptr}},
    {"ms shell dlg 2", {"Liberation Sans", nullptr, nullptr}},
    {"tahoma", {"DejaVu Sans", "Liberation Sans", nullptr}},
    {"verdana", {"DejaVu Sans", "Liberation Sans", nullptr}},
    {"segoe ui", {"Liberation Sans", nullptr, nullptr}},
    {"system", {"Liberation Sans", nullptr, nullptr}},
    {"ms serif", {"Liberation Serif", nullptr, nullptr}},
    {"georgia", {"DejaVu Serif", "Liberation Serif", nullptr}},
    {"book antiqua", {"P052", "Liberation Serif", nullptr}},
    {"palatino linotype", {"P052", "Liberation Serif", nullptr}},
    {"century schoolbook", {"C059", "Liberation Serif", nullptr}},
    {"bookman old style", {"URW Bookman", "Liberation Serif", nullptr}},
    {"lucida console", {"Liberation Mono", nullptr, nullptr}},
    {"consolas", {"Liberation Mono", nullptr, nullptr}},
    {"fixedsys", {"Liberation Mono", nullptr, nullptr}},
    {"terminal", {"Liberation Mono", nullptr, nullptr}},
};

const QStringList& InstalledFamilies() {
    static const QStringList families = [] {
        QStringList list = QFontDatabase::families();
        for (QString& f : list)
            f = f.toLower();
        return list;
    }();
    return families;
}

bool Installed(const QString& family) {
    return InstalledFamilies().contains(family.toLower());
}

} // namespace

QString DecodeAnsi(const uint8_t* bytes, int length, uint8_t charSet) {
    if (length <= 0)
        return QString();
    if (const char* codec = CodecForCharSet(charSet)) {
        QStringDecoder decoder(codec);
        if (decoder.isValid())
            return decoder.decode(QByteArrayView(reinterpret_cast<const char*>(bytes), length));
    }
    QString text;
    text.reserve(length);
    for (int i = 0; i < length; ++i) {
        const uint8_t b = bytes[i];
        char16_t c = b;
        if (b >= 0x80 && b < 0xA0 && charSet != 2 && kCp1252High[b - 0x80] != 0)
            c = kCp1252High[b - 0x80];
        text.append(QChar(c));
    }
    return text;
}

QString ResolveFontFamily(const QString& face, uint8_t pitchAndFamily) {
    const QString key = face.trimmed().toLower();
    for (const TSubstitute& s : kSubstitutes) {
        if (key != QLatin1String(s.Windows))
            continue;
        for (const char* candidate : s.Installed)
            if (candidate && Installed(QString::fromLatin1(candidate)))
                return QString::fromLatin1(candidate);
    }
    if (!key.isEmpty() && Installed(key))
        return face.trimmed();
    // Unknown face: by the family bits of the logical font, then by pitch.
    const uint8_t family = pitchAndFamily & 0xF0;
    const uint8_t pitch = pitchAndFamily & 0x03;
    if (family == 0x30 || pitch == 1) // FF_MODERN or FIXED_PITCH
        return QStringLiteral("Liberation Mono");
    if (family == 0x10) // FF_ROMAN
        return QStringLiteral("Liberation Serif");
    return QStringLiteral("Liberation Sans");
}

QFont TDevice::MakeFont(double pixelHeight) const {
    const TFontDef& f = FState.Font;
    QFont font(ResolveFontFamily(f.Face, f.PitchAndFamily));
    font.setPixelSize(std::max(1, int(std::lround(pixelHeight))));
    const int weight = f.Weight <= 0 ? 400 : std::clamp(f.Weight, 1, 1000);
    font.setWeight(QFont::Weight(weight));
    font.setItalic(f.Italic);
    font.setUnderline(f.Underline);
    font.setStrikeOut(f.StrikeOut);
    font.setKerning(false);
    font.setStyleStrategy(QFont::StyleStrategy(QFont::NoAntialias | QFont::NoSubpixelAntialias));
    return font;
}

void TDevice::Text(QPointF reference, const QString& input, uint32_t options, const QRectF* rect,
                   const std::vector<QPointF>* advances) {
    if (!MappingUsable())
        return;
    const bool updateCp = FState.TextAlign & TA_UPDATECP;
    if (updateCp)
        reference = FState.Current;

    if (rect && (options & ETO_OPAQUE)) {
        QRectF box = TargetClipBox(*rect);
        if (!AxisAligned()) {
            QPainterPath logical;
            logical.addRect(*rect);
            box = MapPath(logical).boundingRect();
        }
        const QRectF visible = box & FVisible;
        if (Measured(box)) {
        } else if (Spend(64 + int64_t(visible.width() * visible.height())) && !visible.isEmpty()) {
            ApplyClip();
            FPainter.setTransform(FBase);
            FPainter.setCompositionMode(QPainter::CompositionMode_SourceOver);
            FPainter.fillRect(box, ResolveColor(FState.BkColor));
        }
    }
    if (options & ETO_GLYPH_INDEX) {
        // Glyph numbers of the writer's font mean nothing in another font.
        ++FStats.Unsupported;
        return;
    }
    std::vector<QPointF> spacing = advances ? *advances : std::vector<QPointF>();
    const QString text =
        SymbolsToUnicode(input.left(kMaxTextChars), FState.Font, advances ? &spacing : nullptr);
    if (advances)
        advances = &spacing;
    if (text.isEmpty())
        return;

    // The baseline runs along the escapement, measured counter-clockwise as seen on the
    // device; letters stay upright whatever the orientation of the logical axes.
    const QTransform& m = Mapping();
    const double det = Det(m);
    const double escapement = FState.Font.Escapement / 10.0 * M_PI / 180;
    const QPointF dir(std::cos(escapement), -std::sin(escapement) * (det < 0 ? -1 : 1));
    const QPointF along(m.m11() * dir.x() + m.m21() * dir.y(),
                        m.m12() * dir.x() + m.m22() * dir.y());
    const double unit = std::hypot(along.x(), along.y()); // target pixels per logical unit
    if (!(unit > 0) || !std::isfinite(unit))
        return;
    const QPointF ux = along / unit;
    const QPointF uy(-ux.y(), ux.x());
    const double across = std::fabs(det) / unit;

    const TFontDef& f = FState.Font;
    double height;
    double width = 0;
    if (f.DevicePixels || f.Height == 0) {
        // Sizes in pixels of a 96 dpi screen, kept at their physical size.
        const double px = f.Height == 0 ? 16 : std::fabs(double(f.Height));
        height = px * 25.4 / 96 * FSetup.DevPerMmY * std::fabs(FDeviceToTarget.m22());
        if (f.Width != 0)
            width = std::fabs(double(f.Width)) * 25.4 / 96 * FSetup.DevPerMmX *
                    std::fabs(FDeviceToTarget.m11());
    } else {
        height = std::fabs(double(f.Height)) * across;
        if (f.Width != 0)
            width = std::fabs(double(f.Width)) * unit;
    }
    const double maxSide = std::max(FTarget.width(), FTarget.height());
    if (!std::isfinite(height) || height > 8 * maxSide + 256 || height < 0.5)
        return;
    QFont font = MakeFont(height);
    if (f.Height > 0 && !f.DevicePixels) {
        // A positive height is the character cell (ascent plus descent), not the em.
        const QFontMetricsF cell(font);
        const double natural = cell.ascent() + cell.descent();
        if (natural > 0)
            font.setPixelSize(std::max(1, int(std::lround(height * font.pixelSize() / natural))));
    }
    if (width > 0 && width < 8 * maxSide + 256) {
        const double natural = QFontMetricsF(font).averageCharWidth();
        if (natural > 0)
            font.setStretch(std::clamp(int(std::lround(100 * width / natural)), 1, 4000));
    }
    const QFontMetricsF metrics(font);

    // Positions along the baseline in target pixels.
    const qsizetype n = text.size();
    std::vector<QPointF> origins(size_t(n) + 1);
    const double extra = FState.TextCharExtra * unit;
    bool perCharacter = advances != nullptr || FState.TextCharExtra != 0;
    for (qsizetype i = 0; i < n; ++i) {
        QPointF step;
        if (advances && size_t(i) < advances->size()) {
            step = QPointF((*advances)[size_t(i)].x() * unit, -(*advances)[size_t(i)].y() * across);
        } else if (perCharacter && !(text[i].isLowSurrogate() && i > 0)) {
            // A character outside the basic plane advances once, on its first unit.
            const bool pair = text[i].isHighSurrogate() && i + 1 < n;
            step = QPointF(metrics.horizontalAdvance(text.mid(i, pair ? 2 : 1)) + extra, 0);
        }
        origins[size_t(i) + 1] = origins[size_t(i)] + step;
    }
    const double total = perCharacter ? origins[size_t(n)].x() : metrics.horizontalAdvance(text);
    double x0 = 0;
    switch (FState.TextAlign & TA_HMASK) {
    case TA_RIGHT:
        x0 = -total;
        break;
    case TA_CENTER:
        x0 = -total / 2;
        break;
    default:
        break;
    }
    double baseline = 0;
    switch (FState.TextAlign & TA_VMASK) {
    case TA_BASELINE:
        baseline = 0;
        break;
    case TA_BOTTOM:
        baseline = -metrics.descent();
        break;
    default:
        baseline = metrics.ascent();
        break;
    }
    const QPointF origin = Snap(m.map(reference));
    const QTransform local(ux.x(), ux.y(), uy.x(), uy.y(), origin.x(), origin.y());
    const double area = std::min(std::fabs(total) * (metrics.ascent() + metrics.descent()),
                                 FTarget.width() * FTarget.height());
    if (!Spend(256 + int64_t(n) * 64 + int64_t(area)))
        return;

    if (updateCp) {
        const double logical = total / unit;
        const double sign = (FState.TextAlign & TA_HMASK) == TA_RIGHT    ? -1
                            : (FState.TextAlign & TA_HMASK) == TA_CENTER ? 0
                                                                         : 1;
        FState.Current = reference + dir * (logical * sign);
    }

    if (Measuring() && !FPathOpen) {
        Measured(local.mapRect(
            QRectF(x0, baseline - metrics.ascent(), total, metrics.ascent() + metrics.descent())));
        return;
    }

    if (FPathOpen) {
        for (qsizetype i = 0; i < n; ++i) {
            if (text[i].isLowSurrogate())
                continue;
            const bool pair = text[i].isHighSurrogate() && i + 1 < n;
            QPainterPath glyphs;
            const QString piece = perCharacter ? text.mid(i, pair ? 2 : 1) : text;
            glyphs.addText(QPointF(x0, baseline) + origins[size_t(i)], font, piece);
            FPath.addPath(local.map(glyphs));
            if (!perCharacter)
                break;
        }
        FFigureOpen = false;
        return;
    }

    ApplyClip();
    const bool clipped = rect && (options & ETO_CLIPPED);
    if (clipped) {
        FPainter.save();
        FPainter.setTransform(FBase);
        if (AxisAligned()) {
            FPainter.setClipRect(TargetClipBox(*rect), Qt::IntersectClip);
        } else {
            QPainterPath logical;
            logical.addRect(*rect);
            FPainter.setClipPath(MapPath(logical), Qt::IntersectClip);
        }
    }
    FPainter.setTransform(local * FBase);
    FPainter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    if (FState.BkMode == OPAQUE)
        FPainter.fillRect(
            QRectF(x0, baseline - metrics.ascent(), total, metrics.ascent() + metrics.descent()),
            ResolveColor(FState.BkColor));
    FPainter.setFont(font);
    FPainter.setPen(ResolveColor(FState.TextColor));
    if (perCharacter) {
        for (qsizetype i = 0; i < n; ++i) {
            if (text[i].isLowSurrogate())
                continue;
            const bool pair = text[i].isHighSurrogate() && i + 1 < n;
            FPainter.drawText(QPointF(x0, baseline) + origins[size_t(i)],
                              text.mid(i, pair ? 2 : 1));
        }
    } else {
        FPainter.drawText(QPointF(x0, baseline), text);
    }
    FPainter.setTransform(FBase);
    if (clipped)
        FPainter.restore();
}

} // namespace metafile
