// libFuzzer target for JPEG XL pictures, see CodecFuzz.h.
#include "CodecFuzz.h"
#include "toolkit/codecs/JxlCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzCodec(JxlCodec(), data, size, int64_t(1) << 20);
}
