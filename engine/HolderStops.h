#pragma once
// The steps of a deploy that concern what runs the files: every holder
// checked before the first is stopped, all of them stopped, the services
// started on the new files (or the new files given up), and everything that
// was stopped started again. The deploy of one file (HolderControl) and of a
// set of files (Release) are both made of them. Every call blocks (a service
// has up to 30 s to stop, and as long to start) and is meant for a worker
// thread; none of it touches a window of ours.
#include <optional>
#include <string>
#include <vector>

#include "core/Job.h"
#include "engine/HolderControl.h"
#include "engine/Holders.h"

namespace moravel {

// "dd-mm-yy hh:mm:ss " and the text: a line of the log as of now.
std::string stampedLine(const std::string& text);

// The holders of one deploy, each process once however many of its files it
// holds. What they did goes into the outcome given: the lines of what was
// stopped (linesBefore) and started again (linesAfter), the reason to wait
// and the holders that refused. The lines name what is deployed as `what`: a
// file's name, or a set's.
class HolderStops {
public:
    HolderStops(std::string what, const DeployAttempt& attempt, const CancelEvent& cancel, DeployOutcome& outcome);
    ~HolderStops();
    HolderStops(const HolderStops&) = delete;
    HolderStops& operator=(const HolderStops&) = delete;

    // Takes the holders of one file (its name for the lines), those already taken left out. Each one
    // is checked as deployOverHolders says: none when all may be stopped,
    // else the reason to wait (empty when the one found has gone and the
    // next attempt should look again).
    std::optional<std::string> check(const std::string& fileName, const std::vector<Holder>& holders);

    // Stops them one after the other: false when one refused (the outcome
    // then waits, and says why) or the deploy was cancelled.
    bool stopAll();

    // Once the new files are in place: starts the services that were stopped
    // and watches each until it runs and still runs a moment later. When one
    // does not, every service started goes down again and the one that
    // failed has ended: its display name is returned, and the caller puts the
    // old files back before startAgain(). None when they all run.
    std::optional<std::string> startServicesOnTheNewFiles();

    // Whether a holder was asked to stop in this deploy.
    bool anyAsked() const;

    // Every holder asked to stop that is down (after a cancel: by its bound)
    // runs again, on whatever its files hold now; a program without a
    // working folder of its own starts in fallbackFolder.
    void startAgain(const std::string& fallbackFolder);

private:
    struct Stoppable;
    std::optional<std::string> check(const std::string& fileName, const Holder& holder, Stoppable& target) const;
    bool stopService(Stoppable& target);
    bool closeProgram(Stoppable& target);
    void startAgain(Stoppable& target, const std::string& fallbackFolder);
    void waits(std::string reason);

    const std::string what_;
    const DeployAttempt& attempt_;
    const CancelEvent& cancel_;
    DeployOutcome& outcome_;
    std::vector<Stoppable> targets_;
};

}  // namespace moravel
