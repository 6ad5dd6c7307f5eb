#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Files.h"
#include "engine/HolderControl.h"
#include "engine/RowJob.h"

namespace moravel {

class HolderFinder;
class PendingList;
class Scheduler;
class TProjects;

// What a pass needs from the window that shows it.
class UpdateHost {
public:
    virtual void appendLog(const std::string& line) = 0;
    virtual bool logFailures() const = 0;                  // "Also log failures"
    virtual void pumpMessages() = 0;                       // let the window system catch up
    virtual void setUpdateNowEnabled(bool enabled) = 0;
    virtual void setLastAttemptText(const std::string& text) = 0;
    virtual void refreshPendingState() = 0;
    // A copy for the row at the position is under way, this far (0 to 100).
    virtual void showCopyProgress(int position, int percent) = 0;
    // That copy has ended: its row, if still there, shows its attempts again.
    virtual void endCopyProgress() = 0;

protected:
    ~UpdateHost() = default;
};

// One walk over the pending list: each row's destination is probed for
// exclusive access, free ones are copied over, busy ones count an attempt.
//
// A walk can pause. A row whose work is long (a copy of kJobFrom bytes or
// more, any job of a busy row handler) runs as a Job on a thread of its own:
// the pass starts it and returns to the message loop, with the pass still
// running (one pass at a time, "Update Now" off, the rows counted at its
// start followed by id). The job's notice, called on its thread, must only
// pass the word on (post a message) to the pass's thread, which then calls
// jobNews(): that shows the job's progress in its row and, once it has
// ended, applies its outcome and resumes the walk at the next row.
class UpdatePass {
public:
    UpdatePass(TProjects& projects, PendingList& pending, Scheduler& scheduler, UpdateHost& host)
        : projects_(projects), pending_(pending), scheduler_(scheduler), host_(host) {}
    // A job under way is cancelled and waited for: nothing of ours outlives us.
    ~UpdatePass();
    UpdatePass(const UpdatePass&) = delete;
    UpdatePass& operator=(const UpdatePass&) = delete;

    // keepCountdown: a pass run between ticks (a row's holders have ended)
    // leaves a running timer's countdown as it is.
    void RunUpdatePass(bool keepCountdown = false);
    bool running() const noexcept { return running_; }  // from its start to its end, paused or not
    bool walking() const noexcept { return walking_; }  // the walk is on the stack (in one of its pumps)

    static constexpr std::uint64_t kJobFrom = 256 << 10;  // bytes of source that make a copy a job
    void setJobNotice(std::function<void()> notice);
    void jobNews();
    bool jobRunning() const noexcept { return job_ != nullptr; }
    bool jobEnded() const noexcept { return job_ && job_->ended(); }
    // To be called when rows leave the list: a job whose row has gone is cancelled.
    void followRows();
    // The program is ending: no further row is tried, and a job under way is
    // cancelled. waitForJob() returns once it has stopped (its scratch file deleted).
    void stop();
    void waitForJob() const;

    // Rows whose destination is busy are first offered to the handler, which
    // returns a job for the project (run as any row job) or none (the row then
    // goes on as without a handler).
    using BusyRowHandler = std::function<RowJob(const TFileObject& project)>;
    void setBusyRowHandler(BusyRowHandler handler) { busyHandler_ = std::move(handler); }

    // Busy rows are told who holds their destination, when a finder is given:
    // at the first busy attempt of a streak, then again every few passes while
    // it lasts. All that are due share one lookup per pass, the longest
    // waiting first up to a bound. An answer that names somebody new is
    // logged once.
    //
    // The lookup runs on a thread of its own: a pass starts it and returns.
    // One runs at a time; rows due meanwhile wait for the next pass that finds
    // none running. A lookup that has run longer than its bound is abandoned
    // (its answer dropped when it comes) and the next one starts on a fresh
    // thread; while kAbandonedAtMost abandoned ones still run, none starts. When it is done, the notice is called on the lookup's
    // thread: it must do nothing but pass the word on (post a message) to the
    // thread of the passes, which then calls holdersFound(). Rows that left
    // the list or whose busy streak ended meanwhile are not told.
    void setHolderFinder(std::shared_ptr<HolderFinder> finder) noexcept { finder_ = std::move(finder); }
    void setHoldersFoundNotice(std::function<void()> notice);
    void holdersFound();
    bool holdersPending() const noexcept { return search_ != nullptr; }  // a lookup started, not yet shown
    static constexpr int kHolderLookupEvery = 4;  // passes
    static constexpr std::size_t kHolderLookupsPerPass = 1000;
    static constexpr int kAbandonedAtMost = 3;

