#pragma once
// Work on a thread of its own, watched by the thread that started it. Every
// thread of the program is one of these: the copy and the deploy of a row,
// the holder lookup. The two sides share only this object: a cancel event,
// how far the work is, whether it has ended, and a notice that passes the
// word on.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "core/Handle.h"

namespace moravel {

// A cancel anyone may wait on (a manual-reset event), so that work waiting
// for a process, a service or a moment wakes the instant it is cancelled
// rather than at its next look at a flag.
class CancelEvent {
public:
    CancelEvent();  // raises when the system has no event to give
    CancelEvent(const CancelEvent&) = delete;
    CancelEvent& operator=(const CancelEvent&) = delete;

    void set() const noexcept { SetEvent(event_.get()); }
    bool isSet() const noexcept { return WaitForSingleObject(event_.get(), 0) == WAIT_OBJECT_0; }
    HANDLE handle() const noexcept { return event_.get(); }

    // Waits the time out, or less when cancelled meanwhile: true when cancelled.
    bool sleep(unsigned long milliseconds) const noexcept {
        return WaitForSingleObject(event_.get(), milliseconds) == WAIT_OBJECT_0;
    }
    // Waits for a handle to signal, at most the time given: Signalled, Cancelled
    // (checked first) or TimedOut. A failed wait counts as signalled: the
    // caller then looks at what it waited for.
    enum class Wait { Signalled, Cancelled, TimedOut };
    Wait waitFor(HANDLE handle, unsigned long milliseconds) const noexcept;

private:
    UniqueHandle event_;
};

class Job {
public:
    using Work = std::function<void(Job&)>;
    using Notice = std::function<void()>;

    // A job that runs on the caller's thread (small work): its work is called
    // with it directly.
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // Starts work on a new thread. The notice is called on that thread, when
    // the work has ended and when it first tells a new percentage after the
    // previous news was taken: it must do nothing but pass the word on (post
    // a message). Raises when no thread can be had.
    static std::shared_ptr<Job> start(Work work, Notice notice);

    // On the work's side.
    bool cancelled() const noexcept { return cancel_.isSet(); }
    const CancelEvent& cancelEvent() const noexcept { return cancel_; }
    void report(std::uint64_t done, std::uint64_t total) noexcept;

    // On the watcher's side.
    void cancel() const noexcept { cancel_.set(); }
    bool ended() const noexcept { return ended_.load(); }
    int percent() const noexcept { return percent_.load(); }  // -1 until told
    void newsTaken() noexcept { newsPosted_ = false; }
    void forgetNotice() noexcept;
    // Waits for the work's thread to end; true once it has.
    bool waitForEnd(unsigned long milliseconds) const noexcept;

private:
    static DWORD WINAPI threadMain(LPVOID data) noexcept;
    void tell() noexcept;

    CancelEvent cancel_;
    std::atomic<bool> ended_{false}, newsPosted_{false};
    std::atomic<int> percent_{-1};
    std::mutex mutex_;
    Notice notice_;  // under mutex_
    Work work_;
    UniqueHandle thread_;
};

}  // namespace moravel
