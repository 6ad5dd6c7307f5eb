#include "core/FileCopy.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/FileSeams.h"
#include "core/Handle.h"

namespace moravel {

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
    if (const auto& stand = fileSeams().copyFile) {
        // A copy that runs on when cancelled (as Wine's system copy does) still counts as cancelled.
        if (!stand(source, target, report)) return false;
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

bool sameContent(const std::string& a, const std::string& b) {
    WIN32_FILE_ATTRIBUTE_DATA first = {}, second = {};
    if (!GetFileAttributesExA(a.c_str(), GetFileExInfoStandard, &first) ||
        !GetFileAttributesExA(b.c_str(), GetFileExInfoStandard, &second))
        return false;
    if (first.nFileSizeLow != second.nFileSizeLow || first.nFileSizeHigh != second.nFileSizeHigh) return false;
    const auto open = [](const std::string& path) {
        return UniqueFile(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    };
    const UniqueFile fileA = open(a), fileB = open(b);
    if (!fileA || !fileB) return false;
    std::vector<char> bufferA(64 * 1024), bufferB(64 * 1024);
    for (;;) {
        DWORD readA = 0, readB = 0;
        if (!ReadFile(fileA.get(), bufferA.data(), static_cast<DWORD>(bufferA.size()), &readA, nullptr) ||
            !ReadFile(fileB.get(), bufferB.data(), static_cast<DWORD>(bufferB.size()), &readB, nullptr) ||
            readA != readB)
            return false;
        if (readA == 0) return true;
        if (std::memcmp(bufferA.data(), bufferB.data(), readA) != 0) return false;
    }
}

}  // namespace moravel
