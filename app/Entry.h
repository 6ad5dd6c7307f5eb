#pragma once
// The entry both programs share: Moravel.exe, the window program, and
// Moravel.com, its console companion, take the same command line.
namespace moravel {

enum class Entry { Window, Console };

// Runs the command line this process was given; returns the exit code. An
// error that ends it is shown (in a box, or on the standard error of the
// console program) and gives 1.
int runProgram(Entry entry) noexcept;

}  // namespace moravel
