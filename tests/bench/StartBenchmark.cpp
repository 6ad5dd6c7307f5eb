// Moravel.exe against the bare window program: the time from starting the
// process until its main window is shown and its thread waits for input
// (and the part of it a start that ends before any window takes), the
// private memory it then holds, and the size of the executable.
#include "StartBenchmark.h"

#include <stdexcept>

#include "Bench.h"
#include "TempDir.h"

namespace moravel::bench {

namespace {

struct Started {
    double seconds;
    double privateKiB;
};

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK findShownWindow(HWND hwnd, LPARAM data) {
    auto& search = *reinterpret_cast<WindowSearch*>(data);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != search.processId || !IsWindowVisible(hwnd) || GetWindow(hwnd, GW_OWNER)) return TRUE;
    search.found = hwnd;
    return FALSE;
}

HWND shownWindowOf(DWORD processId) {
    WindowSearch search{processId, nullptr};
    EnumWindows(findShownWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Starts the program in the folder, waits until its window is shown and it
// waits for input, measures, and closes it again.
Started startOnce(const std::string& program, const std::string& folder) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "\"" + program + "\"";
    const double start = seconds();
    if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &process))
        throw std::runtime_error("cannot start " + program);
    WaitForInputIdle(process.hProcess, 30000);
    HWND window = nullptr;
    while (!(window = shownWindowOf(process.dwProcessId)))
        if (WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0 || seconds() - start > 30)
            throw std::runtime_error(program + " showed no window");
    Started result{seconds() - start, static_cast<double>(privateBytes(process.hProcess)) / 1024};

    PostMessageA(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

// Starts the program with a switch on which it ends before making any
// window (Moravel takes it for a wrong command line; its complaint goes to
// the null device), until it has ended: loading the image and its
// libraries, the runtime's start and the program's first steps.
double endedAtOnce(const std::string& program, const std::string& folder) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const HANDLE nul =
        CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "\"" + program + "\" " + kEndAtOnce;
    const double start = seconds();
    const BOOL started = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        folder.c_str(), &startup, &process);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) throw std::runtime_error("cannot start " + program);
    const bool ended = WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
    const double took = seconds() - start;
    if (!ended) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!ended) throw std::runtime_error(program + " did not end on " + kEndAtOnce);
    return took;
}

}  // namespace

void benchmarkStart(const StartPrograms& programs, int rounds) {
    test::TempDir folder;  // no settings file: Moravel starts with no projects
    std::vector<double> memory, bareMemory;
    // One start of the program: its time, and its memory kept aside.
    const auto starting = [&folder](const std::string& program, std::vector<double>& memoryOut) {
        return [&folder, &program, &memoryOut] {
            const Started s = startOnce(program, folder.path());
            memoryOut.push_back(s.privateKiB);
            return s.seconds;
        };
    };
    const auto moravel = starting(programs.moravel, memory);
    const auto bare = starting(programs.bare, bareMemory);
    const Medians start = interleaved(rounds, moravel, bare);
    printRatio("start", start, "bare", "s", 1.10);
    // Where the time goes: the part before any window; the rest is the window's.
    const Medians loading = interleaved(rounds, [&] { return endedAtOnce(programs.moravel, folder.path()); },
                                        [&] { return endedAtOnce(programs.bare, folder.path()); });
    printRatio("  of which loaded and ended before any window", loading, "bare", "s", 1.10);
    printRatio("private memory after start", median(memory), "bare", median(bareMemory), "KiB", 1.20);

    // What the common controls 6 assembly costs the bare window by itself.
    if (!programs.bareStyled.empty()) {
        std::vector<double> styledMemory;
        bareMemory.clear();
        const auto styled = starting(programs.bareStyled, styledMemory);
        const Medians v6 = interleaved(rounds, styled, bare);
        printRatio("  (for reference) start of the bare window with visual styles", v6, "without", "s", 1.10);
        printRatio("  (for reference) its private memory", median(styledMemory), "without", median(bareMemory),
                   "KiB", 1.20);
    }

    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (GetFileAttributesExA(programs.moravel.c_str(), GetFileExInfoStandard, &data))
        printRatio("executable size", data.nFileSizeLow / 1024.0, "the limit", 1024, "KiB", 1.00);
}

}  // namespace moravel::bench
