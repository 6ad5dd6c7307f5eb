#pragma once
// Stand-ins a test puts in place of the steps of a copy or a replace that
// nothing outside can make pause or fail on demand. Empty means the real
// step; a test sets them under a ScopedFileSeams, which puts back what was.
#include <functional>
#include <string>

#include "core/FileCopy.h"

namespace moravel {

struct FileSeams {
    // In place of copyFileContent, so that a copy can be held halfway. It
    // tells how far it is as the real copy does; that answers false once the
    // copy is to be cancelled.
    std::function<bool(const std::string& source, const std::string& target, const CopyReport& report)> copyFile;

    // In place of the move of the new file into place in replaceEvenIfInUse.
    std::function<bool(const std::string& scratch, const std::string& destination)> moveIntoPlace;

    // In place of the system's ReplaceFileA (always given a backup name), so
    // that each of its documented partial outcomes can be produced. It
    // answers as ReplaceFileA does, the error by SetLastError.
    std::function<bool(const std::string& replaced, const std::string& replacement, const std::string& backup)>
        replaceFile;

    // In place of the system's MoveFileExA that puts a replace in the list
    // for the next restart, so that a refusal can be produced where the
    // system grants it (Wine as root). It answers as MoveFileExA does; while
    // it stands, every process counts as one that may ask.
    std::function<bool(const std::string& file, const std::string& destination)> scheduleRename;
};

inline FileSeams& fileSeams() {
    static FileSeams seams;
    return seams;
}

class ScopedFileSeams {
public:
    ScopedFileSeams() : saved_(fileSeams()) {}
    ~ScopedFileSeams() { fileSeams() = std::move(saved_); }
    ScopedFileSeams(const ScopedFileSeams&) = delete;
    ScopedFileSeams& operator=(const ScopedFileSeams&) = delete;

private:
    FileSeams saved_;
};

}  // namespace moravel
