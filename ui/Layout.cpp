#include "ui/Layout.h"

#include <string>

#include "core/AppError.h"
#include "ui/Application.h"

namespace moravel {

namespace {

// One axis: the start and length of a control along it.
void placeAxis(int start96, int length96, int design96, int client, bool nearEdge, bool farEdge,
               int dpi, LONG& from, LONG& to) {
    const int start = MulDiv(start96, dpi, 96);
    const int length = MulDiv(length96, dpi, 96);
    const int growth = client - MulDiv(design96, dpi, 96);
    int first = start, size = length;
    if (farEdge && nearEdge)
        size = length + growth;
    else if (farEdge)
        first = start + growth;
    from = first;
    to = first + (size < 0 ? 0 : size);
}

SIZE clientSize(HWND hwnd) {
    RECT rc;
    GetClientRect(hwnd, &rc);
    return {rc.right - rc.left, rc.bottom - rc.top};
}

}  // namespace

RECT place(const ControlSpec& spec, SIZE design96, SIZE client, int dpi) noexcept {
    RECT rc;
    const Bounds& b = spec.bounds96;
    placeAxis(b.left, b.width, design96.cx, client.cx, spec.anchors & AnchorLeft || !(spec.anchors & AnchorRight),
              spec.anchors & AnchorRight, dpi, rc.left, rc.right);
    placeAxis(b.top, b.height, design96.cy, client.cy, spec.anchors & AnchorTop || !(spec.anchors & AnchorBottom),
              spec.anchors & AnchorBottom, dpi, rc.top, rc.bottom);
    const int minHeight = MulDiv(spec.minHeight96, dpi, 96);
    if (rc.bottom - rc.top < minHeight) rc.bottom = rc.top + minHeight;
    return rc;
}

void createControls(HWND parent, std::span<const ControlSpec> specs, SIZE design96, HFONT font) {
    const SIZE client = clientSize(parent);
    for (const ControlSpec& spec : specs) {
        const RECT rc = place(spec, design96, client, systemDpi());
        HWND control = CreateWindowExA(spec.exStyle, spec.className, spec.text,
                                       WS_CHILD | WS_VISIBLE | spec.style, rc.left, rc.top,
                                       rc.right - rc.left, rc.bottom - rc.top, parent,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)),
                                       GetModuleHandleA(nullptr), nullptr);
        if (!control) throw AppError(std::string("Cannot create control ") + spec.className);
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    layoutControls(parent, specs, design96);  // sizes what fits its text
}

int textWidth(HWND control) {
    const int length = GetWindowTextLengthA(control);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    GetWindowTextA(control, text.data(), length + 1);
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)));
    SIZE extent = {};
    GetTextExtentPoint32A(dc, text.c_str(), length, &extent);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return extent.cx;
}

void layoutControls(HWND parent, std::span<const ControlSpec> specs, SIZE design96) {
    const SIZE client = clientSize(parent);
    HDWP batch = BeginDeferWindowPos(static_cast<int>(specs.size()));
    for (const ControlSpec& spec : specs) {
        HWND control = GetDlgItem(parent, spec.id);
        if (!control) continue;
        RECT rc = place(spec, design96, client, systemDpi());
        if (spec.autoWidth) rc.right = rc.left + textWidth(control);
        if (batch)
            batch = DeferWindowPos(batch, control, nullptr, rc.left, rc.top, rc.right - rc.left,
                                   rc.bottom - rc.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (batch) EndDeferWindowPos(batch);
}

}  // namespace moravel
