#include "ui/Seams.h"

#include <commdlg.h>

#include <vector>

#include "core/AppError.h"
#include "core/Library.h"
#include "ui/ConfirmBox.h"

namespace moravel {

namespace {

// The file-open dialog and the notification area live in libraries that
// most starts never need (the common dialogs bring the print spooler with
// them): each is loaded at its first use and kept.
template <class Function>
Function systemFunction(const char* library, const char* name) noexcept {
    HMODULE module = LoadLibraryExA(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER) module = LoadLibraryA(library);  // an older system
    return procAddress<Function>(module, name);
}

int systemMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) {
    if ((type & MB_TYPEMASK) == MB_YESNO) return askYesNo(owner, text, caption);
    return MessageBoxA(owner, text.c_str(), caption.c_str(), type | (owner ? 0 : MB_TASKMODAL));
}

std::optional<std::string> systemOpenFile(HWND owner, const OpenFileRequest& request) {
    // "Description|pattern|..." becomes the system's zero-separated list.
    std::string filter = request.filter;
    for (char& c : filter)
        if (c == '|') c = '\0';
    filter.append(2, '\0');

    std::vector<char> file(32768, '\0');
    request.fileName.copy(file.data(), file.size() - 1);

    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrInitialDir = request.initialDirectory.empty() ? nullptr : request.initialDirectory.c_str();
    ofn.lpstrTitle = request.title.c_str();
    // No OFN_NOCHANGEDIR: picking a file makes its folder the working directory.
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING |
                (request.fileMustExist ? OFN_FILEMUSTEXIST : 0);
    using OpenFileDialog = BOOL(WINAPI*)(LPOPENFILENAMEA);
    static const auto getOpenFileName = systemFunction<OpenFileDialog>("comdlg32.dll", "GetOpenFileNameA");
    if (!getOpenFileName) throw AppError("The file-open dialog cannot be loaded");
    if (!getOpenFileName(&ofn)) return std::nullopt;
    return std::string(file.data());
}

BOOL systemNotifyIcon(DWORD message, const NOTIFYICONDATAA& data) {
    using NotifyIcon = BOOL(WINAPI*)(DWORD, PNOTIFYICONDATAA);
    static NotifyIcon notifyIcon = nullptr;
    if (!notifyIcon) {
        // Before the first add there is no icon of ours to modify or delete,
        // and the answer is the system's for a missing icon.
        if (message != NIM_ADD) return FALSE;
        notifyIcon = systemFunction<NotifyIcon>("shell32.dll", "Shell_NotifyIconA");
        if (!notifyIcon) return FALSE;
    }
    NOTIFYICONDATAA copy = data;
    return notifyIcon(message, &copy);
}

UINT systemPopupMenu(HWND owner, HMENU menu) {
    POINT at;
    GetCursorPos(&at);
    // The menu closes when the user clicks elsewhere only while its owner is
    // in the foreground, and the posted message lets the next click through.
    SetForegroundWindow(owner);
    const UINT picked = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x, at.y, 0, owner, nullptr));
    PostMessageA(owner, WM_NULL, 0, 0);
    return picked;
}

}  // namespace

Seams& seams() {
    static Seams instance{systemMessageBox, systemOpenFile, systemNotifyIcon, systemPopupMenu};
    return instance;
}

void useSystemSeams() { seams() = Seams{systemMessageBox, systemOpenFile, systemNotifyIcon, systemPopupMenu}; }

}  // namespace moravel
