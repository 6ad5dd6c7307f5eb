#include "core/SetAside.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "core/Handle.h"
#include "core/Paths.h"

namespace moravel {

namespace {

constexpr std::string_view kSetAsideMark = ".old-";
constexpr std::string_view kRestartMark = ".new-";
constexpr std::size_t kTagLength = 8;
constexpr int kNameTries = 64;
constexpr std::chrono::milliseconds kPutBackSlice{50};

// Fresh numbers for tags, different in each process.
std::uint16_t nextUnique() {
    static std::atomic<unsigned> counter{GetTickCount()};
    return static_cast<std::uint16_t>(((counter++ * 0x9E3779B1u) ^ (GetCurrentProcessId() * 0x85EBCA6Bu)) >> 16);
}

// The check always starts with a letter, so no tag is made of decimal digits
// only, as a date or a number a user puts in a name would be.
unsigned tagCheck(unsigned unique) {
    return 0xA000u + ((unique * 2654435761u) >> 7) % 0x6000u;
}

std::string tagText(std::uint16_t unique) {
    char tag[kTagLength + 1];
    std::snprintf(tag, sizeof tag, "%04x%04x", unsigned{unique}, tagCheck(unique));
    return tag;
}

FILETIME lastWritten(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

}  // namespace

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

std::string freshScratchName() { return "~" + tagText(nextUnique()); }

bool isScratchName(std::string_view name) {
    return name.size() == 1 + kTagLength && name[0] == '~' && isOurTag(name.substr(1));
}

std::string setAsideName(const std::string& destination, std::uint16_t unique) {
    return destination + std::string(kSetAsideMark) + tagText(unique);
}

std::string restartFileName(const std::string& destination) {
    return destination + std::string(kRestartMark) + tagText(nextUnique());
}

bool isRestartFileOf(const std::string& path, const std::string& destination) {
    const std::size_t tagAt = destination.size() + kRestartMark.size();
    return !destination.empty() && path.size() == tagAt + kTagLength &&
           lstrcmpiA(path.substr(0, destination.size()).c_str(), destination.c_str()) == 0 &&
           path.compare(destination.size(), kRestartMark.size(), kRestartMark) == 0 &&
           isOurTag(std::string_view(path).substr(tagAt));
}

std::vector<std::string> setAsideFilesOf(const std::string& destination) {
    std::vector<std::string> found;
    const std::string name(fileNamePart(destination));
    if (name.empty()) return found;
    WIN32_FIND_DATAA data;
    const UniqueFind find(FindFirstFileA((destination + std::string(kSetAsideMark) + "*").c_str(), &data));
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

std::string takeSetAsideName(const std::string& path, const std::function<bool(const std::string& name)>& take) {
    for (int tries = 0; tries < kNameTries; ++tries) {
        std::string candidate = setAsideName(path, nextUnique());
        if (take(candidate)) return candidate;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return {};
    }
    return {};
}

std::string renameAside(const std::string& path) {
    // Never over a file already there, ours or not: a name taken means the next one.
    const std::string aside = takeSetAsideName(path, [&path](const std::string& name) {
        return MoveFileExA(path.c_str(), name.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
    });
    return aside.empty() ? aside : fullPath(aside);
}

bool putBack(const std::string& aside, const std::string& destination, PutBack how,
             std::chrono::milliseconds patience) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (how == PutBack::OverNewFile ? MOVEFILE_REPLACE_EXISTING : 0);
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (int tries = 1;; ++tries) {
        if (MoveFileExA(aside.c_str(), destination.c_str(), flags)) return true;
        const DWORD error = GetLastError();
        if (tries >= 2 && std::chrono::steady_clock::now() >= deadline) return SetLastError(error), false;
        if (patience.count() > 0) Sleep(static_cast<DWORD>(kPutBackSlice.count()));
    }
}

bool putOldBack(const std::string& aside, const std::string& destination) {
    constexpr std::chrono::milliseconds kPutBackWait{2000};  // refused while its user lets go
    return putBack(aside, destination, PutBack::OverNewFile, kPutBackWait);
}

bool deleteSetAside(const std::string& path) {
    if (DeleteFileA(path.c_str())) return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void markForDeletionAtRestart(const std::string& path) {
    MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

void SetAsideFiles::sweep() {
    paths_.erase(std::remove_if(paths_.begin(), paths_.end(), deleteSetAside), paths_.end());
}

void SetAsideFiles::collectLeftovers(const std::string& destination) {
    std::vector<std::string> found = setAsideFilesOf(destination);
    if (found.empty()) return;
    if (!fileExists(destination)) {
        const auto newest = std::max_element(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
            const FILETIME first = lastWritten(a), second = lastWritten(b);
            return CompareFileTime(&first, &second) < 0;
        });
        if (!putBack(*newest, destination)) return;
        found.erase(newest);
    }
    for (std::string& path : found) {
        if (deleteSetAside(path) || std::find(paths_.begin(), paths_.end(), path) != paths_.end()) continue;
        markForDeletionAtRestart(path);
        paths_.push_back(std::move(path));
    }
}

void removeScratchFilesBeside(const std::vector<std::string>& paths) {
    std::vector<std::string> folders;
    for (const std::string& path : paths) {
        const std::string folder = folderOf(fullPath(path));
        if (folder.empty() || std::any_of(folders.begin(), folders.end(), [&](const std::string& seen) {
                return lstrcmpiA(seen.c_str(), folder.c_str()) == 0;
            }))
            continue;
        folders.push_back(folder);
        WIN32_FIND_DATAA data;
        const UniqueFind find(FindFirstFileA((folder + "~*").c_str(), &data));
        if (!find) continue;
        do {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY || !isScratchName(data.cFileName)) continue;
            const std::string scratch = folder + data.cFileName;
            SetFileAttributesA(scratch.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(scratch.c_str());
        } while (FindNextFileA(find.get(), &data));
    }
}

void sweepAtStart(const std::vector<std::string>& destinations, SetAsideFiles& setAside) {
    for (const std::string& destination : destinations) setAside.collectLeftovers(destination);
    // Their folders are also those of the version backups, which lie beside them.
    removeScratchFilesBeside(destinations);
}

}  // namespace moravel
