#pragma once
// One Moravel per start directory takes commands from others: a /queue
// started there hands its names to the running instance and exits with a
// code a build script can test.
#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "core/CommandLine.h"
#include "core/Handle.h"
#include "core/Paths.h"  // workingDirectory, for the callers

namespace moravel {

// Exit codes of a process that hands its command on.
enum ExitCode : int {
    kExitQueued = 0,         // every name queued, or already pending
    kExitUnknownName = 2,    // some name is no project; the others are queued
    kExitBadCommandLine = 3,
    kExitNoAnswer = 4,       // the running instance did not answer in time
};

// What the instance does with a command; the main window provides it.
class CommandTarget {
public:
    virtual bool acceptsCommands() const = 0;  // false while it closes
    virtual bool knowsProject(const std::string& name) const = 0;
    // True while a pass, a dialog or a message box is under way.
    virtual bool commandsMustWait() const = 0;
    // Queues the names as the chooser's "Ok" does (names that are no project
    // are logged), then runs a pass when asked to.
    virtual void queueFromCommand(const std::vector<std::string>& names, bool now) = 0;
    // A plain later start: the window comes to the front, out of the
    // notification area, with whatever dialog is open on it.
    virtual void bringToFront() = 0;

protected:
    ~CommandTarget() = default;
};

// Writes to the standard error the caller gave us, or else to the console of
// the command prompt we were started from; nowhere when there is neither.
void writeToStandardError(const std::string& text) noexcept;

// The name of the instance of a settings file: its full path, letter case
// folded, hashed (kernel object names cannot hold backslashes).
std::string instanceKey(const std::string& settingsPath);

// The named mutex ("Local\", so per session) that makes one process the
// instance of its start directory.
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

// The instance's receiving end: a message-only window whose class is named
// after the key. It answers a command at once (0, or 2 when a name is no
// project) and carries it out when the main window is free.
class CommandReceiver {
public:
    CommandReceiver(const std::string& key, CommandTarget& target);
    ~CommandReceiver();
    CommandReceiver(const CommandReceiver&) = delete;
    CommandReceiver& operator=(const CommandReceiver&) = delete;

    HWND hwnd() const noexcept { return hwnd_; }

private:
    struct Command {
        std::vector<std::string> names;
        bool now = false;
    };
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    LRESULT onCopyData(HWND sender, const COPYDATASTRUCT& data);
    void runWaiting();
    static void acceptFromLowerIntegrity(HWND window) noexcept;

    std::string className_;
    CommandTarget& target_;
    HWND hwnd_ = nullptr;
    std::deque<Command> waiting_;
    bool retrying_ = false;
};

// The message a forwarding process sends: the tag in dwData, then
// "queue" or "queue-now" and each name, or "show" alone, every text ended
// by a zero byte, and one more zero byte at the end.
inline constexpr ULONG_PTR kCommandTag = 0x4C56524D;  // "MRVL"
// Answers are this plus the exit code, so a window that does not know the
// message (whose default answer is 0) is never taken for a yes.
inline constexpr LRESULT kAnswerBase = 0x4D560000;
std::string encodeQueueCommand(const std::vector<std::string>& names, bool now);

// The sending side of a /queue: hands the command to the instance of the
// key, starting one (this program with /launched, detached from the caller's
// console and handles) when none runs, and returns the exit code.
int forwardQueueCommand(const std::string& key, const CommandLine& command);

// A plain start where an instance runs: asks it to come to the front. False
// when it did not answer in time (it is closing, or was never able to hear).
bool showRunningInstance(const std::string& key);

}  // namespace moravel
