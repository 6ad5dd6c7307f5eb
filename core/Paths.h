#pragma once
// Paths as the file system reads them, and what it says about them.
#include <cstdint>
#include <string>
#include <string_view>

namespace moravel {

// The working directory, whole however long it is: a cut path would be some
// other folder.
std::string workingDirectory();

// True when a file (not a directory) exists at the path.
bool fileExists(const std::string& path);
bool isReadOnly(const std::string& path);
// The size of a file; 0 when it cannot be read.
std::uint64_t fileSize(const std::string& path) noexcept;

// The system's text for an error code, without its closing period and line
// break ("Access denied"), or "error N" when the system has none.
std::string systemErrorText(unsigned long error);

// The path against the working directory of the moment (unchanged when it
// cannot be made full). Set-aside files and watched sources are followed by
// full path: the working directory may move before they are looked at again.
std::string fullPath(const std::string& path);

// True when the path's file is on a network share: a UNC path, or a drive
// letter that stands for a share.
bool onNetworkShare(const std::string& path);

// What follows the path's last backslash, slash or colon: the name the file
// system sees.
std::string_view fileNamePart(std::string_view path);

// The folder the file system finds the path's file in: everything up to and
// including its last backslash, slash or drive colon, so that folderOf(path)
// followed by fileNamePart(path) is the path again. Empty for a bare name
// (the working directory); "C:" for "C:tool.exe" (the drive's own current
// folder).
std::string folderOf(const std::string& path);

}  // namespace moravel
