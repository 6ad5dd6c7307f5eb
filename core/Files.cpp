#include "core/Files.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <new>
#include <string_view>

#include "core/Handle.h"

namespace moravel {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A fresh name in the target's folder: "~" and hexadecimal digits, never
// longer than the target's own name. Empty when the target has no name.
std::string scratchCandidate(const std::string& target) {
    static std::atomic<unsigned> counter{GetTickCount()};
    const std::size_t cut = target.find_last_of("\\/:");
    const std::size_t folderLength = cut == std::string::npos ? 0 : cut + 1;
    const std::size_t room = target.size() - folderLength;
    if (room == 0) return {};
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x",
                  (counter++ * 0x9E3779B1u) ^ (static_cast<unsigned>(GetCurrentProcessId()) * 0x85EBCA6Bu));
    const std::string name =
        room == 1 ? std::string(digits, 1) : "~" + std::string(digits, std::min<std::size_t>(8, room - 1));
    return target.substr(0, folderLength) + name;
}

// Opening the file this way fails because someone else has it open.
bool sharingViolation(const std::string& path, DWORD access, DWORD share) {
    const UniqueFile file(CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    return !file && GetLastError() == ERROR_SHARING_VIOLATION;
}

bool readWhole(const std::string& path, std::string& content) {
    const UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) return false;
    if (size.QuadPart > 0x7FFFFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    content.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    return ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr) &&
           read == content.size();
}

}  // namespace

std::string workingDirectory() {
    const DWORD size = GetCurrentDirectoryA(0, nullptr);
    std::string path(size, '\0');
    const DWORD length = GetCurrentDirectoryA(size, path.data());
    path.resize(length < size ? length : 0);
    return path;
}

bool fileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isReadOnly(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

std::string systemErrorText(unsigned long error) {
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                  0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '.' || text[length - 1] == ' ' || text[length - 1] == '\r' ||
                          text[length - 1] == '\n'))
        --length;
    return length > 0 ? std::string(text, length) : "error " + std::to_string(error);
}

ScratchFile::ScratchFile(std::string target) : target_(std::move(target)) {}

ScratchFile::~ScratchFile() { discard(); }

