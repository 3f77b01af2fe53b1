// The toolkit's worker-thread class (the unit keeps the toolkit's name, Classes).
//
// A TThread is created suspended, started with Resume, asked to stop with Terminate, and waited
// for with WaitFor; it is never freed by itself. Synchronize runs a function on the main (GUI)
// thread while the worker waits. The calls go through one queue that the main thread drains from
// its event loop and also from inside WaitFor, so a worker blocked in Synchronize and a main thread
// blocked in WaitFor for that worker cannot wait for each other.
#pragma once

#include "toolkit/SysUtils.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest };

class TThread : public TObject {
public:
    // The thread object is always created suspended; Resume starts it.
    TThread();
    // A thread that runs is asked to terminate and waited for; one never started is not run.
    ~TThread() override;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Resume();
    void Terminate() { FTerminated.store(true); }
    bool Terminated() const { return FTerminated.load(); }
    bool Started() const { return FStarted.load(); }
    bool Finished() const { return FFinished.load(); }

    // Waits until RunJob has returned. On the main thread it keeps running synchronised calls
    // while it waits. Returns at once for a thread that was never started.
    void WaitFor();
    // The same, for at most timeoutMs milliseconds: false when the job is still running then.
    bool WaitFor(int timeoutMs);
    // Lets go of a job that cannot end (one stuck in a read that never returns): the thread runs
    // on detached, and the object must then never be freed (it is in use until the process
    // ends). The job should have been asked to stop first.
    void Abandon();

    // Scheduling priority. On Linux: lowest and below raise the thread's nice value, normal
    // resets it to 0. Failures (an unprivileged process may not lower its nice value) are
    // swallowed; the value asked for is remembered and applied when the thread starts.
    TThreadPriority Priority() const { return FPriority.load(); }
    void SetPriority(TThreadPriority priority);

    // Runs method on the main thread and waits for it; an exception it raises is re-raised in the
    // calling thread. Called on the main thread it runs at once.
    void Synchronize(const std::function<void()>& method) { RunOnMainThread(method); }
    static void RunOnMainThread(const std::function<void()>& method);

    // Runs the queued synchronised calls; the main thread's event loop calls it, and so does
    // WaitFor. Returns true when it ran at least one.
    static bool CheckSynchronize();
    // The thread that serves Synchronize: the thread of the QCoreApplication when one exists,
    // otherwise the thread that created the first worker.
    static bool IsMainThread();

protected:
    // The work; runs on the new thread.
    virtual void RunJob() = 0;

private:
    void ThreadMain();
    void ApplyPriority();

    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FStarted{false};
    std::atomic<bool> FFinished{false};
    std::atomic<TThreadPriority> FPriority{TThreadPriority::tpNormal};
    std::atomic<int> FTid{0};
    std::mutex FPriorityMutex;
    std::mutex FJoinMutex;
};
