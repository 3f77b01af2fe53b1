#include "toolkit/Classes.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>

#include <random>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

class LambdaThread : public TThread {
public:
    explicit LambdaThread(std::function<void(LambdaThread&)> job) : FJob(std::move(job)) {}
    ~LambdaThread() override {
        // Stop before the members the job uses go away.
        Terminate();
        WaitFor();
    }

protected:
    void RunJob() override { FJob(*this); }

private:
    std::function<void(LambdaThread&)> FJob;
};

TEST(Thread, CreatedSuspendedAndRunsOnlyAfterResume) {
    std::atomic<int> runs{0};
    LambdaThread t([&](LambdaThread&) { ++runs; });
    QThread::msleep(20);
    EXPECT_EQ(runs.load(), 0);
    EXPECT_FALSE(t.Started());
    t.WaitFor(); // never started: returns at once
    t.Resume();
    t.WaitFor();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(t.Finished());
}

TEST(Thread, TerminateIsARequestTheJobReads) {
    std::atomic<int> loops{0};
    LambdaThread t([&](LambdaThread& self) {
        while (!self.Terminated()) {
            ++loops;
            QThread::usleep(100);
        }
    });
    t.Resume();
    QThread::msleep(10);
    t.Terminate();
    t.WaitFor();
    EXPECT_TRUE(t.Terminated());
    EXPECT_GT(loops.load(), 0);
}

// The worker blocks in Synchronize while the main thread blocks in WaitFor: the wait serves the
// call, so neither waits for the other.
TEST(Thread, WaitForServesSynchronisedCallsOnTheMainThread) {
    const auto mainId = std::this_thread::get_id();
    std::thread::id ranOn;
    int value = 0;
    LambdaThread t([&](LambdaThread& self) {
        for (int i = 0; i < 50; ++i)
            self.Synchronize([&] {
                ranOn = std::this_thread::get_id();
                ++value;
            });
    });
    t.Resume();
    t.WaitFor();
    EXPECT_EQ(value, 50);
    EXPECT_EQ(ranOn, mainId);
}

TEST(Thread, EventLoopServesSynchronisedCalls) {
    std::atomic<bool> served{false};
    LambdaThread t([&](LambdaThread& self) { self.Synchronize([&] { served = true; }); });
    t.Resume();
    QElapsedTimer timer;
    timer.start();
    while (!t.Finished() && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(served.load());
    EXPECT_TRUE(t.Finished());
    t.WaitFor();
}

TEST(Thread, ErrorsOfASynchronisedCallReachTheWorker) {
    QString caught;
    LambdaThread t([&](LambdaThread& self) {
        try {
            self.Synchronize([] { throw Exception("from the main thread"); });
        } catch (const Exception& e) {
            caught = e.Message();
        }
    });
    t.Resume();
    t.WaitFor();
    EXPECT_EQ(caught, "from the main thread");
}

TEST(Thread, LowestPriorityRaisesTheThreadsNiceValue) {
    const int processNice = getpriority(PRIO_PROCESS, 0);
    std::atomic<int> tid{0};
    std::atomic<bool> release{false};
    LambdaThread t([&](LambdaThread&) {
        tid = int(syscall(SYS_gettid));
        while (!release)
            QThread::usleep(200);
    });
    t.SetPriority(TThreadPriority::tpLowest); // before the start: applied when it starts
    t.Resume();
    while (tid == 0)
        QThread::usleep(100);
    errno = 0;
    EXPECT_GE(getpriority(PRIO_PROCESS, id_t(tid.load())), 10);
    t.SetPriority(TThreadPriority::tpNormal); // may fail for an unprivileged user: no error
    EXPECT_EQ(t.Priority(), TThreadPriority::tpNormal);
    release = true;
    t.WaitFor();
    // The process's own priority is untouched.
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), processNice);
}

TEST(Thread, DestroyingARunningThreadStopsAndWaitsForIt) {
    std::atomic<bool> ended{false};
    {
        LambdaThread t([&](LambdaThread& self) {
            while (!self.Terminated())
                QThread::usleep(100);
            ended = true;
        });
        t.Resume();
    }
    EXPECT_TRUE(ended.load());
}

TEST(Thread, StressStartStopWaitWithSynchronise) {
    std::mt19937 rng(1234);
    int served = 0;
    for (int i = 0; i < 500; ++i) {
        const int delay = int(rng() % 300);
        LambdaThread t([&](LambdaThread& self) {
            for (int k = 0; k < 3 && !self.Terminated(); ++k) {
                QThread::usleep(unsigned(delay));
                self.Synchronize([&] { ++served; });
            }
        });
        t.Resume();
        if (rng() % 2)
            QThread::usleep(unsigned(rng() % 300));
        t.Terminate();
        t.WaitFor();
    }
    EXPECT_GT(served, 0);
}

} // namespace
