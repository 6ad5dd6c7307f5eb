#pragma once
#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

namespace moravel {

// A top-level window bound to a C++ object. Every message goes through one
// dispatch point that catches whatever the handler throws: no exception may
// cross a system frame, and an error is shown and the program goes on.
class Window {
public:
    Window() = default;
    virtual ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    HWND hwnd() const noexcept { return hwnd_; }

    // Shows the window modally: its owner is disabled and a message loop runs
    // until closeModal() is called. Returns the result given there; IDCANCEL
    // when the window was closed some other way.
    int showModal();
    void closeModal(int result) noexcept { modalResult_ = result; }
    bool isModal() const noexcept { return modal_; }

    // The window that owns what opens now: the innermost modal window, else
    // the program's main window.
    static HWND activeOwner() noexcept;

    // Whether the window is one of the program's own top-level windows.
    static bool isProgramWindow(HWND hwnd) noexcept;

protected:
    struct Frame {
        const char* className;
        const char* caption;
        DWORD style;
        DWORD exStyle;
        SIZE outerSize96;  // outer size at 96 DPI
        HWND owner;
    };
    // Creates the window hidden at the top-left corner.
    void create(const Frame& frame);

    virtual LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // Runs each time the window opens modally, before it becomes visible.
    virtual void onShowModal() {}
    // The control a modal showing starts in; none: the first in tab order.
    virtual HWND initialFocus() const { return nullptr; }

    LRESULT defaultProc(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
        return DefWindowProcA(hwnd_, message, wParam, lParam);
    }

    // Both keep the window inside the work area of its monitor.
    void centerOnScreen() noexcept;
    void moveTo96(int x, int y) noexcept;

    HWND item(int id) const noexcept { return GetDlgItem(hwnd_, id); }

private:
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam,
                                       LPARAM lParam) noexcept;

    // The control that has the focus as the window stops being active gets
    // it back when the window is active again (or, when it can no longer take
    // it, the next one in tab order); false when no control can take it.
    bool restoreFocus() noexcept;
    void fitToWorkArea() noexcept;

    HWND hwnd_ = nullptr;
    HWND focus_ = nullptr;
    int modalResult_ = 0;
    bool modal_ = false;
};

// One line of a window's command table: the control (or menu item) and the
// notification code that run a handler. A window keeps one table and runs
// every WM_COMMAND through it, so a control, a key and a menu item that mean
// the same command share one line each.
template <class Form>
struct Command {
    int id;
    WORD code;  // BN_CLICKED (0) also stands for a menu item and a dialog key
    void (Form::*handler)();
};

// Runs the handler the table gives for a WM_COMMAND; false when none.
template <class Form, std::size_t N>
bool runCommand(Form& form, const Command<Form> (&table)[N], WPARAM wParam) {
    for (const Command<Form>& command : table)
        if (command.id == LOWORD(wParam) && command.code == HIWORD(wParam)) {
            (form.*command.handler)();
            return true;
        }
    return false;
}

// A form made when it is first needed and kept from then on, with its state,
// under its program-wide name. Tests may put in a form of their own; one made
// here is made again only when its window went with its owner.
template <class Form>
Form& formOnFirstUse(Form*& global) {
    static std::unique_ptr<Form> made;
    if (!global || (global == made.get() && !made->hwnd())) {
        made = std::make_unique<Form>();
        global = made.get();
    }
    return *global;
}

}  // namespace moravel
