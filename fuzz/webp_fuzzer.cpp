// libFuzzer target for WebP pictures, see CodecFuzz.h.
#include "CodecFuzz.h"
#include "toolkit/codecs/WebPCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzCodec(WebPCodec(), data, size, int64_t(1) << 20);
}
