// Moravel measured side by side with what the platform alone costs. Each
// pair runs interleaved in one run and prints one line per ratio with the
// medians and its goal. Not a test: the figures depend on the machine and
// its load, and nothing here fails on a figure.
//
//   benchmark [--rounds N] [--program PATH] [start] [busy] [copy] [objects] [wait] [deploy]
//
// With no part named, all of them run. Moravel.exe is looked for one folder
// above this program (or given: an older build, say), the bare window
// programs beside it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <set>
#include <string>

#include "Bench.h"
#include "DeployBenchmark.h"
#include "PassBenchmark.h"
#include "StartBenchmark.h"
#include "ui/Application.h"
#include "ui/Seams.h"

using namespace moravel;

int main(int argc, char** argv) {
    int rounds = 5;
    std::string program;
    std::set<std::string> parts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--program" && i + 1 < argc)
            program = argv[++i];
        else
            parts.insert(arg);
    }
    const auto wanted = [&](const char* part) { return parts.empty() || parts.count(part) > 0; };

    initWindowing();
    seams().messageBox = [](HWND, const std::string& text, const std::string&, UINT) {
        std::printf("box: %s\n", text.c_str());
        return IDOK;
    };
    seams().notifyIcon = [](DWORD, const NOTIFYICONDATAA&) { return TRUE; };

    try {
        const std::string here = bench::programDirectory();
        if (program.empty()) program = here + "..\\Moravel.exe";
        if (wanted("start"))
            bench::benchmarkStart({program, here + "bare_window.exe", here + "bare_window_styled.exe"}, 3 * rounds);
        if (wanted("busy")) bench::benchmarkBusyPass(rounds);
        if (wanted("copy")) bench::benchmarkCopy(std::max(1, rounds - 2));
        if (wanted("objects")) bench::benchmarkManyPasses(10000);
        if (wanted("wait")) bench::benchmarkWaitDuringCopy();
        if (wanted("deploy")) bench::benchmarkDeploy(rounds);
    } catch (const std::exception& e) {
        std::printf("benchmark stopped: %s\n", e.what());
        return 1;
    }
    return 0;
}
