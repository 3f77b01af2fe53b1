// libFuzzer target for WebP pictures, see LibraryCodecFuzz.h.
#include "LibraryCodecFuzz.h"
#include "toolkit/codecs/WebPCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzLibraryCodec(WebPCodec(), data, size);
}
