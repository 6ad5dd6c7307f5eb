#include "Bench.h"

#include "engine/HandleTable.h"
#include "engine/Holders.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>

namespace moravel::bench {

double seconds() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

Medians interleaved(int rounds, const std::function<double()>& a, const std::function<double()>& b) {
    a();
    b();
    std::vector<double> as, bs, ratios;
    for (int i = 0; i < rounds; ++i) {
        as.push_back(a());
        bs.push_back(b());
        if (bs.back() > 0) ratios.push_back(as.back() / bs.back());
    }
    return {median(as), median(bs), median(ratios)};
}

namespace {

std::string number(double value, const std::string& unit) {
    char text[32];
    std::snprintf(text, sizeof text, unit == "s" ? "%.3f" : "%.0f", value);
    return text + (unit.empty() ? "" : " " + unit);
}

}  // namespace

void printRatio(const std::string& what, double value, const std::string& against, double bare,
                const std::string& unit, double goal, int decimals) {
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, " = %.*f x (goal <= %.*f)", decimals, bare > 0 ? value / bare : 0.0,
                  decimals, goal);
    printLine(what + ": " + number(value, unit) + " vs " + against + " " + number(bare, unit) + ratio);
}

void printRatio(const std::string& what, const Medians& m, const std::string& against, const std::string& unit,
                double goal) {
    char ratio[96];
    std::snprintf(ratio, sizeof ratio, " = %.2f x (goal <= %.2f; round by round %.2f x)", m.b > 0 ? m.a / m.b : 0.0,
                  goal, m.paired);
    printLine(what + ": " + number(m.a, unit) + " vs " + against + " " + number(m.b, unit) + ratio);
}

void printLine(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

SIZE_T privateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        return 0;
    // The same figure on Windows; Wine gives it for this process only, and
    // for others its resident anonymous memory as the page-file usage.
    return counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
}

std::optional<unsigned> handleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
    // Wine's count is a stub: the system's handle table, as the holder lookup reads it.
    const int counted = openHandleCount();
    if (counted < 0) return std::nullopt;
    return static_cast<unsigned>(counted);
}

// Wine resolves a GDI handle by its low 16 bits alone when the high ones are
// zero, and a USER handle (windows, icons) likewise: every live object of the
// process answers to one of those values. Windows checks the high bits, so
// there these probes find nothing; there GetGuiResources answers.
std::optional<unsigned> gdiObjectCount() {
    if (const DWORD count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS)) return count;
    unsigned found = 0;
    for (ULONG_PTR value = 1; value <= 0xffff; ++value)
        if (GetObjectType(reinterpret_cast<HGDIOBJ>(value))) ++found;
    return found ? std::optional<unsigned>(found) : std::nullopt;
}

std::optional<unsigned> userObjectCount() {
    if (const DWORD count = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS)) return count;
    // Asks whether a handle is a cursor or icon, without making anything.
    using FrameInfo = HCURSOR(WINAPI*)(HCURSOR, DWORD, DWORD, DWORD*, DWORD*);
    const auto frameInfo = reinterpret_cast<FrameInfo>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetCursorFrameInfo")));
    unsigned found = 0;
    for (ULONG_PTR value = 0x20; value <= 0xffef; value += 2) {
        const auto hwnd = reinterpret_cast<HWND>(value);
        DWORD pid = 0;
        if (IsWindow(hwnd)) {
            if (GetWindowThreadProcessId(hwnd, &pid) && pid == GetCurrentProcessId()) ++found;
            continue;
        }
        DWORD rate = 0, steps = 0;
        if (frameInfo && frameInfo(reinterpret_cast<HCURSOR>(value), 0, 0, &rate, &steps)) ++found;
    }
    return found ? std::optional<unsigned>(found) : std::nullopt;
}

std::string programDirectory() {
    char path[MAX_PATH * 2] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string directory = path;
    return directory.substr(0, directory.find_last_of("\\/") + 1);
}

}  // namespace moravel::bench
