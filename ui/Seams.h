#pragma once
// The few system calls that block or cannot be watched from a test go
// through here: message boxes, the file-open dialog and the notification
// area. The program uses the real calls; tests put in recorders.
#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <optional>
#include <string>

namespace moravel {

struct OpenFileRequest {
    std::string title;
    std::string filter;            // "Description|pattern" pairs
    std::string initialDirectory;  // empty: the system's choice
    std::string fileName;          // shown when the dialog opens
    bool fileMustExist = false;
};

struct Seams {
    // Returns the button pressed (IDOK, IDYES, IDNO, ...). A Yes/No question
    // also ends with IDNO when closed by Escape or by its close box.
    std::function<int(HWND owner, const std::string& text, const std::string& caption, UINT type)>
        messageBox;
    // The full path picked, or nothing when cancelled.
    std::function<std::optional<std::string>(HWND owner, const OpenFileRequest& request)> openFile;
    std::function<BOOL(DWORD message, const NOTIFYICONDATAA& data)> notifyIcon;
    // Shows a shortcut menu at the mouse; the command picked, or 0 for none.
    std::function<UINT(HWND owner, HMENU menu)> popupMenu;
};

Seams& seams();
void useSystemSeams();

}  // namespace moravel
