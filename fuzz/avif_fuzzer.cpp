// libFuzzer target for AVIF pictures, see LibraryCodecFuzz.h.
#include "LibraryCodecFuzz.h"
#include "toolkit/codecs/AvifCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzLibraryCodec(AvifCodec(), data, size);
}
