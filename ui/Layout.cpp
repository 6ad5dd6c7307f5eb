#include "ui/Layout.h"

#include <algorithm>
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

bool isLabel(const ControlSpec& entry) {
    return lstrcmpiA(entry.className, "STATIC") == 0 && entry.text && *entry.text;
}

// Measures text in a memory context: a window's own context costs the
// window system a trip for each control, and gives the same extents.
class TextMeter {
public:
    TextMeter() : dc_(CreateCompatibleDC(nullptr)), original_(dc_ ? GetCurrentObject(dc_, OBJ_FONT) : nullptr) {}
    ~TextMeter() {
        if (!dc_) return;
        SelectObject(dc_, original_);
        DeleteDC(dc_);
    }
    TextMeter(const TextMeter&) = delete;
    TextMeter& operator=(const TextMeter&) = delete;

    // A null font is the system font, as a control without one draws with.
    int width(HFONT font, const std::string& text) const {
        SIZE extent = {};
        if (!dc_) return 0;
        SelectObject(dc_, font ? static_cast<HGDIOBJ>(font) : GetStockObject(SYSTEM_FONT));
        GetTextExtentPoint32A(dc_, text.c_str(), static_cast<int>(text.size()), &extent);
        return extent.cx;
    }

private:
    HDC dc_;
    HGDIOBJ original_;
};

std::string windowText(HWND control) {
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(control)) + 1, '\0');
    text.resize(static_cast<std::size_t>(GetWindowTextA(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Where a control goes, its width taken from its text where it must show it all.
RECT placeWithText(const ControlSpec& entry, SIZE design96, SIZE client, const TextMeter& meter, HFONT font,
                   const std::string& text) {
    RECT rc = place(entry, design96, client, systemDpi());
    if (entry.autoWidth)
        rc.right = rc.left + meter.width(font, text);
    else if (isLabel(entry))
        // The font does not grow exactly with the DPI: a label's text is
        // never cut, whatever room the design gave it.
        rc.right = std::max<LONG>(rc.right, rc.left + meter.width(font, text));
    return rc;
}

}  // namespace

RECT place(const ControlSpec& entry, SIZE design96, SIZE client, int dpi) noexcept {
    RECT rc;
    const Bounds& b = entry.bounds96;
    placeAxis(b.left, b.width, design96.cx, client.cx, entry.anchors & AnchorLeft || !(entry.anchors & AnchorRight),
              entry.anchors & AnchorRight, dpi, rc.left, rc.right);
    placeAxis(b.top, b.height, design96.cy, client.cy, entry.anchors & AnchorTop || !(entry.anchors & AnchorBottom),
              entry.anchors & AnchorBottom, dpi, rc.top, rc.bottom);
    const int minHeight = MulDiv(entry.minHeight96, dpi, 96);
    if (rc.bottom - rc.top < minHeight) rc.bottom = rc.top + minHeight;
    return rc;
}

RECT fitInto(const RECT& window, const RECT& area) noexcept {
    const auto axis = [](LONG from, LONG to, LONG areaFrom, LONG areaTo, LONG& outFrom, LONG& outTo) {
        const LONG length = std::min(to - from, areaTo - areaFrom);
        outFrom = std::max(areaFrom, std::min(from, areaTo - length));
        outTo = outFrom + length;
    };
    RECT fitted;
    axis(window.left, window.right, area.left, area.right, fitted.left, fitted.right);
    axis(window.top, window.bottom, area.top, area.bottom, fitted.top, fitted.bottom);
    return fitted;
}

void createControls(HWND parent, std::span<const ControlSpec> table, SIZE design96, HFONT font) {
    // Each control is made where it stays: moving them afterwards costs the
    // window system as much again as making them.
    const SIZE client = clientSize(parent);
    const TextMeter meter;
    for (const ControlSpec& entry : table) {
        const RECT rc = placeWithText(entry, design96, client, meter, font, entry.text ? entry.text : "");
        HWND control = CreateWindowExA(entry.exStyle, entry.className, entry.text,
                                       WS_CHILD | WS_VISIBLE | entry.style, rc.left, rc.top,
                                       rc.right - rc.left, rc.bottom - rc.top, parent,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(entry.id)),
                                       GetModuleHandleA(nullptr), nullptr);
        if (!control) throw AppError(std::string("Cannot create control ") + entry.className);
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    layoutControls(parent, table, design96);  // back where one sized itself on its own
}

int textWidth(HWND control) {
    return TextMeter().width(reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)), windowText(control));
}

void layoutControls(HWND parent, std::span<const ControlSpec> table, SIZE design96) {
    const SIZE client = clientSize(parent);
    const TextMeter meter;
    HDWP batch = nullptr;
    bool failed = false;
    for (const ControlSpec& entry : table) {
        HWND control = GetDlgItem(parent, entry.id);
        if (!control) continue;
        const bool measured = entry.autoWidth || isLabel(entry);
        const RECT rc = placeWithText(entry, design96, client, meter,
                                      measured ? reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0))
                                               : nullptr,
                                      measured ? windowText(control) : std::string());
        // Only what moves: a window asked to stay where it is still goes
        // through the whole of a move.
        RECT now;
        GetWindowRect(control, &now);
        MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&now), 2);
        if (EqualRect(&now, &rc) || failed) continue;
        if (!batch) batch = BeginDeferWindowPos(static_cast<int>(table.size()));
        if (batch)
            batch = DeferWindowPos(batch, control, nullptr, rc.left, rc.top, rc.right - rc.left,
                                   rc.bottom - rc.top, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS);
        failed = !batch;
    }
    if (batch) EndDeferWindowPos(batch);
}

}  // namespace moravel
