#pragma once
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Files.h"
#include "core/Job.h"
#include "engine/AtRestart.h"
#include "engine/FreedRows.h"
#include "engine/HolderDisplay.h"
#include "engine/HolderLookups.h"
#include "engine/Release.h"
#include "engine/RowJob.h"
#include "engine/UpdateHost.h"

namespace moravel {

class HolderFinder;
class PendingList;
class Scheduler;
class TProjects;

// One walk over the pending list: each row's destination is probed for
// exclusive access, free ones are copied over, busy ones count an attempt.
//
// A walk can pause. A row whose work is long (a copy of kJobFrom bytes or
// more, any work of a busy row) runs as a Job on a thread of its own: the
// pass starts it and returns to the message loop, with the pass still running
// (one pass at a time, "Update Now" off, the rows counted at its start
// followed by id). Every notice of the engine (a job's progress or end, a
// holder lookup done, a row's holders ended) must only pass the word on (post
// a message) to the pass's thread, which then calls engineNews().
class UpdatePass {
public:
    UpdatePass(TProjects& projects, PendingList& pending, Scheduler& scheduler, UpdateHost& host)
        : projects_(projects), pending_(pending), scheduler_(scheduler), host_(host) {}
    // A job under way is cancelled and waited for by its own member, so that
    // its scratch file is gone before we are: nothing of ours outlives us.
    ~UpdatePass() { freed_.clear(); }
    UpdatePass(const UpdatePass&) = delete;
    UpdatePass& operator=(const UpdatePass&) = delete;

    // keepCountdown: a pass run between ticks (a row's holders have ended)
    // leaves a running timer's countdown as it is.
    void RunUpdatePass(bool keepCountdown = false) { startPass(keepCountdown, false); }
    // A pass the user asked for ("Update Now", a command's /now): holders that
    // refused to stop earlier in a row's busy streak are asked again.
    void UpdateNow() { startPass(false, true); }
    bool running() const noexcept { return running_; }  // from its start to its end, paused or not
    bool walking() const noexcept { return walking_; }  // the walk is on the stack (in one of its pumps)

    // The one notice of the engine, and what the pass's thread then calls: it
    // shows a job's progress in its row; applies the outcome of a job that
    // has ended and resumes the walk; shows what a holder lookup found; runs
    // a pass for rows whose holders have all ended (at once, or at the end of
    // the pass under way). True when a walk ran.
    void setNotice(std::function<void()> notice);
    bool engineNews();

    static constexpr std::uint64_t kJobFrom = kLongCopy;
    bool jobRunning() const noexcept { return job_.running(); }
    // To be called when rows leave the list: a job or a replace at restart whose row has gone is cancelled.
    void followRows();
    // The program is ending: no further row is tried, and a job under way is
    // cancelled. waitForJob() returns once it has stopped (its scratch file deleted).
    void stop() {
        stopping_ = true;
        job_.cancel();
    }
    void waitForJob() const { job_.waitForEnd(); }

    // Rows whose destination is busy are first offered to the handler, with
    // the holders that refused to stop at earlier attempts of the row's busy
    // streak (none in a pass the user asked for). It returns a job for the
    // project (run as any row job) or none (the row then goes on as without
    // a handler).
    using BusyRowHandler = std::function<RowJob(const TFileObject& project, const std::vector<Holder>& refusedEarlier)>;
    void setBusyRowHandler(BusyRowHandler handler) { busyHandler_ = std::move(handler); }

    // Busy rows are told who holds their destination when a finder is given
    // (see HolderLookups); an answer that names somebody new is logged once.
    void setHolderFinder(std::shared_ptr<HolderFinder> finder) noexcept {
        finder_ = finder;
        lookups_.setFinder(std::move(finder));
    }
    void setHolderLookupBound(std::uint64_t milliseconds) noexcept { lookups_.setBound(milliseconds); }
    bool holdersPending() const noexcept { return lookups_.running(); }

    // Success and failure handling of a row: the success is logged with the
    // project as its attempt began. A destination that was in use gets one
    // more line saying so.
    void CopySucceeded(std::uint64_t id, const TFileObject& project, const RowOutcome& outcome);
    void CopyFailed(std::uint64_t id);

    // At start: deletes what earlier runs set aside, and the scratch files
    // they left (a run ended during a copy), beside the projects' destinations.
    void removeEarlierSetAsideFiles();
    const SetAsideFiles& setAsideFiles() const noexcept { return setAside_; }
    AtRestartRows atRestart;  // rows of projects that replace a destination nothing frees at the next restart
    std::string releaseJournal;  // the sets' journal (see engine/ReleaseJournal); empty: none is kept

private:
    // A row's work, chosen from its destination's state; none when the
    // attempt is already settled (a missing source, a busy destination).
    struct Work {
        RowJob job;
        bool onItsThread = false;  // always a job, whatever the size
    };
    void startPass(bool keepCountdown, bool byUser);
    Work chooseWork(std::uint64_t id, const TFileObject& project);
    Work setWork(const std::string& putBack, const TFileObject& project);
    bool needsUser(std::uint64_t id) const { return std::find(needUser_.begin(), needUser_.end(), id) != needUser_.end(); }
    void walk(const std::function<void()>& first = nullptr);
    void finishPass();
    bool tryRow(std::uint64_t id);
    bool jobNews();
    void finishRow(std::uint64_t id, const TFileObject& project, const std::function<RowOutcome()>& outcome);
    void applyOutcome(std::uint64_t id, const TFileObject& project, const RowOutcome& outcome);
    void failed(std::uint64_t id, RowEnd end) {
        CopyFailed(id);
        host_.rowTried(id, end);
    }
    void log(std::uint64_t id, const std::string& line, bool whyItWaits = false) {
        host_.appendLog(line);
        host_.rowLine(id, line, whyItWaits);
    }
    void pumpMessages() {
        logFailures_.reset();
        host_.pumpMessages();
    }
    bool logFailures();

    TProjects& projects_;
    PendingList& pending_;
    Scheduler& scheduler_;
    UpdateHost& host_;
    SetAsideFiles setAside_;  // old files still held by someone, deleted once they let go
    bool running_ = false;
    bool walking_ = false;
    bool stopping_ = false;
    bool buttonEnabled_ = false;
    std::vector<std::uint64_t> ids_;  // the rows counted at the start
    std::size_t next_ = 0;
    std::function<void()> notice_;

    RunningRowJob job_;
    ReleaseRows release_;  // the rows of the set whose job is under way
    BusyRowHandler busyHandler_;

    std::shared_ptr<HolderFinder> finder_;  // for the deploy of a busy row
    HolderLookups lookups_;
    FreedRows freed_;
    HolderDisplay holders_{pending_, projects_, freed_, lookups_,
                           [this](std::uint64_t id, const std::string& line) { log(id, line, true); }};
    bool keepCountdown_ = false;
    bool byUser_ = false;                      // the pass under way was asked for by the user
    std::vector<std::uint64_t> needUser_;      // rows whose deploy left what only the user can settle

    // "Also log failures" as last asked. The user can change it only while
    // messages are pumped, so a pass asks again after every pump rather than
    // at every failure.
    std::optional<bool> logFailures_;
};

}  // namespace moravel
