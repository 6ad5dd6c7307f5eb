// Update passes through the real main window (shown, as a user has it)
// against the bare system calls they are built on, and what many passes
// leave behind.
#include "PassBenchmark.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Bench.h"
#include "TempDir.h"
#include "core/Clock.h"
#include "core/Handle.h"
#include "ui/Application.h"
#include "ui/Controls.h"
#include "ui/MainUnit.h"

namespace moravel::bench {

namespace {

void writeFilled(const std::string& path, std::size_t mebibytes) {
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::vector<char> block(1 << 20, 'm');
    DWORD written;
    for (std::size_t i = 0; i < mebibytes; ++i)
        WriteFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
}

// Writes a file's data to the disk, so that the next measurement does not
// pay for this one's.
void flush(const std::string& path) {
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file) FlushFileBuffers(file.get());
}

std::string name(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "p%04d", i);
    return text;
}

// A working folder with a settings file, and the main window that loads it.
struct Rig {
    test::TempDir dir;
    test::CurrentDirectory cwd{dir.path()};
    std::unique_ptr<TMainForm> form;

    void start(const std::string& settings, bool shown = true) {
        test::writeFile(dir / "Moravel.ini", settings);
        form = std::make_unique<TMainForm>();
        MainForm = form.get();
        if (shown) form->show();
        pumpMessages();
    }
    void queue(const std::string& project) { form->pending().queue(project, timestampText(localNow())); }
    HWND item(int id) const { return GetDlgItem(form->hwnd(), id); }
    // A pass to its end: a long copy is a job, whose end comes as a message.
    void runPass() {
        form->RunUpdatePass();
        while (form->passRunning()) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT);
            pumpMessages();
        }
    }
    ~Rig() {
        form.reset();
        MainForm = nullptr;
    }
};

// Projects named p0000, p0001, ... whose destinations are held open here.
struct BusyRows {
    std::string settings;
    std::vector<std::string> destinations;
    std::vector<UniqueFile> held;

    BusyRows(const test::TempDir& dir, int rows) {
        const std::string source = dir / "source.bin";
        test::writeFile(source, "new contents");
        for (int i = 0; i < rows; ++i) {
            destinations.push_back(dir / (name(i) + ".dst"));
            settings += "[" + name(i) + "]\r\nSource=" + source + "\r\nDestination=" + destinations.back() + "\r\n";
            test::writeFile(destinations.back(), "old");
            held.emplace_back(CreateFileA(destinations.back().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                          nullptr));
        }
    }
};

std::string big(const test::TempDir& dir, std::size_t mebibytes) {
    const std::string path = dir / "big.bin";
    writeFilled(path, mebibytes);
    test::writeFile(dir / "big.dst", "old");
    return "[big]\r\nSource=" + path + "\r\nDestination=" + (dir / "big.dst") + "\r\n";
}

}  // namespace

