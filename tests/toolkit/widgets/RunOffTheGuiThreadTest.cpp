// Work done away from the GUI thread: results and errors come back; a wait that lasts keeps the
// event loop running and gives up when the program is asked to end.
#include "toolkit/SysUtils.h"
#include "toolkit/widgets/AppEvents.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

TEST(RunOffTheGuiThread, ResultsErrorsAndWaitsThatLast) {
    int value = 0;
    auto result = std::make_shared<int>(0);
    RunOffTheGuiThread([result] { *result = 42; });
    value = *result;
    EXPECT_EQ(value, 42);
    EXPECT_THROW(RunOffTheGuiThread([] { throw EInvalidGraphic(QStringLiteral("bad")); }),
                 EInvalidGraphic);

    // A slow piece of work: timers still fire meanwhile.
    bool ticked = false;
    QTimer::singleShot(50, [&] { ticked = true; });
    RunOffTheGuiThread([] { std::this_thread::sleep_for(std::chrono::milliseconds(600)); });
    EXPECT_TRUE(ticked);

    // Work that never ends: the program asked to end stops the wait.
    const auto release = std::make_shared<std::atomic<bool>>(false);
    SetTerminateAction([] {});
    QTimer::singleShot(300, [] { ApplicationTerminate(); });
    EXPECT_THROW(RunOffTheGuiThread([release] {
                     while (!release->load())
                         std::this_thread::sleep_for(std::chrono::milliseconds(10));
                 }),
                 EAbort);
    release->store(true);
    SetTerminateAction(nullptr);
    ResetApplicationTerminate();
}
