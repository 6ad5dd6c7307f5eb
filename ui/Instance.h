#pragma once
// One Moravel per settings file takes commands from others: a /queue started
// in its folder, from any session of the same user, hands its names to the
// running instance over its pipe and exits with a code a build script can
// test; with /wait it stays connected and hears how its rows end.
#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/CommandLine.h"
#include "core/Handle.h"
#include "core/Paths.h"  // workingDirectory, for the callers
#include "ui/Pipe.h"
#include "ui/RowWaits.h"

namespace moravel {

class PendingList;

// What the instance does with a command; the main window provides it.
class CommandTarget {
public:
    virtual bool acceptsCommands() const = 0;  // false while it closes
    virtual bool knowsProject(const std::string& name) const = 0;
    // True while a pass, a dialog or a message box is under way.
    virtual bool commandsMustWait() const = 0;
    // Queues the names as the chooser's "Ok" does (names that are no
    // project are logged) and tells which rows they name.
    virtual NamedRows queueFromCommand(const std::vector<std::string>& names) = 0;
    virtual void updateNow() = 0;  // as "Update Now", with rows pending
    // A plain later start: the window comes to the front, out of the
    // notification area, with whatever dialog is open on it.
    virtual void bringToFront() = 0;
    // For the commands that wait: the rows, and whom to tell what each
    // attempt at a row logs and how it ends (null: nobody).
    virtual const PendingList& pendingRows() const = 0;
    virtual void followRows(RowWaits* waits) = 0;

protected:
    ~CommandTarget() = default;
};

// Text for the standard output or error (STD_OUTPUT_HANDLE, STD_ERROR_HANDLE):
// a console gets it in the characters it shows, a file or a pipe the bytes
// as they are (the system code page, as the log and the settings file).
void writeStandard(DWORD which, const std::string& text) noexcept;

// Writes to the standard error the caller gave us, or else to the console of
// the command prompt we were started from; nowhere when there is neither.
void writeToStandardError(const std::string& text) noexcept;

// The name of the instance of a settings file: its full path, letter case
// folded, hashed (kernel object names cannot hold backslashes).
std::string instanceKey(const std::string& settingsPath);

// The named mutex that makes one process, in any session, the instance of
// its settings file.
class InstanceLock {
public:
    explicit InstanceLock(const std::string& key);
    // True when this process holds it: the mutex did not exist before.
    bool first() const noexcept { return first_; }
    // A second plain copy keeps nothing: when the instance ends, the next
    // /queue starts a new one.
    void release() noexcept {
        mutex_.reset();
        first_ = false;
    }

private:
    UniqueHandle mutex_;
    bool first_ = false;
};

// The messages of the channel. A request: the tag, then "show" alone,
// "queue" or "queue-now" and each name, or "wait" or "wait-now", the
// seconds and each name; every text ended by a zero byte, and one more zero
// byte at the end. An answer: one letter and its text.
inline constexpr char kRequestTag[] = "MRVL";
std::string encodeQueueCommand(const std::vector<std::string>& names, bool now);
std::string encodeWaitCommand(const std::vector<std::string>& names, bool now, int seconds);
inline constexpr char kAnswerCode = 'R';    // the exit code of the command (a waiting one goes on)
inline constexpr char kAnswerBusy = 'B';    // "busy" or "closing": ask again once this process has ended
inline constexpr char kAnswerOutput = 'O';  // a line for the standard output
inline constexpr char kAnswerError = 'E';   // a line for the standard error
inline constexpr char kAnswerEnd = 'X';     // the exit code of a command that waited

// The instance's receiving end: answers a command at once (0, or 2 when a
// name is no project) and carries it out when the main window is free; a
// command that waits hears what the log says of its rows, and how they end.
class CommandReceiver final : private WaitOutput {
public:
    CommandReceiver(const std::string& key, CommandTarget& target);
    ~CommandReceiver();
    CommandReceiver(const CommandReceiver&) = delete;
    CommandReceiver& operator=(const CommandReceiver&) = delete;

    // The window has gone, the process may still wait for a job: from now
    // on every command is answered "closing" (its sender waits for this
    // process to end), the target is let be, and waits in progress end with
    // the connection.
    void closing() noexcept;

private:
    struct Command {
        std::uint64_t client = 0;
        std::vector<std::string> names;
        bool now = false;
        bool wait = false;
        unsigned long long deadline = 0;
    };
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    void takeRequests();
    void take(std::uint64_t client, const std::string& bytes);
    void runWaiting();
    void followTicks();
    void waitLine(std::uint64_t wait, const std::string& line, bool toError) override;
    void waitEnded(std::uint64_t wait, int exitCode) override;

    CommandTarget* target_;
    HWND hwnd_ = nullptr;
    std::deque<Command> waiting_;
    bool retrying_ = false;
    bool ticking_ = false;
    RowWaits waits_;
    std::unique_ptr<PipeServer> server_;
};

// The sending side of a /queue: hands the command to the instance of the
// key, starting one (this program with /launched, detached from the caller's
// console and handles) when none runs, and returns the exit code. An
// instance that is busy or closing is waited for. With /wait, its lines go
// to `line` and, when no instance runs, `runHere` runs the update in this
// process (its exit code; nothing when another process became the instance
// meanwhile) until the tick count given.
using LineSink = std::function<void(const std::string& line, bool toError)>;
using RunHere =
    std::function<std::optional<int>(const std::string& key, const CommandLine& command, unsigned long long end)>;
int forwardQueueCommand(const std::string& key, const CommandLine& command, const LineSink& line = nullptr,
                        const RunHere& runHere = nullptr);

// A plain start where an instance runs: asks it to come to the front. Ended
// when it was busy or closing and has ended since (this start may then be
// the next); NoAnswer when it did not answer in time.
enum class ShowAnswer { Shown, Ended, NoAnswer };
ShowAnswer showRunningInstance(const std::string& key);

// This program again, as the instance of the current directory, detached
// from the caller: no console, no handles of the caller's (a build tool
// waiting for its output pipes to close would wait for the instance).
bool launchInstance(bool hide);
bool instanceExists(const std::string& key);

// What a console run answers every command while it runs.
inline constexpr char kBusyAnswer[] = "Bbusy";

}  // namespace moravel
