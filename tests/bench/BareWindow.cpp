// The yardstick for Moravel's start-up: a plain window with the same
// controls as the main window, created from the same kind of table by the
// same toolchain, and nothing else (no settings file, no icons, no
// tooltips, no other windows). The benchmark starts it as it starts
// Moravel.exe and closes it with WM_CLOSE.
#include <windows.h>
#include <commctrl.h>

#include "StartBenchmark.h"

namespace {

struct Control {
    int id;
    const char* className;
    const char* text;
    DWORD style, exStyle;
    int x, y, width, height;
};

enum : int { Buttons = 100, List = 110, Log, Delay, Arrows };

const Control kControls[] = {
    {Buttons + 0, "BUTTON", "Update &Now", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0, 521, 82, 75, 25},
    {Buttons + 1, "BUTTON", "&Add file", BS_PUSHBUTTON | WS_TABSTOP, 0, 401, 16, 75, 25},
    {Buttons + 2, "BUTTON", "&Remove file", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0, 401, 82, 75, 25},
    {Buttons + 3, "BUTTON", "&Details", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0, 401, 48, 75, 25},
    {List, WC_LISTVIEWA, "", LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP, WS_EX_CLIENTEDGE,
     5, 16, 382, 145},
    {Log, "EDIT", "", ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_WANTRETURN | WS_VSCROLL | WS_TABSTOP,
     WS_EX_CLIENTEDGE, 6, 188, 588, 155},
    {Buttons + 4, "BUTTON", "&Exit", BS_PUSHBUTTON | WS_TABSTOP, 0, 521, 16, 75, 25},
    {Buttons + 5, "BUTTON", "&Hide", BS_PUSHBUTTON | WS_TABSTOP, 0, 521, 48, 75, 25},
    {Buttons + 6, "BUTTON", "Also log failures", BS_AUTOCHECKBOX | WS_TABSTOP, 0, 122, 169, 97, 17},
    {Arrows, UPDOWN_CLASSA, "", UDS_ARROWKEYS | UDS_NOTHOUSANDS | WS_TABSTOP, 0, 349, 167, 15, 18},
    {Delay, "EDIT", "60  ", ES_LEFT | WS_TABSTOP, WS_EX_CLIENTEDGE, 312, 167, 37, 18},
    {120, "STATIC", "Last attempt at:", SS_LEFTNOWORDWRAP, 0, 401, 123, 73, 13},
    {121, "STATIC", "", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 497, 123, 0, 13},
    {122, "STATIC", "Next update at:", SS_LEFTNOWORDWRAP, 0, 401, 147, 73, 13},
    {123, "STATIC", "", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 497, 147, 0, 13},
    {124, "STATIC", "Status logging:", SS_LEFTNOWORDWRAP, 0, 10, 169, 70, 13},
    {125, "STATIC", "Update delay:", SS_LEFTNOWORDWRAP, 0, 239, 170, 66, 13},
    {126, "STATIC", "sec.", SS_LEFTNOWORDWRAP, 0, 369, 168, 20, 13},
};

HFONT g_font;

void createControls(HWND parent) {
    for (const Control& c : kControls) {
        HWND control = CreateWindowExA(c.exStyle, c.className, c.text, WS_CHILD | WS_VISIBLE | c.style, c.x, c.y,
                                       c.width, c.height, parent,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)),
                                       GetModuleHandleA(nullptr), nullptr);
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
    }
    HWND list = GetDlgItem(parent, List);
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT);
    const struct {
        const char* title;
        int width, format;
    } columns[] = {{"File (name)", 200, LVCFMT_LEFT}, {"Added at", 100, LVCFMT_LEFT}, {"Attempts", 53, LVCFMT_RIGHT}};
    for (int i = 0; i < 3; ++i) {
        LVCOLUMNA column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
        column.fmt = columns[i].format;
        column.cx = columns[i].width;
        column.pszText = const_cast<char*>(columns[i].title);
        column.iSubItem = i;
        SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
    }
    SendMessageA(GetDlgItem(parent, Log), EM_SETLIMITTEXT, 0, 0);
    HWND arrows = GetDlgItem(parent, Arrows);
    SendMessageA(arrows, UDM_SETBUDDY, reinterpret_cast<WPARAM>(GetDlgItem(parent, Delay)), 0);
    SendMessageA(arrows, UDM_SETRANGE32, 10, 10000);
    SendMessageA(arrows, UDM_SETPOS32, 0, 60);
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            createControls(hwnd);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    // The benchmark's measure of loading alone.
    if (lstrcmpA(commandLine, moravel::bench::kEndAtOnce) == 0) return 0;
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    g_font = CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                         CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "MS Sans Serif");

    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = "BareWindow";
    RegisterClassExA(&wc);

    RECT work;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    HWND hwnd = CreateWindowExA(WS_EX_CONTROLPARENT, wc.lpszClassName, "Moravel",
                                WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, work.left + (work.right - work.left - 609) / 2,
                                work.top + (work.bottom - work.top - 374) / 2, 609, 374, nullptr, nullptr, instance,
                                nullptr);
    if (!hwnd) return 1;
    ShowWindow(hwnd, SW_SHOW);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        if (!IsDialogMessageA(hwnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    DeleteObject(g_font);
    return 0;
}
