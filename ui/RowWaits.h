#pragma once
// Commands that wait for their rows (/wait): the rows a command names are
// followed until each has ended or the command's time is up, with every line
// the log writes of them, and the command gets one exit code for the whole.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/UpdateHost.h"

namespace moravel {

class PendingList;
class TProjects;

// Exit codes of a process that hands its command on, and of one that waits.
enum ExitCode : int {
    kExitQueued = 0,         // every name queued, or already pending
    kExitDone = 0,           // waited: every row replaced or already up to date
    kExitUnknownName = 2,    // some name is no project; the others are queued
    kExitBadCommandLine = 3,
    kExitNoAnswer = 4,       // no instance answered in time, or it ended before the rows did
    kExitTimeUp = 5,         // waited: some row still waits
    kExitFailed = 6,         // waited: some row failed, left the list or was removed
    kExitAtRestart = 7,      // waited: some row is replaced at the next restart
};

// The rows of a command's names, as queueing them found them.
struct NamedRows {
    std::vector<std::uint64_t> rows;  // of the names that are projects, each row once
    std::vector<std::string> unknown;  // the log's line for each name that is no project
};

// Queues the names (a set's name, or a member, queues the whole set) as the
// chooser's "Ok" does, as the registry spells them;
// rows already pending stay as they are.
NamedRows queueNamed(const TProjects& projects, PendingList& pending, const std::vector<std::string>& names);

// Where the news of waiting commands go: a line for the command's standard
// output (a line of the log) or its standard error (a reason to wait, what
// went wrong), and at last its exit code.
class WaitOutput {
public:
    virtual void waitLine(std::uint64_t wait, const std::string& line, bool toError) = 0;
    virtual void waitEnded(std::uint64_t wait, int exitCode) = 0;

protected:
    ~WaitOutput() = default;
};

// Whoever shows a pass tells the waits what the pass tells of its rows.
class RowWaits {
public:
    RowWaits(const PendingList& pending, WaitOutput& output) : pending_(pending), output_(output) {}

    // A command waits for its rows until the deadline (a tick count); the
    // lines of its names that are no project go out at once. With no row to
    // wait for (none, or each already replaced at the next restart), it ends at once.
    void add(std::uint64_t wait, const NamedRows& named, unsigned long long deadline);
    void drop(std::uint64_t wait) noexcept;  // nobody hears it any more
    void clear() noexcept { waits_.clear(); }
    bool empty() const noexcept { return waits_.empty(); }

    void rowLine(std::uint64_t row, const std::string& line, bool whyItWaits);
    void rowTried(std::uint64_t row, RowEnd end);
    // Rows have left the list: a row that had not ended was removed.
    void rowsLeft();
    // The waits whose time is up end: what still waits is told, and who holds it.
    void tick(unsigned long long now);

    // How a row ended for a command that waits for it.
    enum class Ended { Not, Done, Failed, AtRestart };
    // The exit code of a wait whose rows ended so. A failure comes first (a
    // person must look), then the time running out (the build has not
    // landed), then the next restart (it lands then), then a name that is no
    // project (the others landed).
    static int exitCode(const std::vector<Ended>& rows, bool unknownNames) noexcept;

private:
    struct Row {
        std::uint64_t id;
        std::string name;
        Ended ended = Ended::Not;
    };
    struct Wait {
        std::uint64_t id;
        std::vector<Row> rows;
        bool unknownNames;
        unsigned long long deadline;
    };
    void end(std::uint64_t row, Ended ended);
    void finishEnded();
    void finish(const Wait& wait);

    const PendingList& pending_;
    WaitOutput& output_;
    std::vector<Wait> waits_;
};

}  // namespace moravel
