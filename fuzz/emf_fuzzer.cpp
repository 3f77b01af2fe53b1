// Fuzz target: EMF pictures (the file name's extension only names the input in messages).
#include "MetafileFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzMetafile(data, size, QStringLiteral("fuzz.emf"));
}
