#include "engine/HolderDisplay.h"

#include "core/Clock.h"
#include "core/Projects.h"
#include "engine/FreedRows.h"
#include "engine/PendingList.h"

namespace moravel {

void HolderDisplay::show(const std::vector<HolderLookups::Answer>& answers) {
    for (const HolderLookups::Answer& answer : answers) {
        try {
            show(answer.id, answer.holders);
            const PendingRow* row = pending_.find(answer.id);
            const TFileObject* project = row ? projects_.lookup(row->name) : nullptr;
            if (project && project->TryWhenFree) freed_.watch(answer.id, answer.pids);
        } catch (...) {
            // The log refused the line: the next rows are still told.
        }
    }
}

void HolderDisplay::show(std::uint64_t id, const std::string& holders) {
    const PendingRow* row = pending_.find(id);
    if (!lookups_.enabled() || !row || row->holders == holders) return;
    pending_.setHolders(id, holders);
    // A project that may replace its file in use is only still busy when the
    // holder refused the rename.
    const TFileObject* project = projects_.lookup(row->name);
    const std::string sentence = row->holderSentence(project && project->ReplaceInUse);
    if (!sentence.empty()) log_(id, timestampText(localNow()) + " " + sentence);
}

}  // namespace moravel
