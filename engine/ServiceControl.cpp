#include "engine/ServiceControl.h"

#include <algorithm>

#include "engine/ProcessFacts.h"

namespace moravel {

std::vector<ServiceOf> servicesIn(unsigned long pid) {
    std::vector<ServiceOf> found;
    const UniqueService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) return found;
    std::vector<ULONG_PTR> buffer(4096);
    for (int tries = 0; tries < 4; ++tries) {
        DWORD needed = 0, count = 0, resume = 0;
        const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(ULONG_PTR));
        const bool all = EnumServicesStatusExA(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE,
                                               reinterpret_cast<BYTE*>(buffer.data()), size, &needed, &count, &resume,
                                               nullptr);
        if (!all && GetLastError() == ERROR_MORE_DATA) {
            buffer.resize(buffer.size() + needed / sizeof(ULONG_PTR) + 1024);  // more may start meanwhile
            continue;
        }
        if (!all) return found;
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
            if (entries[i].ServiceStatusProcess.dwProcessId == pid)
                found.push_back({entries[i].lpServiceName, entries[i].lpDisplayName});
        return found;
    }
    return found;
}

bool ControlledService::open(const std::string& name) {
    const UniqueService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager) service_.reset(OpenServiceA(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS));
    return static_cast<bool>(service_);
}

void ControlledService::followProcess(unsigned long pid) {
    process_.reset(pid ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr);
}

SERVICE_STATUS_PROCESS ControlledService::status() const {
    SERVICE_STATUS_PROCESS status = {};  // a state of 0 when it cannot be asked
    DWORD needed = 0;
    QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return status;
}

DWORD ControlledService::state(DWORD* pid) const {
    const SERVICE_STATUS_PROCESS now = status();
    if (pid) *pid = now.dwProcessId;
    return now.dwCurrentState;
}

ControlledService::Result ControlledService::stop(std::chrono::milliseconds limit, const CancelEvent* cancel) {
    SERVICE_STATUS status = {};
    if (!ControlService(service_.get(), SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        return Result::Refused;
    const auto start = std::chrono::steady_clock::now();
    const bool stopped = waitUntil([&] { return state() == SERVICE_STOPPED; }, limit, cancel);
    const auto left = limit - std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (stopped && (!process_ || waitForEnd(process_.get(), std::max(left, std::chrono::milliseconds{0}), cancel)))
        return Result::Done;
    return cancel && cancel->isSet() ? Result::Cancelled : Result::Failed;
}

ControlledService::Result ControlledService::start(std::chrono::milliseconds limit, std::chrono::milliseconds runsOnFor,
                                                   const CancelEvent* cancel) {
    // Never retried: a service that fails with a file fails again with it.
    if (!StartServiceA(service_.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return Result::Refused;
    DWORD now = 0;
    waitUntil(
        [&] {
            now = state();
            return now == SERVICE_RUNNING || now == SERVICE_STOPPED || now == 0;
        },
        limit, cancel);
    DWORD pid = 0;
    state(&pid);
    followProcess(pid);  // its new process, to wait on
    const bool runs = now == SERVICE_RUNNING &&
                      !(runsOnFor.count() > 0 && waitUntil([&] { return state() != SERVICE_RUNNING; }, runsOnFor, cancel));
    if (cancel && cancel->isSet()) return Result::Cancelled;  // started, and not watched to its end
    if (runs && state() == SERVICE_RUNNING) return Result::Done;
    // What the service told when it stopped, else that it did not answer in time.
    const DWORD told = status().dwWin32ExitCode;
    SetLastError(told != NO_ERROR && told != ERROR_SERVICE_SPECIFIC_ERROR ? told : ERROR_SERVICE_REQUEST_TIMEOUT);
    return Result::Failed;
}

}  // namespace moravel
