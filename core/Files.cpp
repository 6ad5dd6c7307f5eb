#include "core/Files.h"

#include <windows.h>

#include <new>

#include "core/Handle.h"

namespace moravel {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A fresh scratch name in the target's folder. Empty when the target has no
// name, or when its name is shorter and the longer scratch name would not
// fit in a path.
std::string scratchCandidate(const std::string& target) {
    const std::string folder = folderOf(target);
    if (folder.size() == target.size()) return {};
    std::string path = folder + freshScratchName();
    if (path.size() > target.size() && path.size() > MAX_PATH - 1) return {};
    return path;
}

// Opening the file this way fails because someone else has it open.
bool sharingViolation(const std::string& path, DWORD access, DWORD share) {
    const UniqueFile file(CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    return !file && GetLastError() == ERROR_SHARING_VIOLATION;
}

// The whole file from its start, read through an open handle.
bool readWhole(HANDLE file, std::string& content) {
    LARGE_INTEGER size{}, start{};
    if (!GetFileSizeEx(file, &size) || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    if (size.QuadPart > 0x7FFFFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    content.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    return ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr) &&
           read == content.size();
}

bool readWhole(const std::string& path, std::string& content) {
    const UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file && readWhole(file.get(), content);
}

// Writes the bytes from the file's start and flushes them; what lies beyond stays.
bool writeWhole(HANDLE file, const std::string& content) {
    LARGE_INTEGER start{};
    DWORD written = 0;
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
           WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
           written == content.size() && FlushFileBuffers(file);
}

bool setFileSize(HANDLE file, std::size_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// Room on the target's disk for a file to grow by this much, with some to
// spare for the clusters it starts and the file system's own records. A disk
// that makes room only as bytes are written (a sparse growth) would otherwise
// refuse halfway through the write.
bool roomToGrow(const std::string& target, std::uint64_t growth, std::uint64_t freedBefore) {
    const std::string folder = folderOf(target);
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(folder.empty() ? nullptr : folder.c_str(), &available, nullptr, nullptr))
        return true;  // a disk that cannot say: the write itself will tell, and the old bytes go back
    return available.QuadPart + freedBefore >= growth + (16 << 10);
}

}  // namespace

ScratchFile::ScratchFile(std::string target, InPlace inPlace) : target_(std::move(target)), inPlace_(inPlace) {}

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

ReplaceOutcome ScratchFile::commit() {
    if (path_.empty()) return ReplaceOutcome::Unchanged;
    // On the disk before it takes the target's place, so a power cut right
    // after cannot leave a target without its bytes.
    flushToDisk(path_);
    const ReplaceOutcome outcome = replaceTarget();
    discard();  // what is still ours after the target has its bytes, or after a refusal
    return outcome;
}

bool ScratchFile::moveOver() noexcept {
    if (!MoveFileExA(path_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return false;
    path_.clear();
    return true;
}

ReplaceOutcome ScratchFile::replaceTarget() {
    const DWORD attributes = GetFileAttributesA(target_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)  // nothing to replace yet
        return moveOver() ? ReplaceOutcome::Replaced : ReplaceOutcome::Unchanged;
    // On Windows a read-only file refuses to be written or replaced, by
    // administrators too; Wine run as root lets both through, so we ask.
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return ReplaceOutcome::Unchanged;
    }
    // A holder who shares deletion keeps the old file open, and a name of it
    // with it until the holder lets go: the backup name here, or Wine's
    // rfXXXX.tmp without one, as neither can be deleted before. When the
    // holder shares writing too, the write in place leaves no name behind.
    const bool held = sharingViolation(target_, GENERIC_READ, 0);
    if (held && inPlace_ == InPlace::Allowed) {
        const ReplaceOutcome outcome = writeOverTarget();
        if (outcome == ReplaceOutcome::Replaced || outcome == ReplaceOutcome::Stranded || path_.empty())
            return outcome;
    }
    // Someone who has the target open without sharing deletion stops every
    // rename, so ReplaceFileA is not even asked. It keeps what the target
    // carries besides its bytes (security, named streams, creation time,
    // attributes); the move keeps none of it.
    if (!sharingViolation(target_, DELETE, kShareAll)) {
        const ReplaceOutcome outcome = replaceKeepingOldAside();
        if (outcome != ReplaceOutcome::Unchanged) return outcome;
        if (moveOver()) return ReplaceOutcome::Replaced;
    }
    return held ? ReplaceOutcome::Busy : ReplaceOutcome::Unchanged;
}

// ReplaceFileA, given a set-aside name of the target as its backup, so the
// old file is always found under a name of ours whatever step fails. Each of
// its failures leaves the files where the documentation says:
//   ERROR_UNABLE_TO_REMOVE_REPLACED (1175), and 1176 when a backup name is
//   given: both files keep their names;
//   ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 (1177): the old file is under the
//   backup name, the new one under the scratch name, the target's name free.
// Rather than trust the code alone, what is where is looked at.
ReplaceOutcome ScratchFile::replaceKeepingOldAside() {
    const std::string aside = takeSetAsideName(target_, [](const std::string& name) {
        // A longer name than a path may have: the plain move serves.
        if (name.size() > MAX_PATH - 1) return SetLastError(ERROR_FILENAME_EXCED_RANGE), false;
        if (GetFileAttributesA(name.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
        return SetLastError(ERROR_FILE_EXISTS), false;
    });
    if (aside.empty()) return ReplaceOutcome::Unchanged;
    const auto& stand = fileSeams().replaceFile;
    const bool replaced = stand ? stand(target_, path_, aside)
                                : ReplaceFileA(target_.c_str(), path_.c_str(), aside.c_str(),
                                               REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE;
    const DWORD error = GetLastError();
    const bool oldAside = fileExists(aside);
    if (replaced || (!fileExists(path_) && fileExists(target_))) {
        path_.clear();
        if (oldAside && !deleteSetAside(aside)) markForDeletionAtRestart(aside);  // and the next start's sweep
        return ReplaceOutcome::Replaced;
    }
    if (fileExists(target_) || !oldAside) {
        // The old file never left its name (the new one is still ours), so
        // anything under the backup name is a copy of it.
        if (oldAside) deleteSetAside(aside);
        SetLastError(error);
        return ReplaceOutcome::Unchanged;
    }
    // The target's name is free and the old file aside: the new one takes the
    // name, or else the old one goes back, once more when refused.
    if (MoveFileExA(path_.c_str(), target_.c_str(), MOVEFILE_WRITE_THROUGH)) {
        path_.clear();
        if (!deleteSetAside(aside)) markForDeletionAtRestart(aside);
        return ReplaceOutcome::Replaced;
    }
    if (putBack(aside, target_)) {
        SetLastError(error);
        return ReplaceOutcome::Unchanged;
    }
    kept_ = fullPath(aside);
    return ReplaceOutcome::Stranded;
}

// The target is held by someone who shares writing (a reader such as an
// editor, a scanner or a second copy of this program) but stops the replace:
// the bytes can still be written over, as long as the old ones can be put
// back. They are read first; a shrink is asked for before any byte is
// written (a reader that maps the file refuses it); a growth only with room
// for it on the disk. When a write fails all the same, the old bytes are
// written back, once more when refused, and when even that fails they are
// kept in a set-aside file so that they are not lost.
ReplaceOutcome ScratchFile::writeOverTarget() {
    const UniqueFile file(CreateFileA(target_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return ReplaceOutcome::Busy;
    std::string old, content;
    try {
        if (!readWhole(file.get(), old) || !readWhole(path_, content)) return ReplaceOutcome::Busy;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return ReplaceOutcome::Busy;
    }
    // The scratch file goes before the write, to make room for it.
    if (content.size() > old.size() && !roomToGrow(target_, content.size() - old.size(), content.size())) {
        SetLastError(ERROR_DISK_FULL);
        return ReplaceOutcome::Busy;
    }
    if (content.size() < old.size() && !setFileSize(file.get(), content.size())) return ReplaceOutcome::Busy;
    discard();
    if (writeWhole(file.get(), content)) return ReplaceOutcome::Replaced;

    const DWORD error = GetLastError();
    for (int tries = 0; tries < 2; ++tries) {
        if (writeWhole(file.get(), old) && setFileSize(file.get(), old.size())) {
            SetLastError(error);
            return ReplaceOutcome::Unchanged;
        }
    }
    const std::string aside = takeSetAsideName(target_, [&old](const std::string& name) {
        UniqueFile keep(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        if (!keep || writeWhole(keep.get(), old)) return static_cast<bool>(keep);
        // A part of the old bytes is no copy of them: it goes, and so does the try.
        const DWORD failed = GetLastError();
        keep.reset();
        DeleteFileA(name.c_str());
        return SetLastError(failed), false;
    });
    if (!aside.empty()) kept_ = fullPath(aside);
    SetLastError(error);
    return ReplaceOutcome::Stranded;
}

void ScratchFile::discard() noexcept {
    if (path_.empty()) return;
    const DWORD error = GetLastError();  // keep the reason of the failure that got us here
    SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);  // a copy of a read-only file is read-only
    DeleteFileA(path_.c_str());
    path_.clear();
    SetLastError(error);
}

ReplaceOutcome replaceFile(const std::string& source, const std::string& target, CopyProgress* progress,
                           InPlace inPlace) {
    ScratchFile scratch(target, inPlace);
    return scratch.copyFrom(source, progress) ? scratch.commit() : ReplaceOutcome::Unchanged;
}

// ---- replacing a file that stays in use ----------------------------------------------------

bool mayRenameAside(const std::string& path) {
    return static_cast<bool>(
        UniqueFile(CreateFileA(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

InUseReplacement replaceEvenIfInUse(const std::string& source, const std::string& destination,
                                    CopyProgress* progress) {
    InUseReplacement result;
    // Renaming a read-only file aside would get round its protection: it
    // waits like any busy file.
    if (!fileExists(destination) || isReadOnly(destination)) return result;
    if (!mayRenameAside(destination)) return result;  // then nothing is touched
    ScratchFile scratch(destination);
    if (!scratch.copyFrom(source, progress)) return result;

    const std::string aside = renameAside(destination);
    if (aside.empty()) return result;

    const auto& stand = fileSeams().moveIntoPlace;
    const bool inPlace = stand ? stand(scratch.path(), destination) : scratch.commit() == ReplaceOutcome::Replaced;
    if (!inPlace) {
        // The destination is never left missing unawares: the old file goes
        // back, once more when refused, and when that fails too the caller
        // learns where it is. The scratch file goes with `scratch`.
        if (!putBack(aside, destination)) result.stranded = aside;
        return result;
    }
    result.replaced = true;
    if (!deleteSetAside(aside)) {
        markForDeletionAtRestart(aside);
        result.setAside = aside;
    }
    return result;
}

}  // namespace moravel
