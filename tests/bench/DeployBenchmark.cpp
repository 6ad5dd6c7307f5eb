// A deploy over a service that runs a large file, against the service's own
// stop and start: the deploy copies before it stops anything, so the service
// should be down little longer than a bare restart takes.
#include "DeployBenchmark.h"

#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bench.h"
#include "TempDir.h"
#include "engine/HolderControl.h"
#include "engine/ProcessFacts.h"
#include "engine/ServiceControl.h"  // UniqueService

namespace moravel::bench {

namespace {

// A build of the test rig's holder program, grown to the given size: what
// lies past its sections is never loaded.
void writeProgram(const std::string& program, const std::string& path, std::size_t mebibytes) {
    if (!CopyFileA(program.c_str(), path.c_str(), FALSE)) throw std::runtime_error("no " + program);
    const UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    size.QuadPart = static_cast<LONGLONG>(mebibytes) << 20;
    if (!file || !SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get()))
        throw std::runtime_error("cannot grow " + path);
    FlushFileBuffers(file.get());
}

DWORD state(SC_HANDLE service, DWORD* pid = nullptr) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    if (pid) *pid = status.dwProcessId;
    return status.dwCurrentState;
}

// How long the service is not running while act() runs, looked at every
// millisecond on a thread of its own, until it runs again (30 s at most).
double downWhile(SC_HANDLE service, const std::function<void()>& act) {
    std::atomic<bool> acted{false};
    double down = 0;
    std::thread watcher([&] {
        double since = -1, actedAt = -1;
        for (;;) {
            const bool running = state(service) == SERVICE_RUNNING;
            const double now = seconds();
            if (!running && since < 0) since = now;
            if (running && since >= 0) down += now - since, since = -1;
            if (acted && actedAt < 0) actedAt = now;
            if (actedAt >= 0 && (running || now - actedAt > 30)) return;
            Sleep(1);
        }
    });
    act();
    acted = true;
    watcher.join();
    return down;
}

}  // namespace

void benchmarkDeploy(int rounds) {
    test::TempDir dir;
    const std::string here = programDirectory(), service = dir / "svc.exe";
    const std::string builds[] = {dir / "a.exe", dir / "b.exe"};
    writeProgram(here + "holder_a.exe", builds[0], 256);
    writeProgram(here + "holder_b.exe", builds[1], 256);
    if (!CopyFileA(builds[0].c_str(), service.c_str(), FALSE)) throw std::runtime_error("cannot copy the service");

    const UniqueService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const std::string image = "\"" + service + "\" service";
    const UniqueService handle(CreateServiceA(manager.get(), "MoravelBenchHolder", "Moravel Bench Holder",
                                              SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                              SERVICE_ERROR_IGNORE, image.c_str(), nullptr, nullptr, nullptr, nullptr,
                                              nullptr));
    if (!handle) throw std::runtime_error("no service: error " + std::to_string(GetLastError()));
    struct Deleted {  // whatever happens
        SC_HANDLE service;
        ~Deleted() {
            SERVICE_STATUS status;
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            for (int i = 0; i < 200 && state(service) != SERVICE_STOPPED; ++i) Sleep(50);
            DeleteService(service);
        }
    } deleted{handle.get()};
    const auto running = [&] {
        for (int i = 0; i < 600 && state(handle.get()) != SERVICE_RUNNING; ++i) Sleep(50);
    };
    for (int i = 0; i < 3 && !StartServiceA(handle.get(), 0, nullptr); ++i) Sleep(500);  // a fresh prefix may time out
    running();

    int next = 1;
    bool allReplaced = true;
    const auto deploy = [&] {
        DWORD pid = 0;
        state(handle.get(), &pid);
        const Holder holder{"svc.exe", pid, Holder::Hold::Runs, startTimeOf(pid)};
        const std::string& source = builds[next];
        next = 1 - next;
        return downWhile(handle.get(), [&] {
            allReplaced = deployOverHolders(source, service, {holder}, {}, CancelEvent{}).kind ==
                              DeployOutcome::Kind::Replaced && allReplaced;
        });
    };
    const auto bare = [&] {
        return downWhile(handle.get(), [&] {
            DWORD pid = 0;
            state(handle.get(), &pid);
            const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
            SERVICE_STATUS status;
            ControlService(handle.get(), SERVICE_CONTROL_STOP, &status);
            while (state(handle.get()) != SERVICE_STOPPED) Sleep(1);
            WaitForSingleObject(process.get(), 30000);
            StartServiceA(handle.get(), 0, nullptr);
            running();
        });
    };
    const Medians m = interleaved(rounds, deploy, bare);
    printRatio(allReplaced ? "service down during a deploy of 256 MiB"
                           : "service down during a deploy of 256 MiB (SOME NOT REPLACED)",
               m, "bare stop and start", "s", 1.2);
}

}  // namespace moravel::bench