bool ScratchFile::createEmpty() {
    discard();
    for (int tries = 0; tries < 64; ++tries) {
        std::string candidate = scratchCandidate(target_);
        if (candidate.empty()) {
            SetLastError(ERROR_INVALID_NAME);
            return false;
        }
        // Only a new file: one already there under that name is someone
        // else's, and must never be the one we delete.
        const UniqueFile file(CreateFileA(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            path_ = std::move(candidate);
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

namespace {

// Best effort: a read-only copy cannot be opened to flush on Windows.
void flushToDisk(const std::string& path) noexcept {
    const DWORD error = GetLastError();
    const UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) FlushFileBuffers(file.get());
    SetLastError(error);
}

}  // namespace

bool ScratchFile::copyFrom(const std::string& source, CopyProgress* progress) {
    // The scratch file is ours and known before the copy starts, so a copy
    // that fails halfway (a full disk) or is cancelled leaves only a part we
    // then delete.
    if (!createEmpty()) return false;
    const CopyReport report = [progress](std::uint64_t copied, std::uint64_t total) {
        return !progress || progress->copying(copied, total);
    };
    if (copyFileContent(source, path_, report)) return true;
    discard();
    return false;
}

bool ScratchFile::commit() {
    if (path_.empty()) return false;
    // On the disk before it takes the target's place, so a power cut right
    // after cannot leave a target without its bytes.
    flushToDisk(path_);
    const bool done = replaceTarget();
    discard();  // what is still ours after the target has its bytes, or after a refusal
    return done;
}

bool ScratchFile::replaceTarget() {
    const auto moveOver = [this] {
        if (!MoveFileExA(path_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return false;
        path_.clear();
        return true;
    };
    const DWORD attributes = GetFileAttributesA(target_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return moveOver();  // nothing to replace yet
    // On Windows a read-only file refuses to be written or replaced, by
    // administrators too; Wine run as root lets both through, so we ask.
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // Someone who has the target open without sharing deletion stops every
    // rename; Wine's ReplaceFileA, asked all the same, leaves an empty
    // rfXXXX.tmp of its own beside it. ReplaceFileA keeps what the target
    // carries besides its bytes (security, named streams, creation time,
    // attributes); the move keeps none of it.
    if (!sharingViolation(target_, DELETE, kShareAll)) {
        if (ReplaceFileA(target_.c_str(), path_.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                         nullptr)) {
            path_.clear();
            return true;
        }
        if (moveOver()) return true;
    }
    // Refused while someone holds the target: a holder who shares writing
    // can still be written past.
    if (sharingViolation(target_, GENERIC_READ, 0)) return writeOverTarget();
    return false;
}

// The target is held by someone who shares writing (a reader such as an
// editor, a scanner or a second copy of this program) but stops the replace:
// the bytes can still be written over. All in one write, after the file has
// grown to its new size (so a full disk refuses before anything changes), then
// flushed. A holder that does not share writing refuses the open, and the
// target stays as it was.
bool ScratchFile::writeOverTarget() {
    const UniqueFile file(CreateFileA(target_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::string content;
    try {
        if (!readWhole(path_, content)) return false;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    LARGE_INTEGER size{}, newSize{}, start{};
    newSize.QuadPart = static_cast<LONGLONG>(content.size());
    if (!GetFileSizeEx(file.get(), &size)) return false;
    if (newSize.QuadPart > size.QuadPart &&
        !(SetFilePointerEx(file.get(), newSize, nullptr, FILE_BEGIN) && SetEndOfFile(file.get())))
        return false;
    DWORD written = 0;
    return SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) &&
           WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
           written == content.size() && SetEndOfFile(file.get()) && FlushFileBuffers(file.get());
}

void ScratchFile::discard() noexcept {
    if (path_.empty()) return;
    const DWORD error = GetLastError();  // keep the reason of the failure that got us here
    SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);  // a copy of a read-only file is read-only
    DeleteFileA(path_.c_str());
    path_.clear();
    SetLastError(error);
}

bool replaceFile(const std::string& source, const std::string& target, CopyProgress* progress) {
    ScratchFile scratch(target);
    return scratch.copyFrom(source, progress) && scratch.commit();
}

// ---- replacing a file that stays in use ----------------------------------------------------

bool (*moveIntoPlaceForTests)(const std::string& scratch, const std::string& destination) = nullptr;

namespace {

constexpr std::string_view kSetAsideMark = ".old-";
constexpr std::size_t kTagLength = 8;

struct FindTraits {
    using Handle = HANDLE;
    static Handle invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Handle h) noexcept { FindClose(h); }
};
using UniqueFind = Unique<FindTraits>;

// A set-aside tag is a unique number and a check of it, four lowercase hex
// digits each. The check always starts with a letter, so no tag is made of
// decimal digits only, as a date or a number a user puts in a name would be.
unsigned tagCheck(unsigned unique) {
    return 0xA000u + ((unique * 2654435761u) >> 7) % 0x6000u;
}

bool isOurTag(std::string_view tag) {
    if (tag.size() != kTagLength) return false;
    unsigned value[2] = {0, 0};
    for (std::size_t i = 0; i < kTagLength; ++i) {
        const char c = tag[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        value[i / 4] = value[i / 4] * 16 + static_cast<unsigned>(digit);
    }
    return value[1] == tagCheck(value[0]);
}

// True when the file is gone: deleted now, or already.
bool deleteSetAside(const std::string& path) {
    if (DeleteFileA(path.c_str())) return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Set-aside files are remembered by full path: the working directory may
// change before they are tried again.
std::string fullPath(const std::string& path) {
    const DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    std::string full(size, '\0');
    const DWORD length = size ? GetFullPathNameA(path.c_str(), size, full.data(), nullptr) : 0;
    if (length == 0 || length >= size) return path;
    full.resize(length);
    return full;
}

// Needs administrator rights on Windows; refused otherwise, which is fine:
// the file is tried again at later passes and at the next start.
void markForDeletionAtRestart(const std::string& path) {
    MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

}  // namespace

std::string_view fileNamePart(std::string_view path) {
    const std::size_t at = path.find_last_of("\\/:");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

std::string setAsideName(const std::string& destination, std::uint16_t unique) {
    char tag[kTagLength + 1];
    std::snprintf(tag, sizeof tag, "%04x%04x", unsigned{unique}, tagCheck(unique));
    return destination + std::string(kSetAsideMark) + tag;
}

std::vector<std::string> setAsideFilesOf(const std::string& destination) {
    std::vector<std::string> found;
    const std::string name(fileNamePart(destination));
    if (name.empty()) return found;
    WIN32_FIND_DATAA data;
    const UniqueFind find(
        FindFirstFileA((destination + std::string(kSetAsideMark) + "*").c_str(), &data));
    if (!find) return found;
    do {
        const std::string_view entry = data.cFileName;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (entry.size() != name.size() + kSetAsideMark.size() + kTagLength) continue;
        // The file system ignores letter case in the name; the mark and the tag are ours, exactly.
        if (lstrcmpiA(std::string(entry.substr(0, name.size())).c_str(), name.c_str()) != 0) continue;
        const std::string_view suffix = entry.substr(name.size());
        if (suffix.substr(0, kSetAsideMark.size()) != kSetAsideMark) continue;
        if (!isOurTag(suffix.substr(kSetAsideMark.size()))) continue;
        found.push_back(fullPath(destination + std::string(suffix)));
    } while (FindNextFileA(find.get(), &data));
    return found;
}

void SetAsideFiles::sweep() {
    paths_.erase(std::remove_if(paths_.begin(), paths_.end(), deleteSetAside), paths_.end());
}

void SetAsideFiles::collectLeftovers(const std::string& destination) {
    if (!fileExists(destination)) return;
    for (std::string& path : setAsideFilesOf(destination)) {
        if (deleteSetAside(path) || std::find(paths_.begin(), paths_.end(), path) != paths_.end())
            continue;
        markForDeletionAtRestart(path);
        paths_.push_back(std::move(path));
    }
}

InUseReplacement replaceEvenIfInUse(const std::string& source, const std::string& destination,
                                    CopyProgress* progress) {
    InUseReplacement result;
    // Renaming a read-only file aside would get round its protection: it
    // waits like any busy file.
    if (!fileExists(destination) || isReadOnly(destination)) return result;
    {
        // Renaming needs delete access. A running program grants it; a holder
        // that does not share deletion refuses, and then nothing is touched.
        const UniqueFile probe(CreateFileA(destination.c_str(), DELETE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!probe) return result;
    }
    ScratchFile scratch(destination);
    if (!scratch.copyFrom(source, progress)) return result;

    // Never over a file already there, ours or not: a name taken means the next one.
    static std::atomic<unsigned> counter{GetTickCount()};
    std::string aside;
    for (int tries = 0; tries < 64 && aside.empty(); ++tries) {
        std::string candidate = setAsideName(
            destination, static_cast<std::uint16_t>((counter++ ^ GetCurrentProcessId()) & 0xFFFFu));
        if (MoveFileExA(destination.c_str(), candidate.c_str(), MOVEFILE_WRITE_THROUGH)) {
            aside = std::move(candidate);
            continue;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return result;
    }
    if (aside.empty()) return result;

    const bool inPlace = moveIntoPlaceForTests ? moveIntoPlaceForTests(scratch.path(), destination)
                                               : scratch.commit();
    if (!inPlace) {
        // The destination is never left missing: the old file goes back, and
        // the scratch file goes with `scratch`.
        MoveFileExA(aside.c_str(), destination.c_str(), MOVEFILE_WRITE_THROUGH);
        return result;
    }
    result.replaced = true;
    if (!deleteSetAside(aside)) {
        markForDeletionAtRestart(aside);
        result.setAside = fullPath(aside);
    }
    return result;
}

}  // namespace moravel
