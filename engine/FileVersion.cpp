#include "engine/FileVersion.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <vector>

#include "core/Clock.h"
#include "core/Files.h"
#include "core/ObjectUnit.h"
#include "core/Text.h"

namespace moravel {

namespace {

constexpr const char* kNoVersion = "0.0.0.0";

std::string readFileVersion(const std::string& path) {
    DWORD handle = 0;  // ignored by the system, but it wants somewhere to write
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) return kNoVersion;  // no resource, not a module, or no file

    std::vector<unsigned char> buffer(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, buffer.data())) return kNoVersion;

    void* block = nullptr;
    UINT length = 0;
    char root[] = "\\";
    if (!VerQueryValueA(buffer.data(), root, &block, &length) || !block ||
        length < sizeof(VS_FIXEDFILEINFO))
        return kNoVersion;

    const auto& info = *static_cast<const VS_FIXEDFILEINFO*>(block);
    char text[48];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u",
                  static_cast<unsigned>(HIWORD(info.dwFileVersionMS)),
                  static_cast<unsigned>(LOWORD(info.dwFileVersionMS)),
                  static_cast<unsigned>(HIWORD(info.dwFileVersionLS)),
                  static_cast<unsigned>(LOWORD(info.dwFileVersionLS)));
    return text;
}

}  // namespace

std::string GetFileVersionText(const std::string& path) {
    try {
        return readFileVersion(path);
    } catch (const std::bad_alloc&) {
        // A resource too large for memory is one we cannot read.
        return kNoVersion;
    }
}

std::string versionBackupPath(const std::string& destination, const std::string& version) {
    const std::string directory = directoryPart(destination);
    const std::string name = destination.substr(directory.size());
    // Only a dot in the file name starts an extension; one in a folder name
    // ("C:\rel1.5\tool") does not.
    const std::size_t dot = name.rfind('.');
    const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    return directory + base + "-" + version + extension;
}

std::string makeVersionBackup(const TFileObject& project, const std::string& version, CopyProgress* progress) {
    const std::string target = versionBackupPath(project.Destination, version);
    const bool copied = replaceFile(project.Source, target, progress) == ReplaceOutcome::Replaced;
    return timestampText(localNow()) +
           (copied ? " Created version backup." : " Failed to create version backup!");
}

}  // namespace moravel
