#include "toolkit/codecs/QuietStderr.h"

#include <cstdio>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::mutex Mutex;
int Users = 0;  // quiet scopes open, on any thread
int Saved = -1; // the real stderr while they are

} // namespace

TQuietStderr::TQuietStderr() {
    const std::lock_guard<std::mutex> lock(Mutex);
    if (Users++ > 0)
        return;
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
        return;
    Saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (Saved >= 0)
        ::dup2(null, STDERR_FILENO);
    ::close(null);
}

TQuietStderr::~TQuietStderr() {
    const std::lock_guard<std::mutex> lock(Mutex);
    if (--Users > 0 || Saved < 0)
        return;
    std::fflush(stderr);
    ::dup2(Saved, STDERR_FILENO);
    ::close(Saved);
    Saved = -1;
}
