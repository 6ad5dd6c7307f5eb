#include "engine/HolderControl.h"

#include <windows.h>

#include <optional>

#include "core/FileCopy.h"
#include "core/Text.h"
#include "engine/HolderStops.h"

namespace moravel {

namespace {

class Deploy {
public:
    Deploy(const std::string& source, const std::string& destination, const DeployAttempt& attempt,
           const CancelEvent& cancel, CopyProgress* progress)
        : source_(source), destination_(destination), fileName_(fileNamePart(destination)), cancel_(cancel),
          progress_(progress), holders_(fileName_, attempt, cancel, outcome_) {}

    DeployOutcome run(const std::vector<Holder>& holders);

private:
    bool copyToScratch();
    bool swap();
    void giveUpTheNewFile(const std::string& service);
    void waits(std::string reason) {
        outcome_.kind = DeployOutcome::Kind::Waits;
        outcome_.waitReason = std::move(reason);
    }
    void failed(const std::string& line) {
        outcome_.kind = DeployOutcome::Kind::Failed;
        outcome_.linesBefore.push_back(stampedLine(line));
    }

    const std::string& source_;
    const std::string& destination_;
    const std::string fileName_;
    const CancelEvent& cancel_;
    CopyProgress* const progress_;
    DeployOutcome outcome_;
    HolderStops holders_;
    std::optional<ScratchFile> scratch_;
    std::string aside_;  // the old file, while it may have to go back
};

// ---- the copy, before anything stops ------------------------------------------------------

bool Deploy::copyToScratch() {
    scratch_.emplace(destination_, InPlace::Never);
    if (scratch_->copyFrom(source_, progress_)) return true;
    if (cancel_.isSet()) {
        outcome_.kind = DeployOutcome::Kind::Cancelled;
        return false;
    }
    failed(fileName_ + " could not be replaced: " + systemErrorText(GetLastError()) + ".");
    return false;
}

// ---- the swap -----------------------------------------------------------------------------

// The old file aside, the new one from the scratch file into its place; when
// that last move fails, the old file goes back.
bool Deploy::swap() {
    if (fileExists(destination_)) {
        aside_ = renameAside(destination_);
        if (aside_.empty()) {
            failed(fileName_ + " could not be replaced: " + systemErrorText(GetLastError()) + ".");
            return false;
        }
    }
    if (scratch_->commit() == ReplaceOutcome::Replaced) return true;
    failed(fileName_ + " could not be replaced: " + systemErrorText(GetLastError()) + ".");
    if (!aside_.empty() && !putOldBack(aside_, destination_)) {
        outcome_.linesBefore.push_back(
            stampedLine(fileName_ + " could not be put back: the old file is " + std::string(fileNamePart(aside_)) + "."));
        outcome_.oldFileAside = aside_;
    }
    aside_.clear();
    return false;
}

// A service does not run with the new file, and every service we started is
// down again: the old file comes back, and they all run with it.
void Deploy::giveUpTheNewFile(const std::string& service) {
    if (aside_.empty() || !putOldBack(aside_, destination_)) {
        outcome_.linesAfter.push_back(stampedLine(service + " did not start with the new file; the old file could not be put back: " +
                                                  systemErrorText(GetLastError()) + "; it is " +
                                                  std::string(fileNamePart(aside_)) + "."));
        outcome_.kind = DeployOutcome::Kind::Failed;
        outcome_.oldFileAside = aside_;  // never deleted
    } else {
        outcome_.linesAfter.push_back(stampedLine(service + " did not start with the new file; the old file is back."));
        outcome_.kind = DeployOutcome::Kind::GaveUpOldBack;
    }
    aside_.clear();
}

// ---- the deploy ---------------------------------------------------------------------------

DeployOutcome Deploy::run(const std::vector<Holder>& holders) {
    if (sameContent(source_, destination_)) {
        outcome_.kind = DeployOutcome::Kind::AlreadyUpToDate;
        outcome_.linesBefore.push_back(stampedLine(fileName_ + " is already up to date."));
        return std::move(outcome_);
    }
    // Renaming a read-only file aside would get round its protection: it
    // waits like any busy file, and the pass says why.
    if (isReadOnly(destination_)) {
        waits(std::string());
        return std::move(outcome_);
    }
    // Everything is checked before anything is stopped: one holder we may not
    // stop makes the row wait with all of them still running.
    if (auto reason = holders_.check(fileName_, holders)) {
        waits(std::move(*reason));
        return std::move(outcome_);
    }
    if (!copyToScratch()) return std::move(outcome_);

    const HolderLookupPause pause;  // we are about to end and start processes
    if (holders_.stopAll() && swap()) {
        outcome_.kind = DeployOutcome::Kind::Replaced;
        if (const auto failedService = holders_.startServicesOnTheNewFiles()) giveUpTheNewFile(*failedService);
    } else if (cancel_.isSet()) {
        outcome_.kind = DeployOutcome::Kind::Cancelled;
        if (holders_.anyAsked())
            outcome_.linesBefore.push_back(stampedLine(fileName_ + " was not replaced: the update was cancelled."));
    }
    holders_.startAgain(directoryPart(destination_));
    if (!aside_.empty() && !DeleteFileA(aside_.c_str())) outcome_.setAside = aside_;
    return std::move(outcome_);
}

}  // namespace

DeployOutcome deployOverHolders(const std::string& source, const std::string& destination,
                                const std::vector<Holder>& holders, const DeployAttempt& attempt,
                                const CancelEvent& cancel, CopyProgress* progress) {
    return Deploy(source, destination, attempt, cancel, progress).run(holders);
}

}  // namespace moravel
