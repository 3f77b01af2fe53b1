// Fuzz target: PNG pictures through their codec.
#include "CodecFuzz.h"
#include "toolkit/codecs/PngCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzCodec(PngCodec(), data, size);
}
