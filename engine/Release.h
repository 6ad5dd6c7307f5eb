#pragma once
// A release: the projects that name one set, deployed together, all or
// nothing, even across a crash; and a version put back from its backups.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/ObjectUnit.h"
#include "engine/Holders.h"
#include "engine/RowJob.h"

namespace moravel {

class PendingList;

// One member of a set as the walk hands it over: its row, its project as the
// attempt began (see puttingBack), the version its row puts back (empty for
// an update) and the holders that refused to stop earlier in its busy streak.
struct ReleaseMember {
    std::uint64_t row = 0;
    TFileObject project;
    std::string putBack;
    std::vector<Holder> refusedEarlier;
};

// The work of a set, as one job. Members whose destinations already hold
// their sources' bytes are left as they are ("helper.dll is already up to
// date."). The others are replaced only when each can be: its destination is
// free, or its holders may be stopped (RestartHolder), or it may be renamed
// aside (ReplaceInUse); else nothing is, and each of them waits (Busy), the
// reason with the member it is about. Then every source is copied beside its
// destination, the holders of all of them are stopped once, the journal
// written, every destination replaced (its old file aside), the services
// started and watched, everything stopped started again; the old files go,
// and each member succeeds, the last one saying "Release Tools: 3 files
// replaced together.". When a step fails, every member gets its old bytes
// back, what was stopped runs again on them, and the lines say what failed
// and "Release Tools: nothing replaced; every file is as before."; a service
// that does not run with the new files takes the rows off the list. A set of
// rows that put a version back is put back only when every member has a
// backup of that version. One outcome per member, in their order, goes into
// `outcomes`; the job's own return value means nothing. An empty journal path
// keeps no journal.
RowJob releaseJob(std::string set, std::vector<ReleaseMember> members, std::shared_ptr<HolderFinder> finder,
                  std::string journal, std::shared_ptr<std::vector<RowOutcome>> outcomes);

// The project as a row that puts a version back attempts it: its source is
// that version's backup beside the destination, and no backup is made.
TFileObject puttingBack(TFileObject project, const std::string& version);
// The work of such a row: what the work does, said as a put back.
RowJob puttingBack(RowJob work, const std::string& version);

// The versions whose backups lie beside the destination, newest first.
std::vector<std::string> backupVersions(const std::string& destination);

// For tests: called after each member's destination has been replaced, on the
// job's thread. An exception it throws ends the job there, as a crash would.
std::function<void(const std::string& destination)>& releaseReplacedSeam();

// The rows of a set that the walk has handed to one job, and what it made of
// them: the walk skips them when it reaches them, and the job's end settles
// each one by its own outcome.
class ReleaseRows {
public:
    void passBegins() { handed_.clear(); }
    bool handedOver(std::uint64_t row) const;
    void handOver(std::uint64_t row) { handed_.push_back(row); }  // settled without a job
    bool underWay() const noexcept { return static_cast<bool>(outcomes_); }
    void drop() noexcept { members_.clear(), outcomes_.reset(); }  // its job did not start
    // Whether a row of the job under way has left the list: the job is then cancelled, as a row's is.
    bool rowLeft(const PendingList& pending) const;
    // The set's job for the members (the first is the row the walk is at).
    RowJob take(const std::string& set, std::vector<ReleaseMember> members, std::shared_ptr<HolderFinder> finder,
                const std::string& journal);
    // Once the job has ended: each member's row, its project and its outcome
    // (a failed attempt when it has none). The rows are then no longer under way.
    void finish(const std::function<void(std::uint64_t, const TFileObject&, const RowOutcome&)>& settle);

private:
    std::vector<ReleaseMember> members_;
    std::shared_ptr<std::vector<RowOutcome>> outcomes_;
    std::vector<std::uint64_t> handed_;
};

}  // namespace moravel
