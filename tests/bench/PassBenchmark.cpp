// Measures an update pass through the real main window against the bare
// system calls it is built on:
//   1. a pass over 1000 queued rows whose destinations are all held open,
//      against a loop of the same exclusive opens;
//   2. a pass that copies a 256 MiB file, against one plain CopyFileA.
// Prints the times and their ratios. Not a test: figures depend on the machine.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.h"
#include "core/Clock.h"
#include "core/Handle.h"
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

    std::vector<UniqueFile> held;
    for (int i = 0; i < kRows; ++i) {
        const std::string destination = dir / (name(i) + ".dst");
        test::writeFile(destination, "old");
        held.emplace_back(CreateFileA(destination.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }

    auto form = std::make_unique<TMainForm>();
    MainForm = form.get();
    for (int i = 0; i < kRows; ++i) form->pending().queue(name(i), timestampText(localNow()));
    form->RefreshPendingState();

    for (bool logFailures : {false, true}) {
        setChecked(GetDlgItem(form->hwnd(), TMainForm::CheckBox1), logFailures);
        double start = seconds();
        form->RunUpdatePass();
        const double pass = seconds() - start;

        start = seconds();
        int busy = 0;
        for (int i = 0; i < kRows; ++i) {
            const std::string destination = dir / (name(i) + ".dst");
            UniqueFile probe(CreateFileA(destination.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!probe) ++busy;
        }
        const double bare = seconds() - start;
        std::printf("busy pass over %d rows%s: %.3f s; bare exclusive opens (%d busy): %.3f s; ratio %.2f\n",
                    kRows, logFailures ? " (failures logged)" : "", pass, busy, bare, pass / bare);
    }
    held.clear();
    form.reset();
    MainForm = nullptr;

    // One large copy.
    constexpr std::size_t kMiB = 256;
    const std::string big = dir / "big.bin";
    writeZeros(big, kMiB);
    test::writeFile(dir / "Moravel.ini", "[big]\r\nSource=" + big + "\r\nDestination=" + (dir / "big.dst") + "\r\n");
    test::writeFile(dir / "big.dst", "old");
    form = std::make_unique<TMainForm>();
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
