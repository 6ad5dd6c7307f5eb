#include "app/Entry.h"

#include <windows.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "core/CommandLine.h"
#include "core/SettingsFile.h"
#include "ui/Application.h"
#include "ui/Instance.h"
#include "ui/MainUnit.h"

namespace moravel {

namespace {

void printLine(const std::string& line, bool toError) {
    writeStandard(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, line + "\r\n");
}

// The window, and the instance of its settings file while it holds the lock.
int runWindow(InstanceLock& lock, const CommandLine& command, const std::string& key) {
    initWindowing();
    // Made before the window and gone after it: once the window has gone,
    // until its last job has stopped and the process ends, later starts are
    // answered "closing" and wait for this process to end.
    std::unique_ptr<CommandReceiver> receiver;
    // The main window first: it is the one whose closing ends the program.
    TMainForm main;
    // However this ends, the receiver lets the window be before the window goes.
    const struct Closing {
        std::unique_ptr<CommandReceiver>& receiver;
        ~Closing() {
            if (receiver) receiver->closing();
        }
    } closing{receiver};
    MainForm = &main;
    setApplicationMainWindow(main.hwnd());
    // The chooser and the detail dialog are made when first opened.

    if (lock.first()) {
        try {
            receiver = std::make_unique<CommandReceiver>(key, main);
        } catch (const std::exception&) {
            lock.release();  // a /queue must not wait for an instance that cannot hear it
        }
    }
    if (command.hide)
        main.showHidden();
    else
        main.show();
    return runMessageLoop();
}

// A start without /queue. The first in a folder is its instance and takes
// the commands of later starts there; a later one brings it to the front
// and ends, so that one window edits one settings file. The console program
// leaves the window to an instance it starts detached, so that the prompt
// it was typed at goes on.
int plainStart(const CommandLine& command, const std::string& key, Entry entry) {
    const bool here = entry == Entry::Window || command.launched;
    for (;;) {
        std::optional<InstanceLock> lock;
        if (here) {
            lock.emplace(key);
            if (lock->first()) return runWindow(*lock, command, key);
        } else if (!instanceExists(key)) {
            return launchInstance(command.hide) ? kExitQueued : kExitNoAnswer;
        }
        if (command.launched || command.hide) return kExitQueued;  // another start made it first; or it stays hidden
        switch (showRunningInstance(key)) {
            case ShowAnswer::Shown: return kExitQueued;
            case ShowAnswer::Ended: continue;  // it was closing, and has ended: this start may be the next
            case ShowAnswer::NoAnswer: break;
        }
        if (!here) return kExitNoAnswer;
        lock->release();  // it does not answer: this one runs on its own, as before
        return runWindow(*lock, command, key);
    }
}

int run(Entry entry, const RunHere& runHere) {
    const CommandLine command = parseCommandLine(GetCommandLineA());
    if (command.kind == CommandLine::Kind::Help) {
        if (entry == Entry::Console)
            writeStandard(STD_OUTPUT_HANDLE, commandLineUsage() + "\r\n");
        else
            MessageBoxA(nullptr, commandLineUsage().c_str(), kApplicationTitle, MB_OK | MB_ICONINFORMATION);
        return kExitQueued;
    }
    std::string problem = command.problem;
    if (command.wait && entry == Entry::Window)
        problem = "/wait is for Moravel.com, the console program beside Moravel.exe.";
    if (!problem.empty()) {
        // No box: a build script that runs us must not stop at one.
        writeToStandardError(problem + "\r\n\r\n" + commandLineUsage() + "\r\n");
        return kExitBadCommandLine;
    }
    const std::string key = instanceKey(settingsFilePath(workingDirectory()));
    if (command.queue.empty()) return plainStart(command, key, entry);
    if (!command.wait) return forwardQueueCommand(key, command);
    return forwardQueueCommand(key, command, printLine, runHere);
}

}  // namespace

int runProgram(Entry entry, const RunHere& runHere) noexcept {
    // The console program tells its console; started detached, it has none and shows a box.
    const auto tell = [entry](const char* error) {
        if (entry == Entry::Console && GetStdHandle(STD_ERROR_HANDLE))
            writeStandard(STD_ERROR_HANDLE, std::string(error) + "\r\n");
        else
            showError(error);
    };
    try {
        return run(entry, runHere);
    } catch (const std::exception& e) {
        tell(e.what());
    } catch (...) {
        tell("Unknown error");
    }
    return 1;
}

}  // namespace moravel
