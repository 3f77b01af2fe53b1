#include "toolkit/codecs/DecodeProgress.h"

#include <algorithm>
#include <chrono>

int64_t SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TDecodeProgress::TDecodeProgress(std::function<void(int percent)> report,
                                 std::function<int64_t()> clock)
    : FReport(std::move(report)), FClock(std::move(clock)), FLastReportTime(FClock()) {}

bool TDecodeProgress::Running(int percent) noexcept {
    percent = std::max(percent, FBest);
    FBest = percent;
    if (percent == FLastReported)
        return true;
    const int64_t now = FClock();
    if (now - FLastReportTime < kIntervalMs)
        return true;
    FLastReported = percent;
    FLastReportTime = now;
    try {
        FReport(percent);
        return true;
    } catch (...) {
        HandlerError = std::current_exception();
        return false;
    }
}
