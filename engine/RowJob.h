#pragma once
// A long operation on one row of a pass: it runs on a thread of its own
// while the window goes on working, and the pass applies what it returns.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Job.h"
#include "core/ObjectUnit.h"
#include "core/PendingRenames.h"
#include "engine/Holders.h"

namespace moravel {

// What a row's job did. The pass applies it on its own thread, after the
// job has ended, to the row if it is still in the list.
struct RowOutcome {
    enum class Result {
        Succeeded,        // the destination has the new file: logged, backed up (see below), the row done
        Failed,           // a failed attempt, counted
        Busy,             // someone holds the destination: counted, its holders looked up
        DoneWithoutCopy,  // nothing (more) to copy: the lines are logged and the row is done
        LeavesList,       // the lines are logged and the row leaves the list uncounted
        AtRestart,        // the lines are logged; the destination is replaced at the next restart, its row
                          // stays until then and is not tried again
        NeedsUser,        // the lines are logged, the attempt counted, and the row stays, never tried
                          // again: what it left (a new file with the old one aside) is the user's to settle
    };
    Result result = Result::Failed;
    bool wasInUse = false;                 // Succeeded: the running copy keeps the old file
    std::string version;                   // Succeeded: the version text of what was copied
    std::string putBackTo;                 // Succeeded: the version put back (logged so, instead of the copy)
    std::vector<std::string> linesBefore;  // logged first (before the success line)
    std::vector<std::string> linesAfter;   // logged after the success line (its backup line)
    std::vector<std::string> setAside;     // old files still held, deleted at later passes
    std::string waitReason;                // Busy: why it waits, logged once per busy streak
    ScheduledReplace atRestart;            // AtRestart: the new file that takes the destination's place then
    std::vector<Holder> refused;           // Busy: holders that refused to stop (see deployRow)
};

// The work of one row, given the project as it was when the attempt began
// (edits made meanwhile apply from the next attempt) and its job: it must end
// soon once job.cancelled() (the row was removed, the program is ending) and
// may tell job.report() how far it is, which the row shows. It runs on a
// thread of its own and touches nothing of the window or the pass. An
// exception it lets out counts as a failed attempt.
using RowJob = std::function<RowOutcome(const TFileObject& project, Job& job)>;

// The pass's own job: copies the project's source over its destination (or
// renames a busy destination aside first, when inUse), then makes its
// version backup.
RowOutcome copyRow(const TFileObject& project, bool inUse, Job& job);

// A copy of this many bytes or more runs as a job: the window goes on meanwhile.
inline constexpr std::uint64_t kLongCopy = 256 << 10;
bool isLongCopy(const TFileObject& project) noexcept;

// The job of a busy row whose project restarts what holds its destination:
// finds the holders, stops them, replaces the file and starts them again.
// Nobody found to stop leaves the row busy. Holders that refused to stop at
// an earlier attempt of the row's busy streak (refusedEarlier) are not asked
// again: while one of them holds the file the row waits, stopping nothing.
// Those that refuse now are in the outcome, for the next attempts.
RowOutcome deployRow(const TFileObject& project, HolderFinder& finder, const std::vector<Holder>& refusedEarlier,
                     Job& job);

// The last resort of a project that asks for it: the work of a busy row (or
// none), and when that leaves the row busy, a copy of the source beside the
// destination that the system puts in its place at the next restart, before
// any holder runs. A read-only destination, one on a network share (not there
// yet when the restart replaces files) and a process that may not ask (only
// administrators may) leave the row busy, the last two with the reason.
RowJob orAtRestart(RowJob work);

// The work of a row whose destination is free, or missing (then a copy that
// fails says it could not copy).
RowJob freeRowWork(bool destinationMissing);

// The work of a row whose destination is busy, as its project asks: the
// given work (a test's) or else stopping what holds it and starting it again
// (asking none of the holders that refused in this streak), or renaming it
// aside; with AtRestart, replacing it at the next restart when those do not
// free it. None when the row just waits. onItsThread: a job whatever the
// file's size.
RowJob busyRowWork(const TFileObject& project, const std::shared_ptr<HolderFinder>& finder,
                   const std::vector<Holder>& refused, RowJob given, bool& onItsThread);

// The row job of a pass under way: its thread's share, its row, the project
// as the attempt began, and how far it has told it is.
class RunningRowJob {
public:
    RunningRowJob() = default;
    // A job under way is cancelled and waited for: nothing of ours outlives us.
    ~RunningRowJob();
    RunningRowJob(const RunningRowJob&) = delete;
    RunningRowJob& operator=(const RunningRowJob&) = delete;

    // Starts the work on a thread of its own; raises when no thread can be had.
    void start(std::uint64_t row, const TFileObject& project, RowJob work, Job::Notice notice);
    bool running() const noexcept { return job_ != nullptr; }
    bool ended() const noexcept { return job_ && job_->ended(); }
    std::uint64_t row() const noexcept { return row_; }
    // A percentage not shown yet, once: the news it posted is taken with it.
    std::optional<int> newPercent();
    bool progressShown() const noexcept { return shownPercent_ >= 0; }
    // Once it has ended: what it did, with the project as the attempt began.
    // The job is then gone.
    RowOutcome take(TFileObject& project);

    void cancel() const noexcept;
    void forgetNotice() noexcept;
    void waitForEnd() const noexcept;

private:
    std::shared_ptr<Job> job_;
    std::shared_ptr<RowOutcome> outcome_;
    std::uint64_t row_ = 0;
    std::optional<TFileObject> project_;
    int shownPercent_ = -1;
};

// What the exclusive open of a destination finds: no file there (nothing, a
// folder, a name the system refuses), a file that someone else holds open or
// that is read-only, or a file free to be replaced.
enum class DestinationState { Missing, Busy, Free };
DestinationState probeDestination(const std::string& path);

}  // namespace moravel
