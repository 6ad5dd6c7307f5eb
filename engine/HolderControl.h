#pragma once
// Deploying over the programs and services that hold a destination: stop
// them, replace the file, start them again. Every call here blocks (for up to
// about a minute when a service is slow) and is meant for a worker thread;
// none of it touches a window of ours.
#include <string>
#include <vector>

#include "core/Job.h"
#include "engine/Holders.h"

namespace moravel {

// What one deployment did, and the log lines it leaves, whatever the kind:
// linesBefore go before the pass's own line for the copy, linesAfter after it
// (for Waits and Failed they tell what was stopped and started again meanwhile).
struct DeployOutcome {
    enum class Kind {
        Replaced,         // the new file is in place; what held it runs again
        AlreadyUpToDate,  // the destination already has the source's bytes: nothing stopped or copied
        Waits,            // nothing changed; the row stays queued as busy (waitReason says why)
        GaveUpOldBack,    // a service did not run with the new file: the old file is back and it runs
        Failed,           // the copy failed (GetLastError says why, on the calling thread); what
                          // was stopped runs again on the old file
        Cancelled,        // asked to stop: everything is as it was
    };
    Kind kind = Kind::Failed;
    bool wasInUse = false;  // some holder was stopped or closed
    std::vector<std::string> linesBefore, linesAfter;
    // For Waits: one log line, meant to be logged once per busy streak.
    std::string waitReason;
    // For Replaced: the old file, when it could not be deleted yet (a program
    // that is slow to let go of its image): the caller sweeps it later.
    std::string setAside;
};

// Deploys source over destination while the given holders (as the holder
// lookup named them) hold it:
// - First compares the two files (size, then bytes): equal means nothing is
//   stopped or copied ("... tool.exe is already up to date.").
// - A service running alone in its process is stopped (waiting up to 30 s
//   for it to stop and its process to end), the file replaced with the old one
//   kept aside, the service started and watched until it runs and still runs
//   3 s later. When it does not, the old file is put back and the service
//   started with it (GaveUpOldBack). A service sharing its process is never
//   stopped; one we may not stop makes the row wait.
// - A program is asked to close (WM_CLOSE to its visible top-level windows)
//   and given 10 s; with forceClose one that did not close is ended, else the
//   row waits. Once the file is replaced it is started again from its own
//   image with its command line and in its working folder, read from its
//   process parameters (else with none, in the destination's folder).
// - Never stopped: this process, processes of other users or sessions,
//   system processes and the shell; such a holder makes the row wait.
// When anything fails half way, what was stopped is started again on the old
// file. When cancel is set, the current wait ends early and everything is put
// back as it was (Cancelled); once the file is replaced, the starts run to
// their end. While it runs, holder lookups of this process name nobody (see
// HolderLookupPause).
DeployOutcome deployOverHolders(const std::string& source, const std::string& destination,
                                const std::vector<Holder>& holders, bool forceClose, const CancelEvent& cancel);

// True when both files exist and have the same bytes.
bool sameContent(const std::string& a, const std::string& b);

}  // namespace moravel
