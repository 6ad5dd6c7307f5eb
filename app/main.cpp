// Moravel: copies files over files that are in use, retrying until they are free.
#include <windows.h>

#include "app/Entry.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return moravel::runProgram(moravel::Entry::Window); }
