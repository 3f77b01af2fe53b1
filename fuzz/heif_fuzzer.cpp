// libFuzzer target for HEIF pictures, see CodecFuzz.h.
#include "CodecFuzz.h"
#include "toolkit/codecs/HeifCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzCodec(HeifCodec(), data, size, int64_t(1) << 20);
}
