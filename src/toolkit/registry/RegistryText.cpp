// The registry file's content and its text form: parsing and writing the text.
#include "toolkit/registry/RegistryText.h"
#include "toolkit/SysUtils.h"

#include <QStringDecoder>

#include <algorithm>

namespace {

const QLatin1String kBinaryPrefix("@Binary(");

QString Hex2(char16_t code) {
    return QStringLiteral("%1").arg(unsigned(code), 2, 16, QLatin1Char('0')).toUpper();
}

bool IsControl(QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7F;
}

// %HH, or %uHHHH beyond Latin-1.
QString PercentEscape(QChar c) {
    if (c.unicode() < 0x100)
        return QLatin1Char('%') + Hex2(c.unicode());
    return QStringLiteral("%u") +
           QStringLiteral("%1").arg(unsigned(c.unicode()), 4, 16, QLatin1Char('0')).toUpper();
}

// The hexadecimal number of count digits at text[from], or -1.
int HexNumber(QStringView text, qsizetype from, int count) {
    if (from + count > text.size())
        return -1;
    int value = 0;
    for (int i = 0; i < count; ++i) {
        const int digit = HexDigitValue(text[from + i]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

bool NeedsPercentEscape(const QString& name, qsizetype i) {
    const QChar c = name[i];
    const bool edgeSpace = c.isSpace() && (i == 0 || i == name.size() - 1);
    // A byte order mark at the start of the file is no part of the name there: never written.
    return IsControl(c) || edgeSpace || c == QChar::ByteOrderMark ||
           QStringView(u"%=[];#\"\\").contains(c);
}

QString EscapeName(const QString& name) {
    qsizetype first = 0; // most names need no escape: they are returned as they are
    while (first < name.size() && !NeedsPercentEscape(name, first))
        ++first;
    if (first == name.size())
        return name;
    QString out = name.left(first);
    for (qsizetype i = first; i < name.size(); ++i) {
        if (NeedsPercentEscape(name, i))
            out += PercentEscape(name[i]);
        else
            out += name[i];
    }
    return out;
}

QString UnescapeName(QStringView text) {
    if (!text.contains(QLatin1Char('%')))
        return text.toString();
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        int code = -1;
        int length = 0; // of the escape after "%"
        if (text[i] == QLatin1Char('%')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('u')) {
                code = HexNumber(text, i + 2, 4);
                length = 5;
            } else {
                code = HexNumber(text, i + 1, 2);
                length = 2;
            }
        }
        // Half of a surrogate pair is no character: such an escape stays as written.
        if (code < 0 || QChar::isSurrogate(char32_t(code))) {
            out += text[i];
            continue;
        }
        out += QChar(char16_t(code));
        i += length;
    }
    return out;
}

// The escape of one character of a value's text; empty when it stands for itself.
QLatin1String TextEscape(QChar c) {
    switch (c.unicode()) {
    case '\\':
        return QLatin1String("\\\\");
    case '\n':
        return QLatin1String("\\n");
    case '\r':
        return QLatin1String("\\r");
    case '\t':
        return QLatin1String("\\t");
    case '"':
        return QLatin1String("\\\"");
    default:
        return QLatin1String();
    }
}

QString EscapeText(const QString& text) {
    const bool plain = std::none_of(
        text.begin(), text.end(), [](QChar c) { return IsControl(c) || !TextEscape(c).isEmpty(); });
    QString out;
    if (plain)
        out = text; // most texts are written as they are
    for (qsizetype i = 0; !plain && i < text.size(); ++i) {
        const QChar c = text[i];
        if (!TextEscape(c).isEmpty())
            out += TextEscape(c);
        else if (IsControl(c))
            out += QLatin1String("\\x") + Hex2(c.unicode());
        else
            out += c;
    }
    // Reading trims blanks around the value: quotes keep those that belong to it.
    const bool quote = !text.isEmpty() && (text.front().isSpace() || text.back().isSpace() ||
                                           text.front() == QLatin1Char('@'));
    return quote ? QLatin1Char('"') + out + QLatin1Char('"') : out;
}

QString UnescapeText(QStringView text) {
    if (!text.contains(QLatin1Char('\\')))
        return text.toString();
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != QLatin1Char('\\') || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const QChar next = text[i + 1];
        switch (next.unicode()) {
        case '\\':
        case '"':
            out += next;
            ++i;
            break;
        case 'n':
            out += QLatin1Char('\n');
            ++i;
            break;
        case 'r':
            out += QLatin1Char('\r');
            ++i;
            break;
        case 't':
            out += QLatin1Char('\t');
            ++i;
            break;
        case 'x':
            if (i + 3 < text.size() && HexDigitValue(text[i + 2]) >= 0 &&
                HexDigitValue(text[i + 3]) >= 0) {
                out +=
                    QChar(char16_t(HexDigitValue(text[i + 2]) * 16 + HexDigitValue(text[i + 3])));
                i += 3;
                break;
            }
            [[fallthrough]];
        default:
            out += text[i]; // an unknown escape stays as written
        }
    }
    return out;
}

TRegFileValue ParseValue(QStringView text) {
    if (text.size() >= 2 && text.front() == QLatin1Char('"') && text.back() == QLatin1Char('"'))
        return TRegFileValue::String(UnescapeText(text.mid(1, text.size() - 2)));
    // A value of unknown type is kept as written, which only text without control characters
    // can be; anything else is read as a string.
    if (text.startsWith(QLatin1Char('@')) && std::none_of(text.begin(), text.end(), IsControl)) {
        if (text.startsWith(kBinaryPrefix) && text.endsWith(QLatin1Char(')'))) {
            const QStringView hex =
                text.mid(kBinaryPrefix.size(), text.size() - kBinaryPrefix.size() - 1);
            bool valid = hex.size() % 2 == 0;
            for (qsizetype i = 0; valid && i < hex.size(); ++i)
                valid = HexDigitValue(hex[i]) >= 0;
            if (valid)
                return TRegFileValue::Binary(QByteArray::fromHex(hex.toLatin1()));
        }
        return {TRegFileValue::Kind::Other, text.toString(), {}};
    }
    return TRegFileValue::String(UnescapeText(text));
}

QString SerializeValue(const TRegFileValue& value) {
    switch (value.Type) {
    case TRegFileValue::Kind::Binary:
        return kBinaryPrefix + QString::fromLatin1(value.Bytes.toHex()) + QLatin1Char(')');
    case TRegFileValue::Kind::Other:
        return value.Text;
    case TRegFileValue::Kind::String:
        break;
    }
    return EscapeText(value.Text);
}

QString SectionHeader(const QString& path) {
    QStringList parts = path.split(QLatin1Char('\\'));
    for (QString& part : parts)
        part = EscapeName(part);
    return QLatin1Char('[') + parts.join(QLatin1Char('\\')) + QLatin1Char(']');
}

QString ParseSectionPath(QStringView inner) {
    QStringList parts;
    for (const QStringView part : inner.split(QLatin1Char('\\'))) {
        if (!part.trimmed().isEmpty())
            parts << UnescapeName(part.trimmed());
    }
    return parts.join(QLatin1Char('\\'));
}

} // namespace

