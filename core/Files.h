#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/CopyJob.h"

namespace moravel {

// The working directory, whole however long it is: a cut path would be some
// other folder.
std::string workingDirectory();

// True when a file (not a directory) exists at the path.
bool fileExists(const std::string& path);
bool isReadOnly(const std::string& path);

// The system's text for an error code, without its closing period and line
// break ("Access denied"), or "error N" when the system has none.
std::string systemErrorText(unsigned long error);

// Told how far a copy is, on the thread that runs it, after every chunk.
// Returning false cancels the copy; so does an exception, which goes on to
// the caller. A cancelled copy leaves nothing behind.
class CopyProgress {
public:
    virtual bool copying(std::uint64_t copied, std::uint64_t total) = 0;

protected:
    ~CopyProgress() = default;
};

// A scratch file beside a target, where new content is finished before it
// takes the target's place. Its name is fresh, in the target's folder, and no
// longer than the target's own name, so every path the target can have, the
// scratch file can have too. It is always a file this object created (never
// one that was already there), and it is deleted again unless commit() puts it
// in the target's place: whatever fails, nothing of ours is left behind.
class ScratchFile {
public:
    explicit ScratchFile(std::string target);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Makes the scratch file, empty or as a copy of source. False on failure
    // or when cancelled, with nothing left.
    bool createEmpty();
    bool copyFrom(const std::string& source, CopyProgress* progress = nullptr);

    // Puts the finished scratch file in the target's place. False when that is
    // refused: the target is then as it was.
    bool commit();

    const std::string& path() const noexcept { return path_; }

private:
    bool replaceTarget();
    bool writeOverTarget();
    void discard() noexcept;

    std::string target_;
    std::string path_;
};

// Copies source over target, creating it when missing. The target ends up
// with either all of the new bytes or all of its old ones, never a part, and
// no scratch file is left in its folder.
bool replaceFile(const std::string& source, const std::string& target, CopyProgress* progress = nullptr);

// ---- replacing a file that stays in use ----------------------------------------------------
//
// A running program or a loaded library cannot be written or deleted, but it
// can be renamed. The old file moves aside under a set-aside name in the same
// folder (the destination's file name, ".old-" and a tag of ours) and the new
// one takes its place; the holder goes on with the old file until it lets go.

// Replaces a destination that someone holds open but lets others delete: the
// source is copied to a scratch file beside it, the destination is renamed
// aside and the scratch file moved into its place. When that last move fails,
// the old file is moved back. A holder that does not share deletion, a
// read-only destination or any other failure leaves the destination as it
// was. On success, setAside is the old file's path when it could not be
// deleted yet (it is then also marked for deletion at restart, where that is
// granted) as a full path, else empty.
struct InUseReplacement {
    bool replaced = false;
    std::string setAside;
};
InUseReplacement replaceEvenIfInUse(const std::string& source, const std::string& destination,
                                    CopyProgress* progress = nullptr);

// What follows the path's last backslash, slash or colon: the name the file
// system sees.
std::string_view fileNamePart(std::string_view path);

// The set-aside name of a destination for a given unique number.
std::string setAsideName(const std::string& destination, std::uint16_t unique);

// The set-aside files beside a destination, as full paths: only names this
// program makes for that very destination, nothing that merely looks alike.
std::vector<std::string> setAsideFilesOf(const std::string& destination);

// The set-aside files this run could not delete yet, tried again at every sweep.
class SetAsideFiles {
public:
    void remember(std::string path) { paths_.push_back(std::move(path)); }

    // Deletes what can be deleted now; the rest stays remembered.
    void sweep();

    // At start: deletes what an earlier run left beside a destination. Those
    // still held are marked for deletion at restart (where granted) and swept
    // later. Nothing is deleted beside a destination that is missing: the old
    // file may then be the only copy left.
    void collectLeftovers(const std::string& destination);

    const std::vector<std::string>& remembered() const noexcept { return paths_; }

private:
    std::vector<std::string> paths_;
};

// For tests only: replaces the move of the new file into place in
// replaceEvenIfInUse, which cannot be made to fail from outside on demand.
// Null means the real move.
extern bool (*moveIntoPlaceForTests)(const std::string& scratch, const std::string& destination);

}  // namespace moravel
