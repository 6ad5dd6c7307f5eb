#pragma once
// Thin views over child controls: they own nothing and each call wraps one
// or two messages.
#include <windows.h>
#include <commctrl.h>

#include <string>

namespace moravel {

std::string windowText(HWND hwnd);
void setWindowText(HWND hwnd, const std::string& text);

// Gives a control the focus as the dialog keys do: an edit field's text is
// selected, so that typing replaces it.
void focusControl(HWND control) noexcept;
// A control that had the focus hands it on to the next one in tab order as
// it is disabled; otherwise nothing would have it, and the keys would be dead.
void enableWindow(HWND hwnd, bool enabled) noexcept;
inline bool isChecked(HWND button) noexcept {
    return SendMessageA(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
}
inline void setChecked(HWND button, bool checked) noexcept {
    SendMessageA(button, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

// A tooltip window for a form's controls (owned and destroyed by the form),
// and one tip on a control of it.
HWND createTooltipWindow(HWND owner);
void addTooltip(HWND tooltip, HWND owner, HWND tool, const char* text);

// The font of the forms: MS Sans Serif at 8 points.
HFONT createFormFont();

class ListView {
public:
    explicit ListView(HWND hwnd) noexcept : hwnd_(hwnd) {}
    void insertColumn(int index, const char* title, int width, int format) const;
    void insertItem(int index, const std::string& text) const;
    void setItemText(int index, int subItem, const std::string& text) const;
    // The cell asks its owner for its text (LVN_GETDISPINFO) whenever it is shown or read.
    void setItemTextCallback(int index, int subItem) const;
    void redrawItem(int index) const { ListView_RedrawItems(hwnd_, index, index); }
    std::string itemText(int index, int subItem) const;
    void deleteItem(int index) const { ListView_DeleteItem(hwnd_, index); }
    int count() const { return ListView_GetItemCount(hwnd_); }
    int selectedCount() const { return static_cast<int>(ListView_GetSelectedCount(hwnd_)); }
    int selectedIndex() const { return ListView_GetNextItem(hwnd_, -1, LVNI_SELECTED); }
    void select(int index) const;

private:
    HWND hwnd_;
};

// The delay field: at most four places, each a digit or a blank, blanks
// filling the empty places. Typing a digit over a blank replaces the blank.
void makeDigitField(HWND edit, int places);

}  // namespace moravel
