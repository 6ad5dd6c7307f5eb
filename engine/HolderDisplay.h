#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/HolderLookups.h"

namespace moravel {

class FreedRows;
class PendingList;
class TProjects;

// What a pass shows of who holds a busy row's destination: the holders on
// the row (its tip shows them) and, when they are news, one line that names
// them; and for a project that tries as soon as it is free, the watch of
// their end.
class HolderDisplay {
public:
    using Log = std::function<void(std::uint64_t id, const std::string& line)>;
    HolderDisplay(PendingList& pending, const TProjects& projects, FreedRows& freed, const HolderLookups& lookups,
                  Log log)
        : pending_(pending), projects_(projects), freed_(freed), lookups_(lookups), log_(std::move(log)) {}

    // The row's holders as a lookup found them ("" when it is no longer busy).
    void show(std::uint64_t id, const std::string& holders);
    // Each answer on its row; a line the log refuses does not keep the next rows from theirs.
    void show(const std::vector<HolderLookups::Answer>& answers);

private:
    PendingList& pending_;
    const TProjects& projects_;
    FreedRows& freed_;
    const HolderLookups& lookups_;
    Log log_;
};

}  // namespace moravel
