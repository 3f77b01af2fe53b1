#include "toolkit/registry/RegistryFile.h"
#include "toolkit/SysUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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

QString EscapeName(const QString& name) {
    QString out;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        const bool edgeSpace = c.isSpace() && (i == 0 || i == name.size() - 1);
        if (IsControl(c) || edgeSpace || QStringView(u"%=[];#\"\\").contains(c))
            out += PercentEscape(c);
        else
            out += c;
    }
    return out;
}

QString UnescapeName(QStringView text) {
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

QString EscapeText(const QString& text) {
    QString out;
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case '"':
            out += QLatin1String("\\\"");
            break;
        default:
            if (IsControl(c))
                out += QLatin1String("\\x") + Hex2(c.unicode());
            else
                out += c;
        }
    }
    // Reading trims blanks around the value: quotes keep those that belong to it.
    const bool quote = !text.isEmpty() && (text.front().isSpace() || text.back().isSpace() ||
                                           text.front() == QLatin1Char('@'));
    return quote ? QLatin1Char('"') + out + QLatin1Char('"') : out;
}

QString UnescapeText(QStringView text) {
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
    TRegFileValue value;
    if (text.size() >= 2 && text.front() == QLatin1Char('"') && text.back() == QLatin1Char('"')) {
        value.Text = UnescapeText(text.mid(1, text.size() - 2));
        return value;
    }
    // A value of unknown type is kept as written, which only text without control characters
    // can be; anything else is read as a string.
    if (text.startsWith(QLatin1Char('@')) && std::none_of(text.begin(), text.end(), IsControl)) {
        if (text.startsWith(kBinaryPrefix) && text.endsWith(QLatin1Char(')'))) {
            const QStringView hex =
                text.mid(kBinaryPrefix.size(), text.size() - kBinaryPrefix.size() - 1);
            bool valid = hex.size() % 2 == 0;
            for (qsizetype i = 0; valid && i < hex.size(); ++i)
                valid = HexDigitValue(hex[i]) >= 0;
            if (valid) {
                value.Type = TRegFileValue::Kind::Binary;
                value.Bytes = QByteArray::fromHex(hex.toLatin1());
                return value;
            }
        }
        value.Type = TRegFileValue::Kind::Other;
        value.Text = text.toString();
        return value;
    }
    value.Text = UnescapeText(text);
    return value;
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
    auto normal = [](QMap<QString, QMap<QString, TRegFileValue>> sections) {
        sections[QString()];
        return sections;
    };
    return normal(Sections) == normal(other.Sections);
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
            data.Sections[section]; // a section without values is still a subkey
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
        data.Sections[section][name] = ParseValue(line.mid(eq + 1).trimmed());
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

bool LoadRegFile(const QString& path, TRegFileData* data, QByteArray* raw, QString* why) {
    QFile file(path);
    if (!file.exists()) {
        *data = TRegFileData();
        if (raw)
            raw->clear();
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        if (why)
            *why = QStringLiteral("%1 cannot be read: %2")
                       .arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (why)
            *why = QStringLiteral("%1 cannot be read: %2")
                       .arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    *data = ParseRegFile(bytes);
    if (raw)
        *raw = bytes;
    return true;
}

bool SaveFileAtomically(const QString& path, const QByteArray& content, QString* why) {
    QSaveFile file(path);
    QString reason;
    // Unbuffered, so that a write that runs short (disk full, size limit) is seen by the write
    // call itself and the cut-off file is never renamed over the old one.
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    if (!ok) {
        reason = file.errorString();
    } else if (errno = 0; file.write(content) != content.size()) {
        // A short write leaves no error on the device; the failed system call's errno tells.
        reason = file.error() != QFileDevice::NoError
                     ? file.errorString()
                     : QString::fromLocal8Bit(std::strerror(errno != 0 ? errno : ENOSPC));
        file.cancelWriting();
        ok = false;
    } else if (!file.commit()) { // commit syncs the new file before the rename
        reason = file.errorString();
        ok = false;
    }
    if (!ok) {
        if (why)
            *why = QStringLiteral("%1 could not be written (%2)")
                       .arg(QDir::toNativeSeparators(path), reason);
        return false;
    }
    SyncFolder(QFileInfo(path).absolutePath());
    return true;
}

void SyncFolder(const QString& dir) {
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