void benchmarkBusyPass(int rounds) {
    constexpr int kRows = 1000;
    Rig rig;
    BusyRows busy(rig.dir, kRows);
    rig.start(busy.settings);
    for (int i = 0; i < kRows; ++i) rig.queue(name(i));
    rig.form->RefreshPendingState();

    for (bool logFailures : {false, true}) {
        setChecked(rig.item(TMainForm::CheckBox1), logFailures);
        const auto pass = [&] {
            setWindowText(rig.item(TMainForm::Memo1), "");  // each round logs the same lines
            pumpMessages();
            const double start = seconds();
            rig.form->RunUpdatePass();
            return seconds() - start;
        };
        const auto bare = [&] {
            const double start = seconds();
            for (const std::string& destination : busy.destinations)
                UniqueFile(CreateFileA(destination.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
            return seconds() - start;
        };
        // Logged, a pass with the window shown takes seconds: fewer rounds.
        const Medians m = interleaved(logFailures ? std::max(1, rounds - 2) : rounds, pass, bare);
        printRatio(logFailures ? "pass over 1000 busy rows, failures logged" : "pass over 1000 busy rows", m,
                   "bare exclusive opens", "s", logFailures ? 2.0 : 1.5);
    }
}

void benchmarkCopy(int rounds) {
    Rig rig;
    rig.start(big(rig.dir, 256));
    const std::string source = rig.dir / "big.bin", plain = rig.dir / "big.plain", safe = rig.dir / "big.safe";
    bool allCopied = true;
    std::vector<double> passes, safes;  // each round: the pass, the bare CopyFileA, the bare crash-safe sequence
    const auto pass = [&] {
        rig.queue("big");
        const double start = seconds();
        rig.runPass();
        passes.push_back(seconds() - start);
        allCopied = allCopied && rig.form->pending().count() == 0;
        flush(rig.dir / "big.dst");
        return passes.back();
    };
    const auto bare = [&] {
        double start = seconds();
        CopyFileA(source.c_str(), plain.c_str(), FALSE);
        const double took = seconds() - start;
        flush(plain);
        start = seconds();
        CopyFileA(source.c_str(), (rig.dir / "~safe").c_str(), FALSE);
        flush(rig.dir / "~safe");
        MoveFileExA((rig.dir / "~safe").c_str(), safe.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        safes.push_back(seconds() - start);
        return took;
    };
    const Medians m = interleaved(rounds, pass, bare);
    const std::string what = allCopied ? "copy of 256 MiB by a pass" : "copy of 256 MiB by a pass (SOME NOT DONE)";
    printRatio(what, m, "CopyFileA", "s", 1.05);
    std::vector<double> ratios;
    for (std::size_t i = 1; i < passes.size(); ++i) ratios.push_back(passes[i] / safes[i]);  // the first warms up
    passes.erase(passes.begin());
    safes.erase(safes.begin());
    printRatio(what, Medians{median(passes), median(safes), median(ratios)}, "copy, flush, write-through move", "s",
               1.05);
}

void benchmarkManyPasses(int passes) {
    Rig rig;
    BusyRows busy(rig.dir, 3);
    // Hidden, as in the notification area during a long wait: painting a
    // shown window after every pass would take most of the time.
    rig.start(busy.settings, false);
    for (int i = 0; i < 3; ++i) rig.queue(name(i));
    rig.form->RefreshPendingState();

    // Each pass as the timer runs it: then the window catches up.
    const auto run = [&](int count) {
        for (int i = 0; i < count; ++i) {
            rig.form->RunUpdatePass();
            pumpMessages();
        }
    };
    struct Counts {
        double privateKiB;
        std::optional<unsigned> handles, gdi, user;
    };
    const auto count = [&] {
        // A holder lookup under way has a thread, with its stack and handle,
        // that is gone once it has answered: wait for that, so that only
        // what stays is counted.
        for (int waited = 0; rig.form->holderLookupRunning() && waited < 5000; waited += 10) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
            pumpMessages();
        }
        Sleep(50);  // and for the thread itself to end
        return Counts{static_cast<double>(privateBytes(GetCurrentProcess())) / 1024, handleCount(), gdiObjectCount(),
                      userObjectCount()};
    };
    run(100);  // what the first passes allocate once
    const Counts before = count();
    const double start = seconds();
    run(passes);
    const double took = seconds() - start;
    const Counts after = count();

    const std::string over = " over " + std::to_string(passes) + " passes";
    printRatio("private memory" + over, after.privateKiB, "before", before.privateKiB, "KiB", 1.01, 3);
    const auto flat = [&](const std::string& what, const std::optional<unsigned>& a, const std::optional<unsigned>& b) {
        if (a && b)
            printRatio(what + over, *b, "before", *a, "", 1.00);
        else
            printLine(what + over + ": n/a (the platform gives no count)");
    };
    flat("handles", before.handles, after.handles);
    flat("GDI objects", before.gdi, after.gdi);
    flat("USER objects", before.user, after.user);
    char text[96];
    std::snprintf(text, sizeof text, "  (%d passes over 3 busy rows took %.3f s)", passes, took);
    printLine(text);
}

namespace {

struct Sender {
    HWND target;
    volatile LONG stop = 0;
    volatile LONG answered = 0;
    double longest = 0;  // read once the thread has ended
};

DWORD WINAPI sendUntilStopped(void* data) {
    auto& sender = *static_cast<Sender*>(data);
    while (!InterlockedCompareExchange(&sender.stop, 0, 0)) {
        const double start = seconds();
        DWORD_PTR result = 0;
        if (SendMessageTimeoutA(sender.target, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result))
            InterlockedIncrement(&sender.answered);
        sender.longest = std::max(sender.longest, seconds() - start);
        Sleep(20);
    }
    return 0;
}

}  // namespace

void benchmarkWaitDuringCopy() {
    Rig rig;
    rig.start(big(rig.dir, 512));
    rig.queue("big");
    Sender sender{rig.form->hwnd()};
    HANDLE thread = CreateThread(nullptr, 0, sendUntilStopped, &sender, 0, nullptr);
    // The sender's first message is answered before the copy starts.
    while (!InterlockedCompareExchange(&sender.answered, 0, 0)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        pumpMessages();
    }
    const double start = seconds();
    rig.runPass();
    const double took = seconds() - start;
    InterlockedExchange(&sender.stop, 1);
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) pumpMessages();
    CloseHandle(thread);

    WIN32_FILE_ATTRIBUTE_DATA copied = {};
    GetFileAttributesExA((rig.dir / "big.dst").c_str(), GetFileExInfoStandard, &copied);
    const bool done = rig.form->pending().count() == 0 && copied.nFileSizeLow == 512u << 20;
    char text[160];
    std::snprintf(text, sizeof text,
                  "longest wait for a message sent during a 512 MiB copy: %.3f s (goal <= 0.200 s; the pass took "
                  "%.3f s%s)",
                  sender.longest, took, done ? "" : ", NOT DONE");
    printLine(text);
}

}  // namespace moravel::bench
