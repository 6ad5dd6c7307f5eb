// Measures an update pass through the real main window against the bare
// system calls it is built on:
//   1. a pass over 1000 queued rows whose destinations are all held open,
//      against a loop of the same exclusive opens;
//   2. a pass that copies a 256 MiB file, against one plain CopyFileA;
//   3. the longest the window keeps another process waiting for an answer
//      while a pass copies 512 MiB.
// Prints the times and their ratios. Not a test: figures depend on the machine.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

// ---- the longest wait ---------------------------------------------------------------------
//
// A second process of this program sends the main window WM_NULL again and
// again from the start signal to the stop signal and exits with the longest
// wait for an answer, in milliseconds.

std::string pingEvent(HWND window, const char* what) {
    return "Local\\MoravelBenchPing" + std::to_string(reinterpret_cast<std::uintptr_t>(window)) + what;
}

int pingUntilStopped(HWND window) {
    const UniqueHandle start(OpenEventA(SYNCHRONIZE, FALSE, pingEvent(window, "Start").c_str()));
    const UniqueHandle stop(OpenEventA(SYNCHRONIZE, FALSE, pingEvent(window, "Stop").c_str()));
    if (!start || !stop || WaitForSingleObject(start.get(), 600000) != WAIT_OBJECT_0) return -1;
    double longest = 0;
    while (WaitForSingleObject(stop.get(), 0) == WAIT_TIMEOUT) {
        const double sent = seconds();
        DWORD_PTR result = 0;
        SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 600000, &result);
        longest = std::max(longest, seconds() - sent);
        Sleep(1);
    }
    return static_cast<int>(longest * 1000 + 0.5);
}

// The longest wait of another process for an answer of the main window while
// a pass copies a file of the given size; -1 when it could not be measured.
int longestWaitDuringCopy(const test::TempDir& dir, std::size_t mebibytes) {
    const std::string big = dir / "huge.bin";
    writeZeros(big, mebibytes);
    test::writeFile(dir / "Moravel.ini", "[huge]\r\nSource=" + big + "\r\nDestination=" + (dir / "huge.dst") + "\r\n");
    test::writeFile(dir / "huge.dst", "old");
    auto form = std::make_unique<TMainForm>();
    MainForm = form.get();
    form->pending().queue("huge", timestampText(localNow()));

    const UniqueHandle start(CreateEventA(nullptr, TRUE, FALSE, pingEvent(form->hwnd(), "Start").c_str()));
    const UniqueHandle stop(CreateEventA(nullptr, TRUE, FALSE, pingEvent(form->hwnd(), "Stop").c_str()));
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = "\"" + std::string(self) + "\" --ping " +
                          std::to_string(reinterpret_cast<std::uintptr_t>(form->hwnd()));
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!start || !stop ||
        !CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    const UniqueHandle pinger(process.hProcess), thread(process.hThread);
    Sleep(200);  // the pinger is up and waits for the start

    SetEvent(start.get());
    form->RunUpdatePass();
    SetEvent(stop.get());
    // Its last message may still wait for an answer.
    HANDLE waitFor = pinger.get();
    while (MsgWaitForMultipleObjects(1, &waitFor, FALSE, 60000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) pumpMessages();
    DWORD longest = 0;
    GetExitCodeProcess(pinger.get(), &longest);
    const bool copied = form->pending().count() == 0;
    form.reset();
    MainForm = nullptr;
    DeleteFileA(big.c_str());
    DeleteFileA((dir / "huge.dst").c_str());
    return copied ? static_cast<int>(longest) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--ping") == 0)
        return pingUntilStopped(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(std::stoull(argv[2]))));

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
    DeleteFileA(big.c_str());

    const int longest = longestWaitDuringCopy(dir, 512);
    std::printf("pass copying 512 MiB: longest wait of another process for the window's answer: %d ms\n", longest);
    return copied && longest >= 0 ? 0 : 1;
}
