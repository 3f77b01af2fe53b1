#include "toolkit/Classes.h"

#include <chrono>

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <deque>
#include <exception>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct SyncCall {
    const std::function<void()>* method = nullptr;
    std::exception_ptr error;
    bool done = false;
};

// One queue for the whole process; its condition variable wakes the main thread when a call is
// queued or a thread finishes, and a worker when its call has run.
std::mutex gQueueMutex;
std::condition_variable gQueueChanged;
std::deque<SyncCall*> gQueue;

std::mutex gMainMutex;
std::thread::id gMainThread;
bool gMainThreadSet = false;

void WakeEventLoop() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app)
        QMetaObject::invokeMethod(
            app, [] { TThread::CheckSynchronize(); }, Qt::QueuedConnection);
}

int NiceValue(TThreadPriority priority) {
    switch (priority) {
    case TThreadPriority::tpIdle:
        return 19;
    case TThreadPriority::tpLowest:
        return 10;
    case TThreadPriority::tpLower:
        return 5;
    case TThreadPriority::tpNormal:
        return 0;
    case TThreadPriority::tpHigher:
        return -5;
    case TThreadPriority::tpHighest:
        return -10;
    }
    return 0;
}

} // namespace

bool TThread::IsMainThread() {
    {
        std::lock_guard<std::mutex> lock(gMainMutex);
        if (gMainThreadSet)
            return std::this_thread::get_id() == gMainThread;
    }
    if (QCoreApplication* app = QCoreApplication::instance())
        return QThread::currentThread() == app->thread();
    return false;
}

TThread::TThread() {
    // Without an application object, the thread that creates the first worker serves the queue.
    std::lock_guard<std::mutex> lock(gMainMutex);
    if (!gMainThreadSet && !QCoreApplication::instance()) {
        gMainThread = std::this_thread::get_id();
        gMainThreadSet = true;
    }
}

TThread::~TThread() {
    if (FThread.joinable()) {
        Terminate();
        WaitFor();
    }
}

void TThread::Resume() {
    bool expected = false;
    if (!FStarted.compare_exchange_strong(expected, true))
        return;
    FThread = std::thread([this] { ThreadMain(); });
}

void TThread::ThreadMain() {
    FTid.store(int(syscall(SYS_gettid)));
    ApplyPriority();
    try {
        RunJob();
    } catch (...) {
        // A job lets no error escape by design; anything that does is dropped here rather than
        // ending the process.
    }
    {
        std::lock_guard<std::mutex> lock(gQueueMutex);
        FFinished.store(true);
    }
    gQueueChanged.notify_all();
}

void TThread::WaitFor() {
    WaitFor(-1);
}

bool TThread::WaitFor(int timeoutMs) {
    if (!FStarted.load())
        return true;
    if (FThread.joinable() && FThread.get_id() == std::this_thread::get_id())
        throw EInvalidOperation(QStringLiteral("A thread cannot wait for itself"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto ready = [this] { return FFinished.load() || (IsMainThread() && !gQueue.empty()); };
    for (;;) {
        std::unique_lock<std::mutex> lock(gQueueMutex);
        if (timeoutMs < 0)
            gQueueChanged.wait(lock, ready);
        else if (!gQueueChanged.wait_until(lock, deadline, ready))
            return false;
        if (FFinished.load())
            break;
        lock.unlock();
        CheckSynchronize(); // the main thread serves the job's synchronised calls meanwhile
    }
    std::lock_guard<std::mutex> lock(FJoinMutex);
    if (FThread.joinable())
        FThread.join();
    return true;
}

void TThread::Abandon() {
    std::lock_guard<std::mutex> lock(FJoinMutex);
    if (FThread.joinable())
        FThread.detach();
}

void TThread::SetPriority(TThreadPriority priority) {
    FPriority.store(priority);
    if (FStarted.load() && !FFinished.load())
        ApplyPriority();
}

void TThread::ApplyPriority() {
    std::lock_guard<std::mutex> lock(FPriorityMutex);
    const int tid = FTid.load();
    if (tid == 0 || FFinished.load())
        return;
    // On Linux a nice value set with a thread id applies to that thread only. Lowering it again
    // needs privileges an ordinary user lacks; the error is of no consequence and is ignored.
    (void)setpriority(PRIO_PROCESS, id_t(tid), NiceValue(FPriority.load()));
}

void TThread::RunOnMainThread(const std::function<void()>& method) {
    if (IsMainThread()) {
        method();
        return;
    }
    SyncCall call;
    call.method = &method;
    {
        std::lock_guard<std::mutex> lock(gQueueMutex);
        gQueue.push_back(&call);
    }
    gQueueChanged.notify_all();
    WakeEventLoop();
    {
        std::unique_lock<std::mutex> lock(gQueueMutex);
        gQueueChanged.wait(lock, [&call] { return call.done; });
    }
    if (call.error)
        std::rethrow_exception(call.error);
}

bool TThread::CheckSynchronize() {
    if (!IsMainThread())
        return false;
    bool ran = false;
    for (;;) {
        SyncCall* call = nullptr;
        {
            std::lock_guard<std::mutex> lock(gQueueMutex);
            if (gQueue.empty())
                break;
            call = gQueue.front();
            gQueue.pop_front();
        }
        try {
            (*call->method)();
        } catch (...) {
            call->error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(gQueueMutex);
            call->done = true;
        }
        gQueueChanged.notify_all();
        ran = true;
    }
    return ran;
}
