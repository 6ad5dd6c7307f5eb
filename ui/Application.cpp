#include "ui/Application.h"

#include <commctrl.h>

#include "core/AppError.h"
#include "ui/Controls.h"
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

namespace {

bool isMultiLineEdit(HWND hwnd) {
    char name[8] = {};
    return GetClassNameA(hwnd, name, sizeof name) && lstrcmpiA(name, "Edit") == 0 &&
           (GetWindowLongA(hwnd, GWL_STYLE) & ES_MULTILINE);
}

// A multi-line edit takes Tab and Escape from the dialog keyboard handling
// and then behaves as if it sat in a dialog box: it asks its window for the
// next control, which a plain window ignores, and asks it to close. Here the
// two keys do what they do on every other control: Tab moves on, Escape
// does nothing (the one window with such a field, the main window, has no
// cancel button).
bool handleEditTabOrEscape(HWND root, const MSG& msg) {
    if (msg.message != WM_KEYDOWN || (msg.wParam != VK_TAB && msg.wParam != VK_ESCAPE)) return false;
    if (!isMultiLineEdit(msg.hwnd) || GetKeyState(VK_CONTROL) < 0) return false;
    if (msg.wParam == VK_TAB) {
        if (HWND next = GetNextDlgTabItem(root, msg.hwnd, GetKeyState(VK_SHIFT) < 0)) focusControl(next);
    }
    return true;
}

bool isPushButton(LRESULT dialogCode) { return dialogCode & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON); }

// As in a dialog box, the push button that has the focus is the one Enter
// presses, and it is drawn so: it takes the default style, however the focus
// came to it (opening, a click, a mnemonic, a box closing). When the focus
// moves on to something else, the window's own default button (if it has
// one) takes the style back.
void followFocusWithDefaultButton() {
    static HWND followed = nullptr;
    HWND focus = GetFocus();
    if (focus == followed) return;
    followed = focus;
    HWND root = focus ? GetAncestor(focus, GA_ROOT) : nullptr;
    if (!root || !Window::isProgramWindow(root)) return;
    const bool onButton = isPushButton(SendMessageA(focus, WM_GETDLGCODE, 0, 0));
    const LRESULT defId = SendMessageA(root, DM_GETDEFID, 0, 0);
    const int ownDefault = HIWORD(defId) == DC_HASDEFID ? LOWORD(defId) : 0;
    for (HWND child = GetWindow(root, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        const LRESULT code = SendMessageA(child, WM_GETDLGCODE, 0, 0);
        if (!isPushButton(code)) continue;
        const bool isDefault = onButton ? child == focus : GetDlgCtrlID(child) == ownDefault;
        if (isDefault != ((code & DLGC_DEFPUSHBUTTON) != 0))
            SendMessageA(child, BM_SETSTYLE, isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
    }
}

}  // namespace

void dispatchMessage(MSG& msg) {
    followFocusWithDefaultButton();
    HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (root && Window::isProgramWindow(root) &&
        (handleEditTabOrEscape(root, msg) || IsDialogMessageA(root, &msg)))
        return;
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
