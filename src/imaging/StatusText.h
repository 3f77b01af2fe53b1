// The variables a long-running imaging job shares with the thread that watches it: a status
// text, a progress percentage and a cancel flag. The job's owner keeps them; the imaging
// operations take pointers to them, and an absent (null) pointer is neither read nor written.
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

using TProgressVar = std::atomic<int32_t>; // 0..100, written by the job
using TCancelVar = std::atomic<bool>;      // set by the watcher to ask the job to stop

// A line of text written by one thread and copied by another; each write and read is a whole
// copy under a short lock. An observer, when set, sees every text written, on the writing
// thread, after the text has been stored.
class TStatusText {
public:
    void Set(const QString& text) {
        std::function<void(const QString&)> observer;
        {
            std::lock_guard<std::mutex> lock(FMutex);
            // A deep copy: the stored text never shares its buffer (and so its reference count)
            // with a string of another thread.
            FText = QString(text.constData(), text.size());
            observer = FObserver;
        }
        if (observer)
            observer(text);
    }
    QString Get() const {
        std::lock_guard<std::mutex> lock(FMutex);
        return QString(FText.constData(), FText.size());
    }
    void SetObserver(std::function<void(const QString&)> observer) {
        std::lock_guard<std::mutex> lock(FMutex);
        FObserver = std::move(observer);
    }

private:
    mutable std::mutex FMutex;
    QString FText;
    std::function<void(const QString&)> FObserver;
};
