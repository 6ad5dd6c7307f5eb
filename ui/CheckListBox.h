#pragma once
#include <windows.h>

#include <string>

namespace moravel {

// How far apart two colours are in lightness, from 1 (the same) to 21
// (black on white); text reads well from 4.5 on.
double contrastRatio(COLORREF a, COLORREF b);
inline constexpr double kReadableContrast = 4.5;

// A list box with a check box on every line. A line can be disabled: it is
// greyed and its box cannot be changed, but it can still be selected. A click
// changes a box only when it falls on the box; the space bar changes the
// selected line's box. The list sorts its lines itself, ignoring case.
//
// The list box must be created owner-drawn (LBS_OWNERDRAWFIXED |
// LBS_HASSTRINGS); its parent forwards WM_MEASUREITEM and WM_DRAWITEM here.
class CheckListBox {
public:
    static constexpr DWORD kStyle =
        LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_SORT | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT |
        WS_VSCROLL | WS_TABSTOP;

    explicit CheckListBox(HWND hwnd) noexcept : hwnd_(hwnd) {}

    static void attach(HWND hwnd);
    static void measureItem(MEASUREITEMSTRUCT& mis, int lineHeight96);
    static void drawItem(const DRAWITEMSTRUCT& dis);

    struct LineColors {
        COLORREF background, text;
    };
    static LineColors lineColors(bool selected, bool greyed);

    void clear() const;
    int add(const std::string& text) const;  // the line's sorted position
    void remove(int index) const;
    int count() const;
    int selected() const;  // -1 when none
    void select(int index) const;
    std::string text(int index) const;
    int find(const std::string& text) const;  // the first line of exactly this text, or -1
    bool checked(int index) const;
    void setChecked(int index, bool checked) const;
    bool enabled(int index) const;
    void setEnabled(int index, bool enabled) const;

    // The box is this wide at the start of every line; clicks there toggle.
    static int boxAreaWidth(HWND hwnd);

private:
    void setFlag(int index, LPARAM flag, bool on) const;
    HWND hwnd_;
};

}  // namespace moravel
