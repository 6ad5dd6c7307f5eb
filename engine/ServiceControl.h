#pragma once
// The services that run in a process, and stopping and starting one through
// the Service Control Manager. Every call may block (a service has up to its
// limit to stop or start) and is meant for a worker thread.
#include <windows.h>
#include <winsvc.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/Handle.h"
#include "core/Job.h"

namespace moravel {

using UniqueService = Unique<NullTraits<SC_HANDLE, CloseServiceHandle>>;

struct ServiceOf {
    std::string name, displayName;
};

// The running services in a process.
std::vector<ServiceOf> servicesIn(unsigned long pid);

// One service we stop and start again, and its process while it runs.
class ControlledService {
public:
    // Opens it for stopping, starting and asking its state: false when
    // refused (GetLastError says why).
    bool open(const std::string& name);
    explicit operator bool() const noexcept { return static_cast<bool>(service_); }

    // Its process, to wait on and to ask when it started; stays empty
    // without the right to.
    void followProcess(unsigned long pid);
    HANDLE process() const noexcept { return process_.get(); }

    // Its state (SERVICE_RUNNING, ...), 0 when it cannot be asked; with pid,
    // the process it runs in.
    DWORD state(DWORD* pid = nullptr) const;

    // Refused: the request itself was (GetLastError says why). Failed: it did
    // not get there within its time.
    enum class Result { Done, Refused, Failed, Cancelled };
    // Stops it and waits until it has stopped and its process has ended, at
    // most limit.
    Result stop(std::chrono::milliseconds limit, const CancelEvent* cancel);
    // Starts it and waits until it runs (at most limit) and, with runsOnFor,
    // still runs that much later. It then follows the new process. Failed:
    // GetLastError says what the service told, or that it did not answer.
    Result start(std::chrono::milliseconds limit, std::chrono::milliseconds runsOnFor, const CancelEvent* cancel);

private:
    SERVICE_STATUS_PROCESS status() const;

    UniqueService service_;
    UniqueHandle process_;
};

}  // namespace moravel
