#include "engine/ReleaseJournal.h"

#include <windows.h>

#include "core/Clock.h"
#include "core/Files.h"
#include "core/SettingsFile.h"

namespace moravel {

namespace {

std::string key(const char* what, std::size_t number) { return what + std::to_string(number); }

// Rewrites the journal through a scratch file that then takes its place: a
// run ended halfway leaves the journal as it was, or as it is to be.
bool rewrite(const std::string& path, const std::string& set, const std::vector<JournalEntry>* entries) {
    ScratchFile scratch(path);
    if (!(fileExists(path) ? scratch.copyFrom(path) : scratch.createEmpty())) return false;
    const char* file = scratch.path().c_str();
    WritePrivateProfileStringA(set.c_str(), nullptr, nullptr, file);  // what it had; none is fine too
    for (std::size_t i = 0; entries && i < entries->size(); ++i) {
        const JournalEntry& entry = (*entries)[i];
        if (!WritePrivateProfileStringA(set.c_str(), key("File", i + 1).c_str(),
                                        profileValueText(entry.destination).c_str(), file) ||
            !WritePrivateProfileStringA(set.c_str(), key("Aside", i + 1).c_str(),
                                        profileValueText(entry.aside).c_str(), file))
            return false;
    }
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, file);  // the profile cache, on the disk
    if (!entries && profileSectionNames(scratch.path()).empty()) return DeleteFileA(path.c_str()) || !fileExists(path);
    return scratch.commit() == ReplaceOutcome::Replaced;
}

// Only a set-aside name of that very destination: a hand-edited journal
// never moves a file of somebody else's.
bool isAsideOf(const std::string& aside, const std::string& destination) {
    for (const std::string& ours : setAsideFilesOf(destination))
        if (lstrcmpiA(ours.c_str(), fullPath(aside).c_str()) == 0) return true;
    return false;
}

}  // namespace

std::string releaseJournalPath(const std::string& settingsPath) {
    return folderOf(settingsPath) + "Moravel-release.ini";
}

bool writeJournal(const std::string& path, const std::string& set, const std::vector<JournalEntry>& entries) {
    return rewrite(path, set, &entries);
}

void eraseFromJournal(const std::string& path, const std::string& set) {
    if (fileExists(path)) rewrite(path, set, nullptr);
}

bool putOldFileBack(const JournalEntry& entry) {
    if (entry.aside.empty()) return deleteSetAside(entry.destination);  // it had none: the new one goes
    if (putOldBack(entry.aside, entry.destination)) return true;
    const std::string running = renameAside(entry.destination);
    if (running.empty()) return false;
    if (putBack(entry.aside, entry.destination)) return true;
    putBack(running, entry.destination);  // as it was
    return false;
}

std::vector<std::string> putBackInterruptedReleases(const std::string& path) {
    std::vector<std::string> lines;
    if (path.empty() || !fileExists(path)) return lines;
    for (const std::string& set : profileSectionNames(path)) {
        bool allBack = true;
        for (std::size_t i = 1;; ++i) {
            const JournalEntry entry{profileValue(path, set, key("File", i).c_str()),
                                     profileValue(path, set, key("Aside", i).c_str())};
            if (entry.destination.empty()) break;
            // Not moved aside yet (the old file is still in place), or a name not ours: nothing to do.
            if (!entry.aside.empty() && (!fileExists(entry.aside) || !isAsideOf(entry.aside, entry.destination)))
                continue;
            if (putOldFileBack(entry)) continue;
            allBack = false;
            lines.push_back(timestampText(localNow()) + " " + std::string(fileNamePart(entry.destination)) +
                            " could not be put back: the old file is " + std::string(fileNamePart(entry.aside)) + ".");
        }
        if (!allBack) continue;
        eraseFromJournal(path, set);
        lines.push_back(timestampText(localNow()) + " " + set + " was interrupted; its files are as before.");
    }
    return lines;
}

}  // namespace moravel
