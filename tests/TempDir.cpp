#include "TempDir.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>

namespace moravel::test {

namespace {

void removeTree(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            const std::string full = path + "\\" + name;
            SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(full);
            else
                DeleteFileA(full.c_str());
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

}  // namespace

TempDir::TempDir(const std::string& base) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string parent = base.empty() ? std::string(temp) : base + "\\";
    static std::atomic<unsigned> counter{0};
    for (;;) {
        path_ = parent + "mrvtest-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(counter++);
        if (CreateDirectoryA(path_.c_str(), nullptr)) break;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            throw std::runtime_error("cannot create " + path_);
    }
}

TempDir::~TempDir() { removeTree(path_); }

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::string smallDisk() {
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("MORAVEL_SMALL_DISK", path, sizeof path);
    ULARGE_INTEGER free{}, total{};
    if (length == 0 || length >= sizeof path || !GetDiskFreeSpaceExA(path, &free, &total, nullptr) ||
        total.QuadPart > 4u << 20)
        return {};  // not set, or the mount was refused and it is a folder of a large disk
    return path;
}

void writeFile(const std::string& path, const std::string& content) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write " + path);
    DWORD written = 0;
    const BOOL ok = WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(h);
    if (!ok || written != content.size()) throw std::runtime_error("short write to " + path);
}

std::string readFile(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot read " + path);
    std::string content(GetFileSize(h, nullptr), '\0');
    DWORD read = 0;
    ReadFile(h, content.data(), static_cast<DWORD>(content.size()), &read, nullptr);
    CloseHandle(h);
    content.resize(read);
    return content;
}

bool exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void setReadOnly(const std::string& path, bool readOnly) {
    SetFileAttributesA(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}

CurrentDirectory::CurrentDirectory(const std::string& path) {
    char buffer[MAX_PATH * 4];
    GetCurrentDirectoryA(sizeof buffer, buffer);
    previous_ = buffer;
    if (!SetCurrentDirectoryA(path.c_str())) throw std::runtime_error("cannot enter " + path);
}

CurrentDirectory::~CurrentDirectory() { SetCurrentDirectoryA(previous_.c_str()); }

}  // namespace moravel::test
