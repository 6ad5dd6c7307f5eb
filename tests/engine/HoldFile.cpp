// holdfile READY-EVENT QUIT-EVENT SHARE PATH...
// holdfile READY-EVENT QUIT-EVENT SHARE @LIST
//
// Keeps each PATH (or each line of the file LIST) open for reading with the
// given sharing (FILE_SHARE_* bits, 0 for none), as another program using the
// files would, until the quit event is set. The ready event is set once all
// are held; a file that cannot be opened ends the program with exit code 2.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 5) return 1;
    const DWORD share = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
    std::vector<std::string> paths(argv + 4, argv + argc);
    if (argc == 5 && argv[4][0] == '@') {
        paths.clear();
        std::ifstream list(argv[4] + 1);
        for (std::string line; std::getline(list, line);)
            if (!line.empty()) paths.push_back(line);
    }

    std::vector<HANDLE> files;
    int result = 0;
    for (const std::string& path : paths) {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            result = 2;
            break;
        }
        files.push_back(file);
    }

    // Created when nobody made them first, so it can also be started by hand.
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, argv[1]);
    HANDLE quit = CreateEventA(nullptr, TRUE, FALSE, argv[2]);
    if (result == 0)
        result = ready && quit && SetEvent(ready) && WaitForSingleObject(quit, INFINITE) == WAIT_OBJECT_0 ? 0 : 3;
    if (quit) CloseHandle(quit);
    if (ready) CloseHandle(ready);
    for (HANDLE file : files) CloseHandle(file);
    return result;
}
