// Some decoding libraries print what they find wrong in damaged data on stderr with no way to
// turn it off (Debian's libjxl 0.7 is built to print every failure; dav1d, libavif's AV1 decoder,
// logs to stderr unless its caller sets a logger, which libavif 0.11 does not; libde265, libheif's
// HEVC decoder, prints errors in parameter sets). While one of them
// decodes, the process's stderr goes to /dev/null; what other threads write meanwhile is lost
// with it.
#pragma once

class TQuietStderr {
public:
    TQuietStderr();
    ~TQuietStderr();
    TQuietStderr(const TQuietStderr&) = delete;
    TQuietStderr& operator=(const TQuietStderr&) = delete;
};
