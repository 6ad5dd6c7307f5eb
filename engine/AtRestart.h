#pragma once
// The rows whose destination is replaced at the next restart, and what this
// program scheduled, remembered across runs: the queue lasts only a run, and
// the restart comes after it.
#include <cstdint>
#include <string>
#include <vector>

#include "core/ObjectUnit.h"
#include "core/PendingRenames.h"
#include "engine/UpdateHost.h"

namespace moravel {

class PendingList;

// The file that remembers the scheduled replaces: beside the settings file,
// which holds projects only.
std::string atRestartMemoryPath(const std::string& settingsPath);

class AtRestartRows {
public:
    // At start: what earlier runs scheduled, each with its log line: done (as
    // a copy is logged, with the version the destination has now), still
    // waiting for the restart, or never to be (forgotten). The memory is kept
    // at that path from now on. Without a call, nothing is remembered.
    std::vector<std::string> recall(const std::string& memoryPath);

    // The row's replace is scheduled: the row shows it and is not tried
    // again, and the replace is remembered. A row removed meanwhile has it
    // cancelled at once. Returns how the attempt ended, for whoever follows the row.
    RowEnd scheduled(std::uint64_t row, const TFileObject& project, const ScheduledReplace& replace,
                     PendingList& pending);

    // Rows that have left the list (the user removed them) have their replace
    // cancelled: out of the system's list, their file deleted. The program's
    // end cancels nothing: the replace still happens at the restart.
    void followRows(const PendingList& pending);

private:
    struct Entry {
        std::uint64_t row = 0;            // 0: scheduled by an earlier run, or its row could not cancel it
        std::string source, destination;  // as the project named them, for the success line
        ScheduledReplace replace;
    };
    // Writes the memory, all or nothing; best effort: the replace happens
    // anyway, only its line at the next start would be missing.
    void remember() const;

    std::vector<Entry> entries_;
    std::string memory_;
};

}  // namespace moravel
