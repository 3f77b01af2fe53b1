// libFuzzer target for AVIF pictures, see CodecFuzz.h.
#include "CodecFuzz.h"
#include "toolkit/codecs/AvifCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzCodec(AvifCodec(), data, size, int64_t(1) << 20);
}
