#include "ui/TrayIcon.h"

#include <algorithm>

#include "ui/Application.h"
#include "ui/Handles.h"
#include "ui/Seams.h"

namespace moravel {

void NotificationAreaIcon::init(HWND owner, UINT callbackMessage) {
    data_ = {};
    data_.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data_.hWnd = owner;
    data_.uID = 1;
    data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data_.uCallbackMessage = callbackMessage;
    lstrcpynA(data_.szTip, kApplicationTitle, 64);
    shellRestart_ = RegisterWindowMessageA("TaskbarCreated");
}

bool NotificationAreaIcon::add() {
    shown_ = seams().notifyIcon(NIM_ADD, data_) != FALSE;
    return shown_;
}

void NotificationAreaIcon::remove() {
    seams().notifyIcon(NIM_DELETE, data_);
    shown_ = false;
}

void NotificationAreaIcon::update(const std::string& tip, HICON image) {
    const std::size_t length = std::min<std::size_t>(tip.size(), 63);
    tip.copy(data_.szTip, length);
    data_.szTip[length] = '\0';
    data_.hIcon = image;
    // Without effect while the icon is not there.
    seams().notifyIcon(NIM_MODIFY, data_);
}

bool NotificationAreaIcon::comeBack() { return !shown_ || add(); }

UINT NotificationAreaIcon::showMenu(bool updateNowEnabled) const {
    const UniqueMenu menu(CreatePopupMenu());
    if (!menu) return 0;
    AppendMenuA(menu.get(), MF_STRING, Restore, "&Restore");
    AppendMenuA(menu.get(), MF_STRING | (updateNowEnabled ? 0 : MF_GRAYED), UpdateNow, "Update &Now");
    AppendMenuA(menu.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu.get(), MF_STRING, Exit, "E&xit");
    SetMenuDefaultItem(menu.get(), Restore, FALSE);  // what a double click does
    return seams().popupMenu(data_.hWnd, menu.get());
}

}  // namespace moravel
