// holdfile PATH READY-EVENT QUIT-EVENT [SHARE]
//
// Keeps PATH open, with no sharing or with the FILE_SHARE_ bits of SHARE, as
// another program using the file would, until the quit event is set. The
// ready event is set once the file is held; a file that cannot be opened ends
// the program with exit code 2.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) return 1;
    const DWORD share = argc == 5 ? std::strtoul(argv[4], nullptr, 0) : 0;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;

    int result = 3;
    // Created when nobody made them first, so it can also be started by hand.
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, argv[2]);
    HANDLE quit = CreateEventA(nullptr, TRUE, FALSE, argv[3]);
    if (ready && quit && SetEvent(ready) && WaitForSingleObject(quit, INFINITE) == WAIT_OBJECT_0)
        result = 0;
    if (quit) CloseHandle(quit);
    if (ready) CloseHandle(ready);
    CloseHandle(file);
    return result;
}
