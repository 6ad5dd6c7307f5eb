#include "core/CopyJob.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace moravel {

std::function<bool(const std::string&, const std::string&, const CopyReport&)> copyFileForTests;

namespace {

// Large enough that the calls cost nothing beside the disk, small enough that
// a cancel is seen within a few hundredths of a second.
constexpr DWORD kChunk = 1 << 20;

std::uint64_t sizeOf(HANDLE file) noexcept {
    LARGE_INTEGER size{};
    return GetFileSizeEx(file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

bool copyBytes(HANDLE in, HANDLE out, std::uint64_t total, const CopyReport& report) {
    // The whole size first: a disk that cannot take it refuses before a
    // single byte is written, and the file is laid out in one piece.
    LARGE_INTEGER end{}, start{};
    end.QuadPart = static_cast<LONGLONG>(total);
    if (!SetFilePointerEx(out, end, nullptr, FILE_BEGIN) || !SetEndOfFile(out) ||
        !SetFilePointerEx(out, start, nullptr, FILE_BEGIN))
        return false;
    std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, total ? total : 1)));
    std::uint64_t copied = 0;
    if (report && !report(0, total)) {
        SetLastError(ERROR_REQUEST_ABORTED);
        return false;
    }
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(out, buffer.data(), read, &written, nullptr)) return false;
        if (written != read) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        copied += read;
        if (report && !report(copied, total)) {
            SetLastError(ERROR_REQUEST_ABORTED);
            return false;
        }
    }
    // A source that shrank while we read it: the copy ends where it did.
    if (copied != total && !SetEndOfFile(out)) return false;
    return true;
}

}  // namespace

bool copyFileContent(const std::string& source, const std::string& target, const CopyReport& report) {
    if (copyFileForTests) {
        // A copy that runs on when cancelled (as Wine's system copy does) still counts as cancelled.
        if (!copyFileForTests(source, target, report)) return false;
        if (!report || report(1, 1)) return true;
        SetLastError(ERROR_REQUEST_ABORTED);
        return false;
    }
    const UniqueFile in(CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(in.get(), &info)) return false;
    {
        const UniqueFile out(CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!out) return false;
        const std::uint64_t total = sizeOf(in.get());
        if (!copyBytes(in.get(), out.get(), total, report)) return false;
        // The time of the source's last write, as the system's copy keeps it.
        if (!SetFileTime(out.get(), nullptr, nullptr, &info.ftLastWriteTime)) return false;
        // On the disk here, where a cancel is still heard: a large file's
        // flush takes seconds, and the flush before it takes the target's
        // place then finds next to nothing left to write.
        if (!FlushFileBuffers(out.get())) return false;
        if (report && !report(total, total)) {
            SetLastError(ERROR_REQUEST_ABORTED);
            return false;
        }
    }
    const DWORD carried = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD attributes = info.dwFileAttributes & carried;
    return attributes == 0 || SetFileAttributesA(target.c_str(), attributes);
}

// ---- a job on its own thread --------------------------------------------------------------

std::shared_ptr<Job> Job::start(Work work, std::function<void()> notice) {
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
