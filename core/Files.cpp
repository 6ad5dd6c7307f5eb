#include "core/Files.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string_view>

#include "core/Handle.h"

namespace moravel {

bool fileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isReadOnly(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

SiblingTemp::SiblingTemp(std::string target) : target_(std::move(target)) {}

SiblingTemp::~SiblingTemp() { discard(); }

template <class Create>
bool SiblingTemp::create(Create&& attempt) {
    discard();
    // The name is the target's plus a short suffix, so the scratch file is on
    // the same volume and in the same folder, whatever form the path has.
    static std::atomic<unsigned> counter{GetTickCount()};
    for (int tries = 0; tries < 64; ++tries) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "~%04x", static_cast<unsigned>((counter++ ^ GetCurrentProcessId()) & 0xFFFFu));
        std::string candidate = target_ + suffix;
        if (attempt(candidate)) {
            path_ = std::move(candidate);
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

bool SiblingTemp::copyFrom(const std::string& source) {
    return create([&](const std::string& candidate) {
        return CopyFileA(source.c_str(), candidate.c_str(), TRUE) != FALSE;
    });
}

bool SiblingTemp::createEmpty() {
    return create([](const std::string& candidate) {
        UniqueFile file(CreateFileA(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        return static_cast<bool>(file);
    });
}

bool SiblingTemp::commit() {
    if (path_.empty()) return false;
    if (!MoveFileExA(path_.c_str(), target_.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return false;
    path_.clear();
    return true;
}

void SiblingTemp::discard() noexcept {
    if (path_.empty()) return;
    const DWORD error = GetLastError();  // keep the reason of the failure that got us here
    SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);  // a copy of a read-only file is read-only
    DeleteFileA(path_.c_str());
    path_.clear();
    SetLastError(error);
}

bool copyFileSafely(const std::string& source, const std::string& destination) {
    SiblingTemp scratch(destination);
    return scratch.copyFrom(source) && scratch.commit();
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

InUseReplacement replaceEvenIfInUse(const std::string& source, const std::string& destination) {
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
    SiblingTemp scratch(destination);
    if (!scratch.copyFrom(source)) return result;

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
