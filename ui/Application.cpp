#include "ui/Application.h"

#include <commctrl.h>

#include "core/AppError.h"
#include "ui/Seams.h"
#include "ui/Window.h"

namespace moravel {

namespace {
HWND g_mainWindow = nullptr;
}

void initWindowing() {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
}

HWND applicationMainWindow() noexcept { return g_mainWindow; }
void setApplicationMainWindow(HWND hwnd) noexcept { g_mainWindow = hwnd; }

void dispatchMessage(MSG& msg) {
    HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (root && Window::isProgramWindow(root) && IsDialogMessageA(root, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

void pumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        dispatchMessage(msg);
    }
}

int runMessageLoop() {
    MSG msg;
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) dispatchMessage(msg);
    return got == 0 ? static_cast<int>(msg.wParam) : 1;
}

void showError(const std::string& message) noexcept {
    try {
        seams().messageBox(Window::activeOwner(), errorBoxText(message), kApplicationTitle,
                           MB_OK | MB_ICONSTOP);
    } catch (...) {
        MessageBoxA(nullptr, message.c_str(), kApplicationTitle, MB_OK | MB_ICONSTOP | MB_TASKMODAL);
    }
}

int systemDpi() noexcept {
    static const int dpi = [] {
        HDC screen = GetDC(nullptr);
        const int value = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
        if (screen) ReleaseDC(nullptr, screen);
        return value > 0 ? value : 96;
    }();
    return dpi;
}

}  // namespace moravel
