// libFuzzer target for JPEG XL pictures, see LibraryCodecFuzz.h.
#include "LibraryCodecFuzz.h"
#include "toolkit/codecs/JxlCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzLibraryCodec(JxlCodec(), data, size);
}
