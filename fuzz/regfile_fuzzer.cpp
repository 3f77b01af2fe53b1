// libFuzzer target for the registry's file text: any input parses without harm, and what the
// parser made of it survives being written and read again unchanged; so does any text stored as
// a value or a name, which the store relies on when it keeps what it wrote without reading it.
#include "toolkit/registry/RegistryFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void ExpectRoundTrip(const TRegFileData& data) {
    const QByteArray text = SerializeRegFile(data);
    const TRegFileData again = ParseRegFile(text);
    if (again.Damaged || !(again == data)) {
        std::fprintf(stderr, "round trip changed the content:\n%s\n", text.constData());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const TRegFileData parsed = ParseRegFile(bytes);
    ExpectRoundTrip(parsed);

    // The input as UTF-16 (any code units, halves of surrogate pairs too), stored as the store
    // stores it: a value's text, and with what key and value names cannot hold removed, a name.
    const QString text = StorableText(
        QString::fromUtf16(reinterpret_cast<const char16_t*>(data), qsizetype(size / 2)));
    QString name = text;
    name.remove(QLatin1Char('\\')).remove(QLatin1Char('/')).remove(QChar(0));
    TRegFileData edited = parsed;
    TRegFileEdit edit{TRegFileEdit::Kind::SetValue, QString(), QStringLiteral("v"), {}};
    edit.Value.Text = text;
    edit.ApplyTo(edited);
    if (!name.isEmpty()) {
        edit.Name = name;
        edit.ApplyTo(edited);
        edit.Section = name;
        edit.ApplyTo(edited);
    }
    ExpectRoundTrip(edited);
    return 0;
}
