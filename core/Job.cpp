#include "core/Job.h"

#include <new>
#include <stdexcept>

namespace moravel {

CancelEvent::CancelEvent() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (!event_) throw std::bad_alloc();
}

CancelEvent::Wait CancelEvent::waitFor(HANDLE handle, unsigned long milliseconds) const noexcept {
    const HANDLE waits[2] = {event_.get(), handle};
    switch (WaitForMultipleObjects(2, waits, FALSE, milliseconds)) {
        case WAIT_OBJECT_0: return Wait::Cancelled;
        case WAIT_TIMEOUT: return Wait::TimedOut;
        default: return Wait::Signalled;
    }
}

std::shared_ptr<Job> Job::start(Work work, Notice notice) {
    auto job = std::make_shared<Job>();
    job->work_ = std::move(work);
    job->notice_ = std::move(notice);
    // The thread owns a share of the job: it may outlive whoever watches it.
    auto* share = new std::shared_ptr<Job>(job);
    job->thread_.reset(CreateThread(nullptr, 0, threadMain, share, 0, nullptr));
    if (!job->thread_) {
        delete share;
        throw std::runtime_error("No thread for the job");
    }
    return job;
}

DWORD WINAPI Job::threadMain(LPVOID data) noexcept {
    const std::unique_ptr<std::shared_ptr<Job>> share(static_cast<std::shared_ptr<Job>*>(data));
    Job& job = **share;
    try {
        job.work_(job);
    } catch (...) {
        // The work keeps its own outcome; an escape is its failure, told as an end.
    }
    job.ended_ = true;
    job.tell();
    return 0;
}

void Job::report(std::uint64_t done, std::uint64_t total) noexcept {
    const int percent = total == 0 || done >= total ? 100 : static_cast<int>(done * 100 / total);
    if (percent_.exchange(percent) == percent || newsPosted_.exchange(true)) return;
    tell();
}

void Job::tell() noexcept {
    try {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (notice_) notice_();
    } catch (...) {
        // A notice that fails: the watcher learns at the next one.
    }
}

void Job::forgetNotice() noexcept {
    try {
        const std::lock_guard<std::mutex> lock(mutex_);
        notice_ = nullptr;
    } catch (...) {
        // No lock: the notice only posts to a window that may be gone, which is harmless.
    }
}

bool Job::waitForEnd(unsigned long milliseconds) const noexcept {
    return !thread_ || WaitForSingleObject(thread_.get(), milliseconds) == WAIT_OBJECT_0;
}

}  // namespace moravel
