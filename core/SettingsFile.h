#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "core/Projects.h"

namespace moravel {

// The settings file: one profile section per project, in the start directory.
std::string settingsFilePath(const std::string& startDirectory);

// Fills the registry from the file. Never fails: what cannot be read is not
// there, and a missing file is an empty one.
void loadProjects(const std::string& path, TProjects& projects);

// Makes the file match the registry. All or nothing: the changes are made to
// a scratch copy that then replaces the file in one step, so a refused write
// leaves the file as it was. Raises "Unable to write to <path>".
void saveProjects(const std::string& path, const TProjects& projects);

// The section names of a profile file, read through one 16384-byte buffer:
// a list too long for it ends with the first name that does not fit, cut.
std::vector<std::string> profileSectionNames(const std::string& path);

// A profile integer: blanks, then a signed decimal number, or hexadecimal
// digits after "$", "x" or "0x"; nothing after the digits; within 32 bits
// signed. Anything else gives the default.
int profileInteger(std::string_view text, int defaultValue);

// The text to store for a value so that the profile reader gives back exactly
// the value: blanks at either end, or a pair of quotes around it, would
// otherwise be stripped.
std::string profileValueText(const std::string& value);

}  // namespace moravel
