// Measures an update pass through the real main window against the bare
// system calls it is built on:
//   1. passes over 1000 queued rows whose destinations are all held open,
//      by this process or by another one, against a loop of the same
//      exclusive opens;
//   2. a pass that copies a 256 MiB file, against one plain CopyFileA.
// Prints the times and their ratios. Not a test: figures depend on the machine.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.h"
#include "core/Clock.h"
#include "core/Handle.h"
#include "engine/TestFiles.h"
#include "ui/Application.h"
#include "ui/Controls.h"
#include "ui/MainUnit.h"
#include "ui/Seams.h"

using namespace moravel;

namespace {

double seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void writeZeros(const std::string& path, std::size_t mebibytes) {
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::vector<char> block(1 << 20, 'm');
    DWORD written;
    for (std::size_t i = 0; i < mebibytes; ++i) WriteFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
}

std::string name(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "p%04d", i);
    return text;
}

}  // namespace

int main() {
    initWindowing();
    seams().messageBox = [](HWND, const std::string& text, const std::string&, UINT) {
        std::printf("box: %s\n", text.c_str());
        return IDOK;
    };
    seams().notifyIcon = [](DWORD, const NOTIFYICONDATAA&) { return TRUE; };

    test::TempDir dir;
    test::CurrentDirectory cwd(dir.path());
    const std::string source = dir / "source.bin";
    test::writeFile(source, "new contents");

    constexpr int kRows = 1000;
    std::string settings;
    for (int i = 0; i < kRows; ++i)
        settings += "[" + name(i) + "]\r\nSource=" + source + "\r\nDestination=" + (dir / name(i)) + ".dst\r\n";
    test::writeFile(dir / "Moravel.ini", settings);

    std::string list;
    for (int i = 0; i < kRows; ++i) {
        const std::string destination = dir / (name(i) + ".dst");
        test::writeFile(destination, "old");
        list += destination + "\n";
    }
    test::writeFile(dir / "held.txt", list);

    // Held by this process (nobody else to name), then by another program.
    for (const bool elsewhere : {false, true}) {
        std::vector<UniqueFile> held;
        std::unique_ptr<test::HeldByOtherProcess> holder;
        if (elsewhere) {
            holder = std::make_unique<test::HeldByOtherProcess>("@" + (dir / "held.txt"));
            if (!holder->held()) std::printf("holdfile.exe could not hold the files\n");
        } else {
            for (int i = 0; i < kRows; ++i)
                held.emplace_back(CreateFileA((dir / (name(i) + ".dst")).c_str(), GENERIC_READ, 0, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
        }
        const char* how = elsewhere ? "held by another process" : "held here";

        auto form = std::make_unique<TMainForm>();
        MainForm = form.get();
        for (int i = 0; i < kRows; ++i) form->pending().queue(name(i), timestampText(localNow()));
        form->RefreshPendingState();

        // The first pass of a busy streak, then the passes that follow it.
        constexpr int kPasses = 12;
        std::vector<double> times;
        for (int i = 0; i < kPasses; ++i) {
            const double start = seconds();
            form->RunUpdatePass();
            times.push_back(seconds() - start);
        }
        std::printf("pass times (s):");
        for (const double t : times) std::printf(" %.3f", t);
        std::printf("\n");
        std::vector<double> later(times.begin() + 1, times.end());
        std::sort(later.begin(), later.end());

        double start = seconds();
        int busy = 0;
        for (int i = 0; i < kRows; ++i) {
            const std::string destination = dir / (name(i) + ".dst");
            UniqueFile probe(CreateFileA(destination.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!probe) ++busy;
        }
        const double bare = seconds() - start;
        std::printf("busy pass over %d rows, %s: first %.3f s, next %d: median %.3f s (min %.3f, max %.3f); "
                    "bare exclusive opens (%d busy): %.3f s; ratio %.2f\n",
                    kRows, how, times[0], kPasses - 1, later[later.size() / 2], later.front(), later.back(), busy,
                    bare, later[later.size() / 2] / bare);

        setChecked(GetDlgItem(form->hwnd(), TMainForm::CheckBox1), true);
        start = seconds();
        form->RunUpdatePass();
        std::printf("busy pass over %d rows, %s (failures logged): %.3f s\n", kRows, how, seconds() - start);
        const int lines = static_cast<int>(SendMessageA(GetDlgItem(form->hwnd(), TMainForm::Memo1), EM_GETLINECOUNT, 0, 0));
        std::printf("  status log: %d lines\n", lines);
        form.reset();
        MainForm = nullptr;
    }

    // One large copy.
    constexpr std::size_t kMiB = 256;
    const std::string big = dir / "big.bin";
    writeZeros(big, kMiB);
    test::writeFile(dir / "Moravel.ini", "[big]\r\nSource=" + big + "\r\nDestination=" + (dir / "big.dst") + "\r\n");
    test::writeFile(dir / "big.dst", "old");
    auto form = std::make_unique<TMainForm>();
    MainForm = form.get();
    form->pending().queue("big", timestampText(localNow()));
    double start = seconds();
    form->RunUpdatePass();
    const double pass = seconds() - start;
    const bool copied = form->pending().count() == 0;
    start = seconds();
    CopyFileA(big.c_str(), (dir / "big.plain").c_str(), FALSE);
    const double bare = seconds() - start;
    std::printf("pass copying %zu MiB (%s): %.3f s; plain CopyFileA: %.3f s; ratio %.2f\n", kMiB,
                copied ? "done" : "NOT DONE", pass, bare, pass / bare);
    form.reset();
    MainForm = nullptr;
    return copied ? 0 : 1;
}
