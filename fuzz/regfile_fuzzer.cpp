// libFuzzer target for the registry's file text: any input parses without harm, and what the
// parser made of it survives being written and read again unchanged.
#include "toolkit/registry/RegistryFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const TRegFileData parsed = ParseRegFile(bytes);
    const QByteArray text = SerializeRegFile(parsed);
    const TRegFileData again = ParseRegFile(text);
    if (again.Damaged || !(again == parsed)) {
        std::fprintf(stderr, "round trip changed the content:\n%s\n", text.constData());
        std::abort();
    }
    return 0;
}
