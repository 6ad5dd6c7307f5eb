#pragma once
// The entry both programs share: Moravel.exe, the window program, and
// Moravel.com, its console companion, take the same command line.
#include "ui/Instance.h"

namespace moravel {

enum class Entry { Window, Console };

// Runs the command line this process was given; returns the exit code. An
// error that ends it is shown (in a box, or on the standard error of the
// console program) and gives 1. The console program gives the run of an
// update in its own process, for /wait when no instance runs (the window
// program has no /wait, and so does without that code).
int runProgram(Entry entry, const RunHere& runHere = nullptr) noexcept;

}  // namespace moravel
