#include "core/Text.h"

#include <windows.h>

#include <climits>

namespace moravel {

namespace {

int compare(DWORD flags, std::string_view a, std::string_view b) {
    // Lengths are passed, so names need no terminator and may hold anything.
    const int la = a.size() > INT_MAX ? INT_MAX : static_cast<int>(a.size());
    const int lb = b.size() > INT_MAX ? INT_MAX : static_cast<int>(b.size());
    const int r = CompareStringA(LOCALE_USER_DEFAULT, flags, a.data(), la, b.data(), lb);
    if (r == 0) return a.compare(b);  // the locale refused: fall back to bytes
    return r - CSTR_EQUAL;
}

}  // namespace

int compareTextIgnoreCase(std::string_view a, std::string_view b) {
    return compare(NORM_IGNORECASE, a, b);
}

int compareText(std::string_view a, std::string_view b) { return compare(0, a, b); }

std::string directoryPart(const std::string& path) {
    const auto cut = path.find_last_of("\\:");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string narrow(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_ACP, 0, text.data(), length, result.data(), size, nullptr, nullptr);
    return result;
}

}  // namespace moravel
