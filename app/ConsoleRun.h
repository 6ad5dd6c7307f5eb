#pragma once
#include <optional>
#include <string>

#include "core/CommandLine.h"

namespace moravel {

// /wait with no Moravel running for the folder: the update runs in this
// process, without a window or notification icon, on the same engine (the
// projects of Moravel.ini in the current folder, a pass at once with /now
// and then every 60 seconds), until every named row has ended or the time
// (a tick count) is up. Its output is what an instance would send: the log's
// lines of the named rows on the standard output, their reasons to wait and
// the rest of the log on the standard error. Meanwhile this
// process is the folder's instance: later starts are answered "busy" and
// wait for it to end. Returns the exit code; nothing when another process
// became the instance first (it is to be asked instead).
std::optional<int> updateHere(const std::string& key, const CommandLine& command, unsigned long long end);

}  // namespace moravel
