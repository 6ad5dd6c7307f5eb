#pragma once
#include <cstdint>
#include <string>

namespace moravel {

// How one attempt at a row ended, for whoever follows the row.
enum class RowEnd {
    Done,      // replaced, or already up to date: the row leaves at the end of the pass
    Waits,     // busy: it is tried again
    Failed,    // the source is missing, the copy failed, its project is gone: counted, tried again
    LeftList,  // given up (a service that does not run with the new file)
    AtRestart, // replaced at the next restart: the row stays, not tried again, until it is removed
};

// What a pass needs from the window that shows it.
class UpdateHost {
public:
    virtual void appendLog(const std::string& line) = 0;
    virtual bool logFailures() const = 0;                  // "Also log failures"
    virtual void pumpMessages() = 0;                       // let the window system catch up
    virtual void setUpdateNowEnabled(bool enabled) = 0;
    virtual void setLastAttemptText(const std::string& text) = 0;
    virtual void refreshPendingState() = 0;
    // A copy for the row is under way, this far (0 to 100).
    virtual void showCopyProgress(std::uint64_t row, int percent) = 0;
    // That copy has ended: its row, if still there, shows its attempts again.
    virtual void endCopyProgress(std::uint64_t row) = 0;
    // The walk starts or resumes, and pauses or ends: between the two a
    // window may hold its list's repaint and batch the log's lines.
    virtual void walkBegins() {}
    virtual void walkEnds() {}
    // For whoever follows rows: each line of a row's attempt as it is logged
    // (whyItWaits for the reasons a busy row gives), then how the attempt ended.
    virtual void rowLine(std::uint64_t /*row*/, const std::string& /*line*/, bool /*whyItWaits*/) {}
    virtual void rowTried(std::uint64_t /*row*/, RowEnd /*end*/) {}

protected:
    ~UpdateHost() = default;
};

}  // namespace moravel
