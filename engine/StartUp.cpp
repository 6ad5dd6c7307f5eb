#include "engine/StartUp.h"

#include "engine/AtRestart.h"
#include "engine/ReleaseJournal.h"
#include "engine/UpdatePass.h"

namespace moravel {

std::vector<std::string> takeOverEarlierRuns(UpdatePass& pass, const std::string& settingsPath) {
    pass.releaseJournal = releaseJournalPath(settingsPath);
    std::vector<std::string> lines = putBackInterruptedReleases(pass.releaseJournal);
    pass.removeEarlierSetAsideFiles();
    for (std::string& line : pass.atRestart.recall(atRestartMemoryPath(settingsPath))) lines.push_back(std::move(line));
    return lines;
}

}  // namespace moravel
