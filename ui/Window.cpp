#include "ui/Window.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "core/AppError.h"
#include "ui/Application.h"
#include "ui/Controls.h"
#include "ui/Layout.h"
#include "ui/Resources.h"

namespace moravel {

namespace {

std::vector<Window*> g_modalStack;
std::vector<HWND> g_programWindows;

HICON programIcon(int size) {
    return static_cast<HICON>(
        LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_MORAVEL), IMAGE_ICON, size, size, LR_SHARED));
}

void registerClass(const char* name, WNDPROC proc) {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExA(GetModuleHandleA(nullptr), name, &wc)) return;
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hIcon = programIcon(GetSystemMetrics(SM_CXICON));
    wc.hIconSm = programIcon(GetSystemMetrics(SM_CXSMICON));
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = name;
    if (!RegisterClassExA(&wc)) throw AppError(std::string("Cannot register window class ") + name);
}

}  // namespace

Window::~Window() {
    if (hwnd_) DestroyWindow(hwnd_);
}

bool Window::isProgramWindow(HWND hwnd) noexcept {
    return std::find(g_programWindows.begin(), g_programWindows.end(), hwnd) != g_programWindows.end();
}

bool Window::restoreFocus() noexcept {
    HWND target = focus_ && IsWindow(focus_) && IsChild(hwnd_, focus_) ? focus_ : nullptr;
    if (target && IsWindowEnabled(target) && (GetWindowLongA(target, GWL_STYLE) & WS_VISIBLE)) {
        SetFocus(target);  // as it was left, caret and selection too
        return true;
    }
    // Disabled meanwhile (a pass ran while a box was open): the next one in tab order.
    target = GetNextDlgTabItem(hwnd_, target, FALSE);
    if (!target) return false;
    focusControl(target);
    return true;
}

HWND Window::activeOwner() noexcept {
    for (auto it = g_modalStack.rbegin(); it != g_modalStack.rend(); ++it)
        if (IsWindow((*it)->hwnd())) return (*it)->hwnd();
    HWND main = applicationMainWindow();
    return IsWindow(main) ? main : nullptr;
}

void Window::create(const Frame& frame) {
    registerClass(frame.className, windowProc);
    CreateWindowExA(frame.exStyle, frame.className, frame.caption, frame.style, 0, 0,
                    scale(frame.outerSize96.cx), scale(frame.outerSize96.cy), frame.owner, nullptr,
                    GetModuleHandleA(nullptr), this);
    if (!hwnd_) throw AppError(std::string("Cannot create window ") + frame.className);
}

LRESULT CALLBACK Window::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    Window* self = nullptr;
    if (message == WM_NCCREATE) {
        self = static_cast<Window*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        g_programWindows.push_back(hwnd);
    } else {
        self = reinterpret_cast<Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    }
    if (!self) return DefWindowProcA(hwnd, message, wParam, lParam);

    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        std::erase(g_programWindows, hwnd);
        self->hwnd_ = nullptr;
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
    try {
        return self->onMessage(message, wParam, lParam);
    } catch (const std::exception& e) {
        showError(e.what());
    } catch (...) {
        showError("Unknown error");
    }
    // A window whose creation failed must say so, or it is created half-built.
    return message == WM_CREATE ? -1 : 0;
}

LRESULT Window::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            if (!modal_) break;
            closeModal(IDCANCEL);
            return 0;
        // What a dialog box does and a plain window does not: the focus goes
        // back to the control that had it, never to the window itself, where
        // typed letters would act as mnemonics.
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                if (focus && IsChild(hwnd_, focus)) focus_ = focus;
            } else if (!HIWORD(wParam) && restoreFocus())  // not while minimised
                return 0;
            break;
        case WM_SETFOCUS:
            if (restoreFocus()) return 0;
            break;
    }
    return defaultProc(message, wParam, lParam);
}

int Window::showModal() {
    HWND owner = activeOwner();
    if (owner == hwnd_) owner = nullptr;
    // Owned by what is active now, so it stays above it.
    SetWindowLongPtrA(hwnd_, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
    const bool disableOwner = owner && IsWindowEnabled(owner);

    modalResult_ = 0;
    onShowModal();

    if (disableOwner) EnableWindow(owner, FALSE);
    g_modalStack.push_back(this);
    modal_ = true;
    struct Restore {
        Window& self;
        HWND owner;
        bool enable;
        ~Restore() {
            self.modal_ = false;
            std::erase(g_modalStack, &self);
            // Enable the owner before hiding, so activation goes back to it.
            if (enable && IsWindow(owner)) EnableWindow(owner, TRUE);
            if (IsWindow(self.hwnd_)) ShowWindow(self.hwnd_, SW_HIDE);
            if (enable && IsWindow(owner)) SetActiveWindow(owner);
        }
    } restore{*this, owner, disableOwner};

    focus_ = nullptr;  // every showing starts at the first control, or the one the form names
    ShowWindow(hwnd_, SW_SHOW);
    if (HWND first = initialFocus(); first && IsWindowEnabled(first))
        focusControl(first);
    else
        restoreFocus();

    MSG msg;
    while (modalResult_ == 0 && IsWindow(hwnd_)) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));  // for the outer loop
            break;
        }
        dispatchMessage(msg);
    }
    return modalResult_ ? modalResult_ : IDCANCEL;
}

void Window::centerOnScreen() noexcept {
    RECT work, rc;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(hwnd_, &rc);
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    SetWindowPos(hwnd_, nullptr, work.left + (work.right - work.left - w) / 2,
                 work.top + (work.bottom - work.top - h) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    fitToWorkArea();
}

void Window::moveTo96(int x, int y) noexcept {
    SetWindowPos(hwnd_, nullptr, scale(x), scale(y), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    fitToWorkArea();
}

void Window::fitToWorkArea() noexcept {
    // A place fixed at 96 DPI can run off a small screen at a larger DPI,
    // out of reach of the mouse.
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    RECT rc;
    if (!GetMonitorInfoA(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &monitor) ||
        !GetWindowRect(hwnd_, &rc))
        return;
    const RECT fitted = fitInto(rc, monitor.rcWork);
    if (!EqualRect(&fitted, &rc))
        SetWindowPos(hwnd_, nullptr, fitted.left, fitted.top, fitted.right - fitted.left,
                     fitted.bottom - fitted.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace moravel
