// libFuzzer target for HEIF pictures, see LibraryCodecFuzz.h.
#include "LibraryCodecFuzz.h"
#include "toolkit/codecs/HeifCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzLibraryCodec(HeifCodec(), data, size);
}