bool TRegFileData::operator==(const TRegFileData& other) const {
    if (Sections == other.Sections)
        return true;
    // Equal but for an empty section of the key's own values that only one of them holds.
    auto withoutEmptyOwn = [](const QMap<QString, QMap<QString, TRegFileValue>>& sections) {
        auto copy = sections;
        if (copy.value(QString()).isEmpty())
            copy.remove(QString());
        return copy;
    };
    return withoutEmptyOwn(Sections) == withoutEmptyOwn(other.Sections);
}

namespace {

QString SubkeyPrefix(const QString& section) {
    return section.isEmpty() ? QString() : section + QLatin1Char('\\');
}

} // namespace

bool TRegFileData::HasSection(const QString& section) const {
    if (section.isEmpty() || Sections.contains(section))
        return true;
    // The sections below it sort right after its prefix.
    const QString prefix = SubkeyPrefix(section);
    const auto next = Sections.lowerBound(prefix);
    return next != Sections.cend() && next.key().startsWith(prefix);
}

QStringList TRegFileData::ChildSections(const QString& section) const {
    const QString prefix = SubkeyPrefix(section);
    QStringList names;
    for (auto it = Sections.lowerBound(prefix); it != Sections.cend(); ++it) {
        if (!it.key().startsWith(prefix))
            break;
        if (it.key().isEmpty())
            continue;
        const QString child = it.key().mid(prefix.size()).section(QLatin1Char('\\'), 0, 0);
        if (names.isEmpty() || names.last() != child)
            names.append(child);
    }
    // "A b" sorts between "A" and "A\\x": the sections of one child need not be neighbours.
    names.removeDuplicates();
    names.sort();
    return names;
}

