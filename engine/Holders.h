#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace moravel {

// A process that holds a file.
struct Holder {
    // How: it has the file open (by a handle), or it runs it (the file is its
    // executable, or a library it has loaded).
    enum class Hold { Opened, Runs };

    std::string process;  // its executable's file name, "devenv.exe"
    unsigned long pid = 0;
    Hold how = Hold::Opened;
    std::uint64_t started = 0;  // when it started (a FILETIME), 0 when unknown: with the pid, who it is
    bool operator==(const Holder&) const = default;
};

// "devenv.exe (pid 4412), MyHost.exe (pid 912)"
std::string holdersText(const std::vector<Holder>& holders);

// Names the processes that have files open. Answers may be incomplete: a
// holder that cannot be found (no rights, a network share, an older system,
// a lookup that took too long) is simply not named.
class HolderFinder {
public:
    virtual ~HolderFinder() = default;
    // One answer per path, in the order given; each sorted by process name
    // and pid, every process once (running the file when it both runs it and
    // has it open), this process never. It may take its time
    // (or, waiting on another program's I/O, never return): callers that
    // must not wait call it on a thread of their own.
    virtual std::vector<std::vector<Holder>> find(const std::vector<std::string>& paths) = 0;
};

// Asks the Restart Manager first (where the system has one), then reads the
// system's handle table for the paths it did not answer. One call gives up
// after about timeLimitMs: whom it has not found by then, it does not name.
// Any thread may call it, several at once.
class SystemHolderFinder final : public HolderFinder {
public:
    static constexpr unsigned kDefaultTimeLimitMs = 500;
    explicit SystemHolderFinder(unsigned timeLimitMs = kDefaultTimeLimitMs) : timeLimitMs_(timeLimitMs) {}
    std::vector<std::vector<Holder>> find(const std::vector<std::string>& paths) override;

private:
    const unsigned timeLimitMs_;
};

// While one lives, the holder lookups of this process name nobody rather than
// walk the other processes: Wine's server can crash when every process's
// handles are copied while processes start and end. Made around stopping and
// starting other programs; it first waits (up to 2 s) for a lookup under way.
class HolderLookupPause {
public:
    HolderLookupPause();
    ~HolderLookupPause();
    HolderLookupPause(const HolderLookupPause&) = delete;
    HolderLookupPause& operator=(const HolderLookupPause&) = delete;
};


}  // namespace moravel
