#include "core/Files.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

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

}  // namespace moravel
