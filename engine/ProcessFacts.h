#pragma once
// What Moravel reads of another process it has opened: who runs it, where,
// since when and how it was started, so that the deploy can tell whether it
// may stop it and how to start it again. And the waits for one to end.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "core/Handle.h"
#include "core/Job.h"

namespace moravel {

// The full path of its executable; empty when it may not be read.
std::string imagePath(HANDLE process);

// When it started (a FILETIME), 0 when that may not be read: with its pid,
// what tells it from a later process that got the same pid.
std::uint64_t startTime(HANDLE process);
std::uint64_t startTimeOf(unsigned long pid);

// Whether it runs as the same user as this process, and in its session.
bool sameUserAsUs(HANDLE process);
bool inOurSession(unsigned long pid);

// The system's own processes and the shell, told by the process's own
// image: never closed, whoever runs them. One whose image may not be read
// counts as one.
bool isSystemProcess(HANDLE process);

// How a program was started, read from its process parameters and token:
// what starts it again the same way. Empty parts are not known (no right to
// read it, or a 64-bit program seen from this 32-bit one).
struct StartedAs {
    std::string commandLine, folder;
    bool elevated = false;  // with administrator rights (not known: without)
};
StartedAs startedAs(HANDLE process);
bool runsElevated(HANDLE process);

// Starts a program again as it ran: from its image, with the command line
// and in the folder it was started with (else its image alone, in
// fallbackFolder), with its own user's rights. When this process runs
// elevated and the program did not, it is started through the shell's
// process, whose rights it then gets, as installers do; with no shell to
// start it through, not at all (notAsItRan). Else, on failure, the process
// is empty and GetLastError says why.
struct Restart {
    UniqueHandle process, thread;
    unsigned long pid = 0;
    bool notAsItRan = false;
};
Restart startAsItRan(const std::string& image, const StartedAs& was, const std::string& fallbackFolder);

// Waits until the process has ended, at most limit, and less when cancel (if
// given) is set meanwhile: true once it has ended.
bool waitForEnd(HANDLE process, std::chrono::milliseconds limit, const CancelEvent* cancel);
bool hasEnded(HANDLE process);

// Looks at done() every 50 ms until it says so: false when the time ran out
// or, at once, when cancel (if given) is set.
template <class Done>
bool waitUntil(Done done, std::chrono::milliseconds limit, const CancelEvent* cancel) {
    constexpr unsigned long kSlice = 50;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline || (cancel && cancel->isSet())) return false;
        if (!cancel)
            Sleep(kSlice);
        else if (cancel->sleep(kSlice))
            return false;
    }
}

// Whether a program can be asked to close as a user would: by a visible,
// enabled top-level window that no other window owns. One whose windows are
// all disabled shows a dialog (its user could not close it either); one with
// none has no window to ask. With ask, WM_CLOSE goes to each such window.
enum class Reach { Askable, Disabled, NoWindow };
Reach reach(unsigned long pid, bool ask);

}  // namespace moravel
