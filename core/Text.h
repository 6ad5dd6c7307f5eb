#pragma once
#include <string>
#include <string_view>

namespace moravel {

// The user locale's string comparison. Results are <0, 0 or >0.
int compareTextIgnoreCase(std::string_view a, std::string_view b);
int compareText(std::string_view a, std::string_view b);


// Wide text in the system code page, as the rest of the program speaks.
std::string narrow(std::wstring_view text);

// The directory part of a path: everything up to and including its last
// backslash or colon; empty when it has neither.
std::string directoryPart(const std::string& path);

}  // namespace moravel
