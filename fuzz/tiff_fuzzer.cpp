// Fuzz target: TIFF pictures through their codec.
#include "CodecFuzz.h"
#include "toolkit/codecs/TiffCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzCodec(TiffCodec(), data, size);
}
