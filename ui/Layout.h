#pragma once
#include <windows.h>

#include <span>

namespace moravel {

// Edges a control keeps its distance to when the window is resized. With
// neither Left nor Right it keeps the left distance; with both it stretches.
enum Anchor : unsigned {
    AnchorLeft = 1,
    AnchorTop = 2,
    AnchorRight = 4,
    AnchorBottom = 8,
    AnchorDefault = AnchorLeft | AnchorTop,
    AnchorTopRight = AnchorTop | AnchorRight,
    AnchorBottomRight = AnchorRight | AnchorBottom,
    AnchorTopWide = AnchorLeft | AnchorTop | AnchorRight,
    AnchorAll = AnchorLeft | AnchorTop | AnchorRight | AnchorBottom,
};

struct Bounds {
    int left, top, width, height;
};

// One control of a window's layout. Bounds are the client coordinates at
// 96 DPI for the design client size of the window.
struct ControlSpec {
    int id;
    const char* className;
    const char* text;
    DWORD style;
    DWORD exStyle;
    Bounds bounds96;
    unsigned anchors = AnchorDefault;
    int minHeight96 = 0;
    bool autoWidth = false;  // as wide as its text: the width above is ignored
};

// Where a control goes in a client area of the given size.
RECT place(const ControlSpec& entry, SIZE design96, SIZE client, int dpi) noexcept;

// A window's rectangle moved just enough to lie inside the area; one larger
// than the area is also made smaller, its top left corner in the area.
RECT fitInto(const RECT& window, const RECT& area) noexcept;

// Creates the controls in table order (which is also the tab order) with
// the given font, each where layoutControls would put it for the window's
// current client area.
void createControls(HWND parent, std::span<const ControlSpec> table, SIZE design96, HFONT font);

// The width a control's current text takes in its font.
int textWidth(HWND control);

// Moves every control of the table to its place for the current client area.
void layoutControls(HWND parent, std::span<const ControlSpec> table, SIZE design96);

}  // namespace moravel
