// Moravel: copies files over files that are in use, retrying until they are free.
#include <windows.h>

#include <exception>

#include "ui/Application.h"
#include "ui/MainUnit.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    using namespace moravel;
    try {
        initWindowing();
        // The main window first: it is the one whose closing ends the program.
        TMainForm main;
        MainForm = &main;
        setApplicationMainWindow(main.hwnd());
        // The chooser and the detail dialog are made when first opened.

        main.show();
        return runMessageLoop();
    } catch (const std::exception& e) {
        showError(e.what());
    }
    return 1;
}