bool TRegFileData::RemoveTree(const QString& section) {
    if (section.isEmpty()) {
        const bool removed = !Sections.isEmpty();
        Sections.clear();
        return removed;
    }
    bool removed = Sections.remove(section) > 0;
    const QString prefix = SubkeyPrefix(section);
    for (auto it = Sections.lowerBound(prefix);
         it != Sections.end() && it.key().startsWith(prefix);) {
        it = Sections.erase(it);
        removed = true;
    }
    return removed;
}

TRegFileData ParseRegFile(const QByteArray& text) {
    TRegFileData data;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder(text);
    if (decoder.hasError())
        data.Damaged = true;
    if (decoded.startsWith(QChar(0xFEFF)))
        decoded.remove(0, 1);
    if (decoded.contains(QChar(0)))
        data.Damaged = true;
    QString section;
    bool placing = true; // false after a broken section header: its lines have no home
    QMap<QString, TRegFileValue>* values = nullptr; // the section's; its node stays where it is
    for (const QStringView rawLine : QStringView(decoded).split(QLatin1Char('\n'))) {
        const QStringView line = rawLine.trimmed();
        if (line.isEmpty() || line.front() == QLatin1Char(';') || line.front() == QLatin1Char('#'))
            continue;
        if (line.front() == QLatin1Char('[')) {
            if (line.back() != QLatin1Char(']')) {
                data.Damaged = true;
                placing = false;
                continue;
            }
            section = ParseSectionPath(line.mid(1, line.size() - 2));
            placing = true;
            values = &data.Sections[section]; // a section without values is still a subkey
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const QString name = eq > 0 ? UnescapeName(line.left(eq).trimmed()) : QString();
        if (name.isEmpty() || name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char('/'))) {
            data.Damaged = true;
            continue;
        }
        if (!placing)
            continue;
        if (!values)
            values = &data.Sections[section];
        // Files are mostly written in order: the hint makes most insertions take constant time.
        values->insert(values->cend(), name, ParseValue(line.mid(eq + 1).trimmed()));
    }
    return data;
}

QByteArray SerializeRegFile(const TRegFileData& data) {
    QString out;
    auto writeValues = [&out](const QMap<QString, TRegFileValue>& values) {
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            out += EscapeName(it.key()) + QLatin1Char('=') + SerializeValue(it.value()) +
                   QLatin1Char('\n');
    };
    if (data.Sections.contains(QString()))
        writeValues(data.Sections.value(QString()));
    for (auto it = data.Sections.cbegin(); it != data.Sections.cend(); ++it) {
        if (it.key().isEmpty())
            continue;
        if (!out.isEmpty())
            out += QLatin1Char('\n');
        out += SectionHeader(it.key()) + QLatin1Char('\n');
        writeValues(it.value());
    }
    return out.toUtf8();
}

QString StorableText(const QString& text) {
    if (text.isValidUtf16())
        return text;
    QString out = text;
    for (qsizetype i = 0; i < out.size(); ++i) {
        if (out[i].isHighSurrogate() && i + 1 < out.size() && out[i + 1].isLowSurrogate())
            ++i; // a pair
        else if (out[i].isSurrogate())
            out[i] = QChar::ReplacementCharacter;
    }
    return out;
}
