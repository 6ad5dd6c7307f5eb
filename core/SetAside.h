#pragma once
// Files this program sets beside a target and only ever deletes as its own:
// scratch files, where new content is finished, and set-aside files, where
// an old file waits until its holder lets go.
//
// Both names carry a tag: a unique number and a check of it, four lowercase
// hex digits each, so that a later run tells its own files from a user's
// with certainty. A scratch name is "~" and a tag; a set-aside name is the
// target's file name, ".old-" and a tag. A new file that waits beside its
// destination for the next restart to take its place is named like a
// set-aside one with ".new-": no sweep takes it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace moravel {

// True when the text is a tag this program makes.
bool isOurTag(std::string_view tag);

// A scratch name with a fresh tag, and whether a file name is one.
std::string freshScratchName();
bool isScratchName(std::string_view name);

// The set-aside name of a destination for a given unique number.
std::string setAsideName(const std::string& destination, std::uint16_t unique);

// A fresh name for the new file that replaces a destination at the next
// restart, and whether a path is one this program makes for that destination.
std::string restartFileName(const std::string& destination);
bool isRestartFileOf(const std::string& path, const std::string& destination);

// The set-aside files beside a destination, as full paths: only names this
// program makes for that very destination, nothing that merely looks alike.
std::vector<std::string> setAsideFilesOf(const std::string& destination);

// Offers fresh set-aside names of the path to take() until it takes one, and
// returns that name (as made from the path, not made full). A name that is
// there already (take() fails with ERROR_FILE_EXISTS or ERROR_ALREADY_EXISTS)
// means the next one; any other failure ends it: empty, with take()'s error.
std::string takeSetAsideName(const std::string& path, const std::function<bool(const std::string& name)>& take);

// Moves a file aside under a fresh set-aside name, never over a file already
// there. Returns the set-aside file's full path, or empty with the error of
// the move that was refused.
std::string renameAside(const std::string& path);

// Whether a file moved aside may go back over one that has taken its name
// since (the new file that did not do), or only into a free name.
enum class PutBack { IntoFreeName, OverNewFile };

// Moves a set-aside file back under the destination's name. Tried twice, and
// given a patience, on for that long (a holder letting go meanwhile). False
// with the last move's error when it stays aside.
bool putBack(const std::string& aside, const std::string& destination, PutBack how = PutBack::IntoFreeName,
             std::chrono::milliseconds patience = std::chrono::milliseconds{0});

// The old file back in the destination's place, over whatever is there;
// tried for a moment (2 s) while the file's last user lets go.
bool putOldBack(const std::string& aside, const std::string& destination);

// True when the file is gone: deleted now, or already.
bool deleteSetAside(const std::string& path);

// Asks the system to delete the file at the next restart. It needs
// administrator rights on Windows and is refused otherwise, which is fine:
// the file is tried again at later passes and at the next start.
void markForDeletionAtRestart(const std::string& path);

// The set-aside files this run could not delete yet, tried again at every sweep.
class SetAsideFiles {
public:
    void remember(std::string path) { paths_.push_back(std::move(path)); }

    // Deletes what can be deleted now; the rest stays remembered.
    void sweep();

    // At start: deletes what an earlier run left beside a destination. Those
    // still held are marked for deletion at restart (where granted) and swept
    // later. A destination found missing gets the newest of its set-aside
    // files back (a run ended between moving the old file aside and the new
    // one in); the others are then leftovers. When it cannot have it back,
    // nothing beside it is deleted: the old file may be the only copy left.
    void collectLeftovers(const std::string& destination);

    const std::vector<std::string>& remembered() const noexcept { return paths_; }

private:
    std::vector<std::string> paths_;
};

// Deletes this program's scratch files (and nothing else) in the folders of
// the given paths, one look per distinct folder. A scratch file never holds
// the only copy of a target's old bytes, so what a run ended halfway left
// there may always go.
void removeScratchFilesBeside(const std::vector<std::string>& paths);

// What the start does beside every project's destination: collects the
// set-aside files an earlier run left (into setAside) and removes its
// scratch files.
void sweepAtStart(const std::vector<std::string>& destinations, SetAsideFiles& setAside);

}  // namespace moravel
