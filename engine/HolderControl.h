#pragma once
// Deploying over the programs and services that run a destination: stop
// them, replace the file, start them again. Every call here blocks (for up to
// about a minute when a service is slow) and is meant for a worker thread;
// none of it touches a window of ours.
#include <string>
#include <vector>

#include "core/Files.h"
#include "core/Job.h"
#include "engine/Holders.h"

namespace moravel {

// What one deployment did, and the log lines it leaves, whatever the kind, in
// the order a user reads them: linesBefore (what was stopped, and for Failed
// why), then the pass's own line for the copy or the reason to wait, then
// linesAfter (what was started again, or could not be).
struct DeployOutcome {
    enum class Kind {
        Replaced,         // the new file is in place; what held it runs again
        AlreadyUpToDate,  // the destination already has the source's bytes: nothing stopped or copied
        Waits,            // nothing changed; the row stays queued as busy (waitReason says why)
        GaveUpOldBack,    // a service did not run with the new file: the old file is back and it runs
        Failed,           // the new file could not take its place: what was stopped runs again on the
                          // old file, unless that could not be put back (oldFileAside)
        Cancelled,        // asked to stop: the old file is in place and what was stopped runs again
    };
    Kind kind = Kind::Failed;
    bool wasInUse = false;  // some holder was stopped or closed
    std::vector<std::string> linesBefore, linesAfter;
    // For Waits: one log line, meant to be logged once per busy streak.
    std::string waitReason;
    // For Waits: the holders that refused to stop at this attempt (a program
    // that did not close, a service that did not stop).
    std::vector<Holder> refused;
    // For Replaced: the old file, when it could not be deleted yet (a program
    // that is slow to let go of its image): the caller sweeps it later.
    std::string setAside;
    // For Failed: where the old file is when it could not be put back (the
    // destination then has the new file, or none). Never deleted; the lines
    // say so, and the row must stay as it is for the user to see.
    std::string oldFileAside;
};

// What the pass knows of the row's earlier attempts: the holders that
// refused to stop at one of them in this busy streak. While one of them still
// holds the file, this attempt stops nothing and waits. Left empty, every
// holder is asked again (the user pressed "Update Now").
struct DeployAttempt {
    bool forceClose = false;
    std::vector<Holder> refusedEarlier;
};

// Deploys source over destination while the given holders (as the holder
// lookup named them) hold it:
// - First compares the two files (size, then bytes): equal means nothing is
//   stopped or copied ("... tool.exe is already up to date."). A read-only
//   destination is never replaced: the row waits (the pass names it).
// - Only holders that run the file may be stopped: one that merely has it
//   open makes the row wait, named ("tool.exe is open in viewer.exe (pid
//   123); ..."). So does one we may not stop: this process, processes of
//   other users or sessions, system processes and the shell (judged from the
//   image of the process opened, not the lookup's name), a process whose
//   start time is not the one the lookup found, a service sharing its
//   process, a program whose windows are all disabled or that has none (but
//   with forceClose), a holder that refused earlier (see DeployAttempt).
//   Every holder is checked before the first is stopped.
// - The source is then copied into a scratch file beside the destination
//   (telling progress, which may cancel it), and only then are the holders
//   stopped: they are down for the renames and their own restart.
// - A service running alone in its process is stopped (waiting up to 30 s
//   for it to stop and its process to end), the file replaced with the old one
//   kept aside, the service started and watched until it runs and still runs
//   3 s later. When it does not, the old file is put back and the service
//   started with it (GaveUpOldBack).
// - A program is asked to close (WM_CLOSE to its visible, enabled, unowned
//   top-level windows) and given 10 s; with forceClose one that did not close
//   (or has no window) is ended, else the row waits. Once the file is
//   replaced it is started again as it ran: from its image with its command
//   line and in its working folder (else with none, in the destination's
//   folder), with its own user's rights.
// A holder is ours from the moment it is asked to stop: however the deploy
// ends, each one asked that has ended (or ends within its bound) is started
// again, and a start that fails is logged. A cancel ends every wait at once;
// then the deploy only puts back what it changed, waiting for a holder still
// stopping up to its bound. While holders are stopped and started, holder
// lookups of this process name nobody (see HolderLookupPause).
DeployOutcome deployOverHolders(const std::string& source, const std::string& destination,
                                const std::vector<Holder>& holders, const DeployAttempt& attempt,
                                const CancelEvent& cancel, CopyProgress* progress = nullptr);

}  // namespace moravel
