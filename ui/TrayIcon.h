#pragma once
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace moravel {

// The program's icon in the notification area: its record (TrayIconData),
// put there and taken away, its tip and image kept up to date while it is
// there, put back when the shell starts again, and its menu. The window that
// owns it gets the callback message and forwards what it means.
class NotificationAreaIcon {
public:
    // The menu's commands, as the owner's command table knows them.
    enum Command : UINT { Restore = 200, UpdateNow, Exit };

    // The record, for the owner's callback message; no image yet.
    void init(HWND owner, UINT callbackMessage);
    const NOTIFYICONDATAA& data() const noexcept { return data_; }
    HICON icon() const noexcept { return data_.hIcon; }
    bool shown() const noexcept { return shown_; }

    // Puts it into the notification area; false when there is none to take it.
    bool add();
    void remove();
    // The tip (cut to what the record holds) and the image; the icon shows
    // them at once when it is there. The image stays the caller's.
    void update(const std::string& tip, HICON image);
    void setImage(HICON image) noexcept { data_.hIcon = image; }

    // The shell started again (the "TaskbarCreated" message): the icon comes
    // back where it was. False when it was there and could not come back.
    bool isShellRestart(UINT message) const noexcept { return shellRestart_ != 0 && message == shellRestart_; }
    bool comeBack();

    // The menu of a right click: Restore, Update Now (greyed unless it may
    // run), Exit. The command picked, or 0.
    UINT showMenu(bool updateNowEnabled) const;

private:
    NOTIFYICONDATAA data_ = {};
    bool shown_ = false;
    UINT shellRestart_ = 0;
};

}  // namespace moravel
