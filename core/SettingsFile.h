#pragma once
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/Projects.h"

namespace moravel {

// The settings file: one profile section per project, in the start directory.
std::string settingsFilePath(const std::string& startDirectory);

// The settings file as one run of the program sees it. It remembers which
// sections this run loaded or saved: a save erases only those the user has
// since removed, and keeps every section it never knew (one added by a second
// copy of the program, or there while the file could not be read at start).
class SettingsFile {
public:
    explicit SettingsFile(std::string path = {}) : path_(std::move(path)) {}

    const std::string& path() const noexcept { return path_; }

    // Fills the registry from the file. Never raises: a missing file is an
    // empty one. Returns why a file that is there could not be read (the
    // system's text), or nothing.
    std::string load(TProjects& projects);

    // Makes the file match the registry. All or nothing: the changes are made
    // to a scratch copy that then takes the file's place, so a refused write
    // leaves the file as it was. Raises "Unable to write to <path>".
    void save(const TProjects& projects);

private:
    struct IgnoreCase {
        bool operator()(const std::string& a, const std::string& b) const;
    };

    std::string path_;
    std::set<std::string, IgnoreCase> known_;
};

// The section names of a profile file, read through one 16384-byte buffer:
// a list too long for it ends with the first name that does not fit, cut.
std::vector<std::string> profileSectionNames(const std::string& path);

// A value of a profile file, as the profile reader gives it (at most 2047
// characters), empty when it is not there.
std::string profileValue(const std::string& path, const std::string& section, const char* key);

// A profile integer: blanks, then a signed decimal number, or hexadecimal
// digits after "$", "x" or "0x"; nothing after the digits; within 32 bits
// signed. Anything else gives the default.
int profileInteger(std::string_view text, int defaultValue);

// The text to store for a value so that the profile reader gives back exactly
// the value: blanks at either end, or a pair of quotes around it, would
// otherwise be stripped.
std::string profileValueText(const std::string& value);

}  // namespace moravel
