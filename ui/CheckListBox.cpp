#include "ui/CheckListBox.h"

#include <commctrl.h>
#include <uxtheme.h>
#include <vsstyle.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "core/Text.h"
#include "ui/Application.h"
#include "ui/Handles.h"

namespace moravel {

namespace {

constexpr LPARAM kChecked = 1;
constexpr LPARAM kDisabled = 2;

LPARAM flags(HWND hwnd, int index) {
    const LRESULT data = SendMessageA(hwnd, LB_GETITEMDATA, static_cast<WPARAM>(index), 0);
    return data == LB_ERR ? 0 : static_cast<LPARAM>(data);
}

int boxSize() { return scale(13); }

// The relative luminance of a colour: 0 for black, 1 for white.
double luminance(COLORREF color) {
    const auto linear = [](BYTE value) {
        const double v = value / 255.0;
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(GetRValue(color)) + 0.7152 * linear(GetGValue(color)) + 0.0722 * linear(GetBValue(color));
}

COLORREF blend(COLORREF a, COLORREF b, int percentOfA) {
    const auto mix = [percentOfA](BYTE x, BYTE y) {
        return static_cast<BYTE>((x * percentOfA + y * (100 - percentOfA) + 50) / 100);
    };
    return RGB(mix(GetRValue(a), GetRValue(b)), mix(GetGValue(a), GetGValue(b)), mix(GetBValue(a), GetBValue(b)));
}

// The text colour moved toward the full one until it reads on the background.
COLORREF readableOn(COLORREF background, COLORREF text, COLORREF fullText) {
    for (int percent = 0; percent < 100; percent += 5) {
        const COLORREF ink = blend(fullText, text, percent);
        if (contrastRatio(ink, background) >= kReadableContrast) return ink;
    }
    return fullText;
}

// A line's text, read as wide text. Once subclassed the list is a Unicode
// window, and the system's narrow LB_GETTEXT then converts through a buffer
// of its own; Wine's is a fixed 512 characters on the stack, which a long
// project name overruns.
std::wstring lineText(HWND hwnd, int index) {
    const LRESULT length = SendMessageW(hwnd, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT got =
        SendMessageW(hwnd, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(got == LB_ERR ? 0 : std::min(static_cast<std::size_t>(got), text.size() - 1));
    return text;
}


void toggle(HWND hwnd, int index) {
    if (index < 0 || index >= static_cast<int>(SendMessageA(hwnd, LB_GETCOUNT, 0, 0))) return;
    const LPARAM f = flags(hwnd, index);
    if (f & kDisabled) return;
    SendMessageA(hwnd, LB_SETITEMDATA, static_cast<WPARAM>(index), f ^ kChecked);
    RECT rc;
    if (SendMessageA(hwnd, LB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&rc)) != LB_ERR)
        InvalidateRect(hwnd, &rc, FALSE);
}

LRESULT CALLBACK checkListProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                               DWORD_PTR) noexcept {
    switch (message) {
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK: {
            const LRESULT result = DefSubclassProc(hwnd, message, wParam, lParam);  // selects
            const int x = static_cast<short>(LOWORD(lParam)), y = static_cast<short>(HIWORD(lParam));
            const LRESULT hit = SendMessageA(hwnd, LB_ITEMFROMPOINT, 0, MAKELPARAM(x, y));
            if (HIWORD(hit) == 0 && x >= 0 && x < CheckListBox::boxAreaWidth(hwnd))
                toggle(hwnd, LOWORD(hit));
            return result;
        }
        case WM_CHAR:
            if (wParam == ' ') {
                toggle(hwnd, static_cast<int>(SendMessageA(hwnd, LB_GETCURSEL, 0, 0)));
                return 0;
            }
            break;
        case WM_GETDLGCODE:
            // The space bar is ours, not the dialog's.
            return DefSubclassProc(hwnd, message, wParam, lParam) | DLGC_WANTCHARS;
        case WM_NCDESTROY:
            RemoveWindowSubclass(hwnd, checkListProc, 0);
            break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

}  // namespace

double contrastRatio(COLORREF a, COLORREF b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

void CheckListBox::attach(HWND hwnd) { SetWindowSubclass(hwnd, checkListProc, 0, 0); }

int CheckListBox::boxAreaWidth(HWND) { return boxSize() + scale(4); }

void CheckListBox::measureItem(MEASUREITEMSTRUCT& mis, int lineHeight96) {
    mis.itemHeight = static_cast<UINT>(scale(lineHeight96));
}

CheckListBox::LineColors CheckListBox::lineColors(bool selected, bool greyed) {
    if (!selected || !greyed)
        return {GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW),
                GetSysColor(greyed ? COLOR_GRAYTEXT : selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT)};
    // Grey on the selection colour cannot be read. A selected greyed line
    // takes a light shade of it (and a frame in it, drawn by the caller), and
    // its grey is darkened as far as it takes to be read there.
    const COLORREF background = blend(GetSysColor(COLOR_HIGHLIGHT), GetSysColor(COLOR_WINDOW), 30);
    return {background, readableOn(background, GetSysColor(COLOR_GRAYTEXT), GetSysColor(COLOR_WINDOWTEXT))};
}

void CheckListBox::drawItem(const DRAWITEMSTRUCT& dis) {
    if (dis.itemID == static_cast<UINT>(-1)) {
        if (dis.itemState & ODS_FOCUS) DrawFocusRect(dis.hDC, &dis.rcItem);
        return;
    }
    const int index = static_cast<int>(dis.itemID);
    const LPARAM f = flags(dis.hwndItem, index);
    const bool selected = dis.itemState & ODS_SELECTED;
    const bool disabled = (f & kDisabled) || !IsWindowEnabled(dis.hwndItem);
    HDC dc = dis.hDC;

    // The box, on the window's own background.
    RECT box = dis.rcItem;
    box.right = box.left + boxAreaWidth(dis.hwndItem);
    FillRect(dc, &box, GetSysColorBrush(COLOR_WINDOW));
    const int size = std::min<int>(boxSize(), dis.rcItem.bottom - dis.rcItem.top);
    RECT check = {box.left + scale(1), dis.rcItem.top + (dis.rcItem.bottom - dis.rcItem.top - size) / 2, 0, 0};
    check.right = check.left + size;
    check.bottom = check.top + size;
    bool drawn = false;
    if (HTHEME theme = OpenThemeData(dis.hwndItem, L"BUTTON")) {
        const int state = (f & kChecked) ? (disabled ? CBS_CHECKEDDISABLED : CBS_CHECKEDNORMAL)
                                         : (disabled ? CBS_UNCHECKEDDISABLED : CBS_UNCHECKEDNORMAL);
        drawn = SUCCEEDED(DrawThemeBackground(theme, dc, BP_CHECKBOX, state, &check, nullptr));
        CloseThemeData(theme);
    }
    if (!drawn)
        DrawFrameControl(dc, &check, DFC_BUTTON,
                         DFCS_BUTTONCHECK | DFCS_FLAT | ((f & kChecked) ? DFCS_CHECKED : 0) |
                             (disabled ? DFCS_INACTIVE : 0));

    // The text, greyed on a disabled line.
    RECT text = dis.rcItem;
    text.left = box.right;
    const LineColors colors = lineColors(selected, disabled);
    UniqueBrush brush(CreateSolidBrush(colors.background));
    FillRect(dc, &text, brush.get());
    if (selected && disabled) FrameRect(dc, &text, GetSysColorBrush(COLOR_HIGHLIGHT));
    const std::wstring line = lineText(dis.hwndItem, index);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colors.text);
    RECT label = text;
    label.left += scale(2);
    DrawTextW(dc, line.c_str(), static_cast<int>(line.size()), &label,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    if (dis.itemState & ODS_FOCUS) DrawFocusRect(dc, &text);
}

void CheckListBox::clear() const { SendMessageA(hwnd_, LB_RESETCONTENT, 0, 0); }

int CheckListBox::add(const std::string& text) const {
    return static_cast<int>(SendMessageA(hwnd_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

void CheckListBox::remove(int index) const {
    SendMessageA(hwnd_, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

int CheckListBox::count() const { return static_cast<int>(SendMessageA(hwnd_, LB_GETCOUNT, 0, 0)); }

int CheckListBox::selected() const {
    const LRESULT index = SendMessageA(hwnd_, LB_GETCURSEL, 0, 0);
    return index == LB_ERR ? -1 : static_cast<int>(index);
}

void CheckListBox::select(int index) const { SendMessageA(hwnd_, LB_SETCURSEL, static_cast<WPARAM>(index), 0); }

std::string CheckListBox::text(int index) const { return narrow(lineText(hwnd_, index)); }

int CheckListBox::find(const std::string& wanted) const {
    for (int i = 0; i < count(); ++i)
        if (text(i) == wanted) return i;
    return -1;
}

bool CheckListBox::checked(int index) const { return flags(hwnd_, index) & kChecked; }
bool CheckListBox::enabled(int index) const { return !(flags(hwnd_, index) & kDisabled); }
void CheckListBox::setChecked(int index, bool on) const { setFlag(index, kChecked, on); }
void CheckListBox::setEnabled(int index, bool on) const { setFlag(index, kDisabled, !on); }

void CheckListBox::setFlag(int index, LPARAM flag, bool on) const {
    const LPARAM f = flags(hwnd_, index);
    SendMessageA(hwnd_, LB_SETITEMDATA, static_cast<WPARAM>(index), on ? (f | flag) : (f & ~flag));
    InvalidateRect(hwnd_, nullptr, FALSE);
}

}  // namespace moravel
