#pragma once
// The renames Windows carries out at its next start, before any program runs
// and can hold a file: the list it keeps of them (the Session Manager's
// PendingFileRenameOperations), and the replaces this program puts in it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace moravel {

// One entry of the list: from is moved over to, or deleted when to is empty.
// Paths as a program names them ("C:\dir\file", "\\server\share\file").
struct PendingRename {
    std::string from;
    std::string to;
};

// The list as it stands (empty when there is none); nothing when it cannot be read.
std::optional<std::vector<PendingRename>> pendingRenames();

// Whether this process may add to the list: on Windows only administrators may.
bool mayScheduleRenames();

// A new file that is to take a destination's place at the next restart, and
// what its bytes are (their size and a hash), so that a later run can tell
// whether the destination got them.
struct ScheduledReplace {
    std::string file;         // the new file, beside the destination, as a full path
    std::string destination;  // as a full path
    std::uint64_t size = 0;
    std::uint64_t hash = 0;
};

// Puts the finished file in the list to replace the destination at the next
// restart. False with the system's error when refused (ERROR_ACCESS_DENIED
// without administrator rights); the file then stays, for the caller.
bool scheduleReplace(const std::string& file, const std::string& destination, ScheduledReplace& scheduled);

// Takes the replace out of the list, every other entry as it was, and deletes
// its file. True once the replace can no longer happen.
bool cancelReplace(const ScheduledReplace& replace);

// What became of a replace, seen at a later start: still in the list with its
// file there; done (the file gone, the destination holding its bytes); or
// never to be (its file or its entry gone, the destination not holding the
// bytes: the file, when left, is deleted and the entry taken out).
enum class ReplaceState { Pending, Done, NotDone };
ReplaceState settleReplace(const ScheduledReplace& replace);

// Size and a hash of a file's bytes; false when it cannot be read.
bool fileStamp(const std::string& path, std::uint64_t& size, std::uint64_t& hash);

}  // namespace moravel
