#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace moravel {

// True when a file (not a directory) exists at the path.
bool fileExists(const std::string& path);
bool isReadOnly(const std::string& path);

// A scratch file beside a target, used to replace the target in one step:
// fill the scratch file, then commit() moves it over the target. Until then
// the target is untouched; a scratch file not committed is deleted.
class SiblingTemp {
public:
    explicit SiblingTemp(std::string target);
    ~SiblingTemp();
    SiblingTemp(const SiblingTemp&) = delete;
    SiblingTemp& operator=(const SiblingTemp&) = delete;

    // Creates the scratch file as a copy of source, or empty. False on failure.
    bool copyFrom(const std::string& source);
    bool createEmpty();

    // Moves the scratch file over the target, written through to the disk.
    bool commit();

    const std::string& path() const noexcept { return path_; }

private:
    template <class Create>
    bool create(Create&& attempt);
    void discard() noexcept;

    std::string target_;
    std::string path_;
};

// Copies source over destination without ever leaving a half-written
// destination: the copy goes to a scratch file beside it first.
bool copyFileSafely(const std::string& source, const std::string& destination);

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
InUseReplacement replaceEvenIfInUse(const std::string& source, const std::string& destination);

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
