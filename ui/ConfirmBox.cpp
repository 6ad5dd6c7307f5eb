#include "ui/ConfirmBox.h"

#include <algorithm>

#include "ui/Application.h"
#include "ui/Handles.h"
#include "ui/Window.h"

namespace moravel {

namespace {

enum : int { kIcon = 100, kText = 101 };

class ConfirmBox : public Window {
public:
    ConfirmBox(HWND owner, const std::string& text, const std::string& caption) {
        NONCLIENTMETRICSA metrics = {};
        metrics.cbSize = sizeof metrics;
        SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
        font_.reset(CreateFontIndirectA(&metrics.lfMessageFont));

        create({"TMoravelConfirm", caption.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU,
                WS_EX_DLGMODALFRAME, {300, 120}, owner});
        layout(text);
    }

protected:
    LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        switch (message) {
            case DM_GETDEFID:
                return MAKELRESULT(IDYES, DC_HASDEFID);
            case WM_COMMAND:
                if (LOWORD(wParam) == IDYES) closeModal(IDYES);
                if (LOWORD(wParam) == IDNO || LOWORD(wParam) == IDCANCEL) closeModal(IDNO);
                return 0;
            case WM_CLOSE:
                closeModal(IDNO);
                return 0;
        }
        return Window::onMessage(message, wParam, lParam);
    }

private:
    HWND child(const char* cls, const char* text, DWORD style, int id, int x, int y, int w, int h) {
        HWND c = CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, hwnd(),
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleA(nullptr), nullptr);
        SendMessageA(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
        return c;
    }

    void layout(const std::string& text) {
        const int margin = scale(12), icon = GetSystemMetrics(SM_CXICON);
        const int buttonW = scale(75), buttonH = scale(25), gap = scale(8);

        RECT textRect = {0, 0, scale(360), 0};
        HDC dc = GetDC(hwnd());
        HGDIOBJ old = SelectObject(dc, font_.get());
        DrawTextA(dc, text.c_str(), -1, &textRect, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        SelectObject(dc, old);
        ReleaseDC(hwnd(), dc);

        const int textX = margin + icon + margin;
        const int bodyH = std::max<int>(icon, textRect.bottom);
        const int clientW = std::max<int>(textX + textRect.right + margin, 2 * buttonW + gap + 2 * margin);
        const int buttonsY = margin + bodyH + margin;
        const int clientH = buttonsY + buttonH + margin;

        HWND iconControl = child("STATIC", "", SS_ICON, kIcon, margin, margin, icon, icon);
        SendMessageA(iconControl, STM_SETICON, reinterpret_cast<WPARAM>(LoadIcon(nullptr, IDI_QUESTION)), 0);
        child("STATIC", text.c_str(), SS_LEFT | SS_NOPREFIX, kText, textX,
              margin + (bodyH - textRect.bottom) / 2, textRect.right, textRect.bottom);
        const int buttonsX = (clientW - (2 * buttonW + gap)) / 2;
        child("BUTTON", "&Yes", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, IDYES, buttonsX, buttonsY,
              buttonW, buttonH);
        child("BUTTON", "&No", BS_PUSHBUTTON | WS_TABSTOP, IDNO, buttonsX + buttonW + gap, buttonsY,
              buttonW, buttonH);

        RECT outer = {0, 0, clientW, clientH};
        AdjustWindowRectEx(&outer, WS_POPUP | WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
        SetWindowPos(hwnd(), nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        centerOnScreen();
    }

    UniqueFont font_;
};

}  // namespace

int askYesNo(HWND owner, const std::string& text, const std::string& caption) {
    ConfirmBox box(owner, text, caption);
    MessageBeep(MB_ICONQUESTION);
    return box.showModal();
}

}  // namespace moravel
