#pragma once
#include <string>

namespace moravel::bench {

struct StartPrograms {
    std::string moravel;     // Moravel.exe
    std::string bare;        // the bare window with the same controls
    std::string bareStyled;  // the same with the common controls 6 assembly; empty: skipped
};

// The switch on which the bare window programs end before making a window.
inline constexpr const char* kEndAtOnce = "/end";

// Prints the start time (and how much of it passes before any window), the
// private memory after start and the size of the executable, each against
// its yardstick.
void benchmarkStart(const StartPrograms& programs, int rounds);

}  // namespace moravel::bench
