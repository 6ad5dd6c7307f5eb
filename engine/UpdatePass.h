#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "core/Files.h"

namespace moravel {

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
class UpdatePass {
public:
    UpdatePass(TProjects& projects, PendingList& pending, Scheduler& scheduler, UpdateHost& host)
        : projects_(projects), pending_(pending), scheduler_(scheduler), host_(host) {}

    void RunUpdatePass();
    bool running() const noexcept { return running_; }

    // Success and failure handling of the row at a position. A destination
    // that was in use gets one more line saying so.
    void CopySucceeded(int position, bool wasInUse = false);
    void CopyFailed(int position);

    // At start: deletes what earlier runs set aside beside the destinations
    // of the projects that replace files in use.
    void removeEarlierSetAsideFiles();
    const SetAsideFiles& setAsideFiles() const noexcept { return setAside_; }

private:
    class RowProgress;

    void tryRow(std::uint64_t id, int position);
    bool replaceInUse(const std::string& source, const std::string& destination, std::uint64_t id);
    void pumpMessages();
    bool logFailures();

    TProjects& projects_;
    PendingList& pending_;
    Scheduler& scheduler_;
    UpdateHost& host_;
    SetAsideFiles setAside_;  // old files still held by someone, deleted once they let go
    bool running_ = false;
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
