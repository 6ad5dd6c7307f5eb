#include "core/Paths.h"

#include <windows.h>

namespace moravel {

std::string workingDirectory() {
    const DWORD size = GetCurrentDirectoryA(0, nullptr);
    std::string path(size, '\0');
    const DWORD length = GetCurrentDirectoryA(size, path.data());
    path.resize(length < size ? length : 0);
    return path;
}

bool fileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::uint64_t fileSize(const std::string& path) noexcept {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

bool isReadOnly(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

std::string systemErrorText(unsigned long error) {
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                  0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '.' || text[length - 1] == ' ' || text[length - 1] == '\r' ||
                          text[length - 1] == '\n'))
        --length;
    return length > 0 ? std::string(text, length) : "error " + std::to_string(error);
}

std::string fullPath(const std::string& path) {
    if (path.empty()) return path;
    const DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    std::string full(size, '\0');
    const DWORD length = size ? GetFullPathNameA(path.c_str(), size, full.data(), nullptr) : 0;
    if (length == 0 || length >= size) return path;
    full.resize(length);
    return full;
}

bool onNetworkShare(const std::string& path) {
    std::string full = fullPath(path);  // with backslashes only
    if (full.rfind("\\\\?\\", 0) == 0) {
        full.erase(0, 4);
        if (full.size() > 4 && lstrcmpiA(full.substr(0, 4).c_str(), "UNC\\") == 0) return true;
    } else if (full.rfind("\\\\", 0) == 0) {
        return full.rfind("\\\\.\\", 0) != 0;  // a share, not a device
    }
    return full.size() >= 2 && full[1] == ':' && GetDriveTypeA((full.substr(0, 2) + "\\").c_str()) == DRIVE_REMOTE;
}

std::string_view fileNamePart(std::string_view path) {
    const std::size_t at = path.find_last_of("\\/:");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

std::string folderOf(const std::string& path) { return path.substr(0, path.size() - fileNamePart(path).size()); }

}  // namespace moravel
