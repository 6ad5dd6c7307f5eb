// Moravel.com: Moravel's console companion. cmd and PowerShell pick it
// before Moravel.exe when "Moravel" is typed, and wait for its exit code.
#include "app/ConsoleRun.h"
#include "app/Entry.h"

int main() { return moravel::runProgram(moravel::Entry::Console, moravel::updateHere); }
