// Fuzz target: GIF pictures through their codec.
#include "CodecFuzz.h"
#include "toolkit/codecs/GifCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzCodec(GifCodec(), data, size);
}
