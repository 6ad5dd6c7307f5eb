#pragma once
// What a run takes over from the runs before it, the same for the window and
// the console: whichever starts first in a folder settles what the last one left.
#include <string>
#include <vector>

namespace moravel {

class UpdatePass;

// At start, before the first pass: the pass keeps the sets' journal beside
// the settings file; a set a run left halfway goes back to its old files
// before the sweep of set-aside files could take them; what earlier runs set
// aside is swept; the replaces they scheduled for the restart are recalled.
// Returns the log's lines of it, in that order.
std::vector<std::string> takeOverEarlierRuns(UpdatePass& pass, const std::string& settingsPath);

}  // namespace moravel