    // Rows of projects that try as soon as the destination is free: once a
    // lookup has named who holds it, their processes are watched, and when
    // the last one has ended the notice is called on the watch's thread. It
    // must only pass the word on (post a message) to the pass's thread,
    // which then calls holdersEnded(): true when a pass should run now (none
    // is running; one under way calls the notice again at its end).
    void setHoldersEndedNotice(std::function<void()> notice) { freedNotice_ = std::move(notice); }
    bool holdersEnded();
    void setHolderLookupBound(std::uint64_t milliseconds) noexcept { lookupBound_ = milliseconds; }

    // Success and failure handling of a row: the success is logged with the
    // project as its attempt began. A destination that was in use gets one
    // more line saying so.
    void CopySucceeded(std::uint64_t id, const TFileObject& project, const RowOutcome& outcome);
    void CopyFailed(int position);

    // At start: deletes what earlier runs set aside, and the scratch files
    // they left (a run ended during a copy), beside the projects' destinations.
    void removeEarlierSetAsideFiles();
    const SetAsideFiles& setAsideFiles() const noexcept { return setAside_; }

private:
    void walk(const std::function<void()>& first = nullptr);
    void finishPass();
    bool tryRow(std::uint64_t id);
    void startJob(std::uint64_t id, const TFileObject& project, RowJob work);
    void finishRow(std::uint64_t id, const TFileObject& project, const std::function<RowOutcome()>& outcome);
    void applyOutcome(std::uint64_t id, const TFileObject& project, const RowOutcome& outcome);
    void failed(std::uint64_t id);
    void pumpMessages();
    bool logFailures();
    void destinationBusy(std::uint64_t id, const std::string& destination);
    void lookUpHolders();
    void takeHolders();
    void showHolders(std::uint64_t id, const std::string& holders);
    void watchHolders(std::uint64_t id, const std::vector<unsigned long>& pids);

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

    // The row job under way: its thread's share, its row, its project as the attempt began.
    std::shared_ptr<Job> job_;
    std::shared_ptr<RowOutcome> jobOutcome_;
    std::uint64_t jobRow_ = 0;
    std::optional<TFileObject> jobProject_;
    int shownPercent_ = -1;
    std::function<void()> jobNotice_;
    BusyRowHandler busyHandler_;

    std::shared_ptr<HolderFinder> finder_;  // shared with a lookup still running
    long long passes_ = 0;
    // Busy rows: the pass that last looked up their holders, -1 for none yet.
    std::map<std::uint64_t, long long> lastLookups_;
    std::map<std::uint64_t, long long> nextLookups_;  // the same, as this pass finds the rows
    struct DueLookup {
        std::uint64_t id;
        std::string destination;
        long long lastLookup;
    };
    std::vector<DueLookup> dueLookups_;
    bool lookupsWaiting_ = false;  // rows were due while a lookup ran, or past the bound

    // The lookup under way, or done and not yet shown: what its thread shares
    // with us, and what stays here.
    struct HolderSearch;
    static void searchHolders(const std::shared_ptr<HolderSearch>& search, const std::shared_ptr<HolderFinder>& finder,
                              const std::vector<std::string>& destinations,
                              const std::shared_ptr<std::atomic<int>>& live) noexcept;
    std::shared_ptr<HolderSearch> search_;
    std::uint64_t searchStarted_ = 0;
    std::uint64_t lookupBound_ = 20000;
    std::shared_ptr<std::atomic<int>> liveLookups_ = std::make_shared<std::atomic<int>>(0);
    std::vector<std::uint64_t> searchIds_;
    long long searchPass_ = 0;
    std::function<void()> notice_;

    std::map<std::uint64_t, std::string> waitReasons_;  // logged in this busy streak
    struct FreedRows;
    std::shared_ptr<FreedRows> freedRows_;
    std::map<std::uint64_t, std::unique_ptr<HolderExitWatch>> exitWatches_;
    std::function<void()> freedNotice_;
    bool passAgain_ = false;  // holders ended while a pass ran: another one at its end
    bool passDue_ = false;    // that one, asked for
    bool keepCountdown_ = false;

    // "Also log failures" as last asked. The user can change it only while
    // messages are pumped, so a pass asks again after every pump rather than
    // at every failure.
    std::optional<bool> logFailures_;
};

// What the exclusive open of a destination finds: no file there (nothing, a
// folder, a name the system refuses), a file that someone else holds open or
// that is read-only, or a file free to be replaced.
enum class DestinationState { Missing, Busy, Free };
DestinationState probeDestination(const std::string& path);

}  // namespace moravel
