// Moravel: copies files over files that are in use, retrying until they are free.
#include <windows.h>

#include <exception>
#include <memory>

#include "core/CommandLine.h"
#include "core/SettingsFile.h"
#include "ui/Application.h"
#include "ui/Instance.h"
#include "ui/MainUnit.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    using namespace moravel;
    try {
        const CommandLine command = parseCommandLine(GetCommandLineA());
        if (command.kind == CommandLine::Kind::Help) {
            MessageBoxA(nullptr, commandLineUsage().c_str(), kApplicationTitle, MB_OK | MB_ICONINFORMATION);
            return kExitQueued;
        }
        if (command.kind == CommandLine::Kind::Malformed) {
            // No box: a build script that runs us must not stop at one.
            writeToStandardError(command.problem + "\r\n\r\n" + commandLineUsage() + "\r\n");
            return kExitBadCommandLine;
        }
        const std::string key = instanceKey(settingsFilePath(workingDirectory()));
        if (!command.queue.empty()) return forwardQueueCommand(key, command);

        // The first plain start in a directory is its instance and takes the
        // commands of later starts there; a later plain start brings it to
        // the front and ends, so that one window edits one settings file.
        InstanceLock lock(key);
        if (!lock.first()) {
            if (command.launched) return kExitQueued;  // another /queue started the instance first
            if (command.hide || showRunningInstance(key)) return kExitQueued;
            lock.release();  // it does not answer (it is closing): this one runs on its own, as before
        }

        initWindowing();
        // The main window first: it is the one whose closing ends the program.
        TMainForm main;
        MainForm = &main;
        setApplicationMainWindow(main.hwnd());
        // The chooser and the detail dialog are made when first opened.

        std::unique_ptr<CommandReceiver> receiver;
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
    } catch (const std::exception& e) {
        showError(e.what());
    }
    return 1;
}
