#include "ui/Controls.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ui/Application.h"

namespace moravel {

std::string windowText(HWND hwnd) {
    const int length = GetWindowTextLengthA(hwnd);
    if (length <= 0) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int got = GetWindowTextA(hwnd, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return text;
}

void setWindowText(HWND hwnd, const std::string& text) { SetWindowTextA(hwnd, text.c_str()); }

HWND createTooltipWindow(HWND owner) {
    return CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

void addTooltip(HWND tooltip, HWND owner, HWND tool, const char* text) {
    TTTOOLINFOA info = {};
    info.cbSize = sizeof info;
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = owner;
    info.uId = reinterpret_cast<UINT_PTR>(tool);
    info.lpszText = const_cast<char*>(text);
    SendMessageA(tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info));
}

void focusControl(HWND control) noexcept {
    SetFocus(control);
    if (SendMessageA(control, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SendMessageA(control, EM_SETSEL, 0, -1);
}

void enableWindow(HWND hwnd, bool enabled) noexcept {
    if (enabled || GetFocus() != hwnd) {
        EnableWindow(hwnd, enabled ? TRUE : FALSE);
        return;
    }
    HWND next = GetNextDlgTabItem(GetAncestor(hwnd, GA_ROOT), hwnd, FALSE);
    EnableWindow(hwnd, FALSE);
    if (next && next != hwnd) focusControl(next);
}

HFONT createFormFont() {
    return CreateFontA(-MulDiv(8, systemDpi(), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, "MS Sans Serif");
}

void ListView::insertColumn(int index, const char* title, int width, int format) const {
    LVCOLUMNA column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
    column.fmt = format;
    column.cx = width;
    column.pszText = const_cast<char*>(title);
    column.iSubItem = index;
    SendMessageA(hwnd_, LVM_INSERTCOLUMNA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
}

void ListView::insertItem(int index, const std::string& text) const {
    LVITEMA item = {};
    item.mask = LVIF_TEXT;
    item.iItem = index;
    item.pszText = const_cast<char*>(text.c_str());
    SendMessageA(hwnd_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

void ListView::setItemText(int index, int subItem, const std::string& text) const {
    LVITEMA item = {};
    item.iSubItem = subItem;
    item.pszText = const_cast<char*>(text.c_str());
    SendMessageA(hwnd_, LVM_SETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

void ListView::setItemTextCallback(int index, int subItem) const {
    LVITEMA item = {};
    item.iSubItem = subItem;
    item.pszText = LPSTR_TEXTCALLBACKA;
    SendMessageA(hwnd_, LVM_SETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

std::string ListView::itemText(int index, int subItem) const {
    // Grown until the text fits: names can be thousands of characters long.
    for (std::size_t size = 256;; size *= 4) {
        std::vector<char> buffer(size, '\0');
        LVITEMA item = {};
        item.iSubItem = subItem;
        item.pszText = buffer.data();
        item.cchTextMax = static_cast<int>(buffer.size());
        SendMessageA(hwnd_, LVM_GETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
        buffer.back() = '\0';
        const std::size_t length = std::strlen(buffer.data());
        if (length + 1 < size || size >= (1u << 20)) return std::string(buffer.data(), length);
    }
}

void ListView::select(int index) const {
    ListView_SetItemState(hwnd_, index, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

namespace {

LRESULT CALLBACK digitFieldProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                UINT_PTR, DWORD_PTR places) noexcept {
    switch (message) {
        case WM_CHAR: {
            // The subclassed field gets wide characters: compare them whole,
            // so a letter such as U+00E9 is not taken for a control key.
            const WPARAM c = wParam;
            if (c < ' ') break;  // Backspace and the control keys (copy, paste, ...)
            if (c != ' ' && (c < '0' || c > '9')) {
                MessageBeep(0);
                return 0;
            }
            // With no selection and every place taken, a blank under the
            // caret is a placeholder: type over it.
            DWORD start = 0, end = 0;
            SendMessageA(hwnd, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
            const std::string text = windowText(hwnd);
            if (start == end && text.size() >= places && start < text.size() && text[start] == ' ')
                SendMessageA(hwnd, EM_SETSEL, start, start + 1);
            break;
        }
        case WM_KEYDOWN:
            // Shift+Insert pastes without a WM_PASTE in some edit controls
            // (Wine's): it takes the same road as Ctrl+V.
            if (wParam == VK_INSERT && GetKeyState(VK_SHIFT) < 0 && GetKeyState(VK_MENU) >= 0) {
                SendMessageA(hwnd, WM_PASTE, 0, 0);
                return 0;
            }
            break;
        case WM_PASTE: {
            // Only the digits and blanks of the clipboard, as far as they fit.
            if (!OpenClipboard(hwnd)) return 0;
            std::string pasted;
            if (HANDLE data = GetClipboardData(CF_TEXT)) {
                if (const char* text = static_cast<const char*>(GlobalLock(data))) {
                    for (const char* p = text; *p; ++p)
                        if (*p == ' ' || (*p >= '0' && *p <= '9')) pasted += *p;
                    GlobalUnlock(data);
                }
            }
            CloseClipboard();
            SendMessageA(hwnd, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(pasted.c_str()));
            return 0;
        }
        case WM_NCDESTROY:
            RemoveWindowSubclass(hwnd, digitFieldProc, 0);
            break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

}  // namespace

void makeDigitField(HWND edit, int places) {
    SendMessageA(edit, EM_SETLIMITTEXT, static_cast<WPARAM>(places), 0);
    SetWindowSubclass(edit, digitFieldProc, 0, static_cast<DWORD_PTR>(places));
}

}  // namespace moravel
