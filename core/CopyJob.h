#pragma once
// A long piece of work on a thread of its own, watched by the thread that
// started it, and the copy such work is mostly made of.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/Handle.h"

namespace moravel {

// Told how far a copy is (bytes copied, bytes in all); answering false
// cancels it.
using CopyReport = std::function<bool(std::uint64_t copied, std::uint64_t total)>;

// Copies the bytes of source into target (made when missing), in large
// chunks, telling report after each one, and flushes them to the disk.
// Carries over the source's attributes and last-write time; not its security
// descriptor, named streams, extended attributes or creation time. Cancelled,
// it stops within one chunk (or right after its flush) and returns false with
// ERROR_REQUEST_ABORTED; the part already written stays, for the caller to
// delete. Runs on the calling thread: whoever must not wait runs it in a Job.
bool copyFileContent(const std::string& source, const std::string& target, const CopyReport& report);

// For tests only: replaces copyFileContent, so a test can hold a copy
// halfway. It tells how far it is as the real copy does; that answers false
// once the copy is to be cancelled. Empty means the real copy.
extern std::function<bool(const std::string& source, const std::string& target, const CopyReport& report)>
    copyFileForTests;

// Work on a thread of its own. The thread that started it and the work share
// only this object: a cancel flag, how far the work is, and whether it has
// ended. The notice is called on the work's thread, when the work has ended
// and when it first tells a new percentage after the previous news was
// taken: it must do nothing but pass the word on (post a message).
class Job {
public:
    using Work = std::function<void(Job&)>;

    // A job that runs on the caller's thread (small work): call run() on it.
    Job() = default;
    ~Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // Starts work on a new thread. Throws when no thread can be had.
    static std::shared_ptr<Job> start(Work work, std::function<void()> notice);

    // On the work's side.
    bool cancelled() const noexcept { return cancel_.load(); }
    // For work that waits in calls of its own and watches a flag.
    const std::atomic<bool>& cancelFlag() const noexcept { return cancel_; }
    void report(std::uint64_t done, std::uint64_t total) noexcept;

    // On the watcher's side.
    void cancel() noexcept { cancel_ = true; }
    bool ended() const noexcept { return ended_.load(); }
    int percent() const noexcept { return percent_.load(); }  // -1 until told
    void newsTaken() noexcept { newsPosted_ = false; }
    void forgetNotice() noexcept;
    // Waits for the work's thread to end; true once it has.
    bool waitForEnd(unsigned long milliseconds) const noexcept;

private:
    static DWORD WINAPI threadMain(LPVOID data) noexcept;
    void tell() noexcept;

    std::atomic<bool> cancel_{false}, ended_{false}, newsPosted_{false};
    std::atomic<int> percent_{-1};
    std::mutex mutex_;
    std::function<void()> notice_;  // under mutex_
    Work work_;
    UniqueHandle thread_;
};

}  // namespace moravel
