#pragma once
// The journal of the sets being deployed: a small file beside the settings
// file that names, for each set whose files are being replaced, every
// destination and the set-aside name its old file is kept under. It is
// written (all or nothing, through to the disk) before the first destination
// of a set is replaced and the set is taken out of it once the set is done or
// put back, so that a start after a run ended halfway can put every member
// back to its old bytes.
#include <string>
#include <vector>

namespace moravel {

// "Moravel-release.ini" in the settings file's folder.
std::string releaseJournalPath(const std::string& settingsPath);

// A destination of the set, and where its old file is kept while the set is
// replaced: a set-aside name of that destination, or empty when it had no
// file (the new one is then deleted to put it back).
struct JournalEntry {
    std::string destination, aside;
};

// Writes the set's entries, replacing any it had. False, with the system's
// error, when the file could not be written: then it is as it was.
bool writeJournal(const std::string& path, const std::string& set, const std::vector<JournalEntry>& entries);

// Takes the set out of the journal; the file goes with its last set.
void eraseFromJournal(const std::string& path, const std::string& set);

// Puts an old file back in its destination's place, over the new one there.
// A new file the system refuses to overwrite (a program still runs it) is
// renamed aside first; that name is then one for the sweeps to delete.
bool putOldFileBack(const JournalEntry& entry);

// At start, before the set-aside files are swept: every set a run left in the
// journal gets each member back where its kept file is still there, and
// leaves the journal ("dd-mm-yy hh:mm:ss Release Tools was interrupted; its
// files are as before."). A member whose old file cannot go back keeps the
// set in the journal, for the next start, and its line says where the file is.
std::vector<std::string> putBackInterruptedReleases(const std::string& path);

}  // namespace moravel
