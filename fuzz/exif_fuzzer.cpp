// libFuzzer target for the EXIF orientation reader: any bytes give an orientation of 1 to 8 and
// are read only within their size.
#include "toolkit/codecs/Exif.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int orientation = ExifOrientation(data, size);
    if (orientation < 1 || orientation > 8)
        std::abort();
    return 0;
}
