#pragma once
// The all-or-nothing replace of a file: finished in a scratch file beside
// its target, then put in the target's place.
#include <cstdint>
#include <string>

// Built on these; their callers have them with it.
#include "core/FileSeams.h"
#include "core/Paths.h"
#include "core/SetAside.h"

namespace moravel {

// Told how far a copy is, on the thread that runs it, after every chunk.
// Returning false cancels the copy; so does an exception, which goes on to
// the caller. A cancelled copy leaves nothing behind.
class CopyProgress {
public:
    virtual bool copying(std::uint64_t copied, std::uint64_t total) = 0;

protected:
    ~CopyProgress() = default;
};

// What a replace left in its target's place.
enum class ReplaceOutcome {
    Replaced,   // all of the new bytes
    Unchanged,  // the old bytes, byte for byte: the replace failed
    Busy,       // the old bytes: someone holds the target and it could not be written past safely
    Stranded,   // neither: the target is missing or not whole and could not be given back its old
                // bytes, which are kept under a set-aside name (ScratchFile::kept()); only after a
                // step and both tries to undo it were refused
};

// Whether a target held by a reader who shares writing may be written over in
// place, the old bytes kept first and written back when any step fails. It
// is tried before a rename past the reader, which would leave the old file
// under a name of its own until the reader lets go.
enum class InPlace { Allowed, Never };

// A scratch file beside a target, where new content is finished before it
// takes the target's place. Its name is fresh, in the target's folder: "~"
// and eight lowercase hex digits, a unique number and a 16-bit check of it,
// so that a later run tells its own scratch files from a user's with
// certainty. For a target name shorter than that, the scratch name is longer
// than the target's only while the whole path stays within MAX_PATH - 1;
// beyond that no scratch file is made and the replace fails. It is always a
// file this object created (never one that was already there), and it is
// deleted again unless commit() puts it in the target's place.
class ScratchFile {
public:
    explicit ScratchFile(std::string target, InPlace inPlace = InPlace::Allowed);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Makes the scratch file, empty or as a copy of source. False on failure
    // or when cancelled, with nothing left.
    bool createEmpty();
    bool copyFrom(const std::string& source, CopyProgress* progress = nullptr);

    // Puts the finished scratch file in the target's place and says what the
    // target holds now. The target keeps all of its old bytes unless the
    // outcome is Replaced or Stranded.
    ReplaceOutcome commit();

    const std::string& path() const noexcept { return path_; }
    // After Stranded: where the old file is (empty when nobody could tell).
    const std::string& kept() const noexcept { return kept_; }

private:
    ReplaceOutcome replaceTarget();
    ReplaceOutcome replaceKeepingOldAside();
    ReplaceOutcome writeOverTarget();
    bool moveOver() noexcept;
    void discard() noexcept;

    std::string target_;
    InPlace inPlace_;
    std::string path_;
    std::string kept_;
};

// Copies source over target, creating it when missing, and says what the
// target holds: all of the new bytes or all of its old ones, never a part
// (but for Stranded). No scratch file is left in its folder.
ReplaceOutcome replaceFile(const std::string& source, const std::string& target, CopyProgress* progress = nullptr,
                           InPlace inPlace = InPlace::Allowed);

// ---- replacing a file that stays in use ----------------------------------------------------
//
// A running program or a loaded library cannot be written or deleted, but it
// can be renamed. The old file moves aside under a set-aside name in the same
// folder (the destination's file name, ".old-" and a tag of ours) and the new
// one takes its place; the holder goes on with the old file until it lets go.

// Whether the file may be renamed aside now. Renaming needs delete access: a
// running program grants it; a holder that does not share deletion refuses.
bool mayRenameAside(const std::string& path);

// Replaces a destination that someone holds open but lets others delete: the
// source is copied to a scratch file beside it, the destination is renamed
// aside and the scratch file moved into its place. When that last move fails,
// the old file is moved back, and when that is refused, once more. A holder
// that does not share deletion, a read-only destination or any other failure
// leaves the destination as it was. On success, setAside is the old file's
// path when it could not be deleted yet (it is then also marked for deletion
// at restart, where that is granted) as a full path, else empty. When the old
// file could not be moved back, the destination is missing and stranded is
// the old file's full path.
struct InUseReplacement {
    bool replaced = false;
    std::string setAside;
    std::string stranded;
};
InUseReplacement replaceEvenIfInUse(const std::string& source, const std::string& destination,
                                    CopyProgress* progress = nullptr);

}  // namespace moravel
