#pragma once
#include <windows.h>

#include <string>

namespace moravel {

// A Yes/No question with a question-mark icon, "&Yes" taken by Enter and
// "&No" by Escape; closing it by its close box answers No as well, which the
// system's own message box does not allow. Returns IDYES or IDNO.
int askYesNo(HWND owner, const std::string& text, const std::string& caption);

}  // namespace moravel
