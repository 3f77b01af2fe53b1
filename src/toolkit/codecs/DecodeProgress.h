// Progress events of a picture being decoded: "running" events only when the percentage
// changed and at least kIntervalMs have passed since the last one, for every decoder alike.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

class TDecodeProgress {
public:
    // Shortest time between two "running" events.
    static constexpr int64_t kIntervalMs = 500;

    // report(percent) raises the picture's running event; clock() gives steady milliseconds.
    TDecodeProgress(std::function<void(int percent)> report, std::function<int64_t()> clock);

    // For the decoder: the whole percentage done so far. False when the event handler raised an
    // error, which is kept in HandlerError to be rethrown once the decoder has been left.
    bool Running(int percent) noexcept;

    std::exception_ptr HandlerError;

private:
    std::function<void(int)> FReport;
    std::function<int64_t()> FClock;
    int FLastReported = 0;
    int FBest = 0;
    int64_t FLastReportTime;
};

// Milliseconds of a steady clock from any fixed point.
int64_t SteadyMilliseconds();
