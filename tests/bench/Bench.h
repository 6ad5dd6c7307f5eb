#pragma once
// What the benchmark's parts share: a clock, medians of interleaved runs,
// the printed lines, and counts of a process's memory and objects.
#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace moravel::bench {

double seconds();
double median(std::vector<double> values);

// Medians of two measurements taken in turn: one warm-up of each (not
// counted), then A, B, A, B, ... for the given number of rounds, so that a
// change in the machine's load touches both alike. On a busy machine the
// median of each round's own ratio A/B is the steadier figure.
struct Medians {
    double a, b;
    double paired;
};
Medians interleaved(int rounds, const std::function<double()>& a, const std::function<double()>& b);

// One line per ratio, e.g.
//   start: 0.081 s vs bare 0.077 s = 1.05 x (goal <= 1.10)
// Values are in the unit given ("s", "KiB", ...).
void printRatio(const std::string& what, double value, const std::string& against, double bare,
                const std::string& unit, double goal, int decimals = 2);
// The same for an interleaved pair, with its round by round ratio.
void printRatio(const std::string& what, const Medians& m, const std::string& against, const std::string& unit,
                double goal);
void printLine(const std::string& text);

// Private bytes (the commit charge) of a process.
SIZE_T privateBytes(HANDLE process);

// Kernel handles, GDI and USER objects of this process; nothing where the
// platform gives no count. Under Wine, where the usual calls are stubs, the
// handles come from the system's handle table and the GDI and USER objects
// are found by probing the handle values.
std::optional<unsigned> handleCount();
std::optional<unsigned> gdiObjectCount();
std::optional<unsigned> userObjectCount();

// The directory of this program, with a trailing backslash.
std::string programDirectory();

}  // namespace moravel::bench
