// "holder service": a service (build X stops a second after it started). Else a window that closes when asked, and
// "holder stay" never, "holder slow" a second and a half later, "holder disabled" a disabled one, "holder read PATH"
// one that keeps PATH open for reading (sharing reading). Each start appends BUILD, the build of the helper.dll
// beside it that it loaded (a lower-case letter) and its argument to ran.txt beside it (a service) or in its
// working folder, and each close request a "c".
#include <windows.h>
#include <winsvc.h>

#include <fstream>
#include <string>

namespace {
SERVICE_STATUS_HANDLE status;
HANDLE stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
std::string mode;

void report(DWORD state) {
    SERVICE_STATUS s = {SERVICE_WIN32_OWN_PROCESS, state, state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0u, 0, 0, 0, 0};
    SetServiceStatus(status, &s);
}
DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
    if (code == SERVICE_CONTROL_STOP) report(SERVICE_STOP_PENDING), SetEvent(stopped);
    return NO_ERROR;
}
void WINAPI serviceMain(DWORD, char**) {
    status = RegisterServiceCtrlHandlerExA("", control, nullptr);
    report(SERVICE_RUNNING);
    WaitForSingleObject(stopped, BUILD == 'X' ? 1000 : INFINITE);
    report(SERVICE_STOPPED);
}
LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_DESTROY) PostQuitMessage(0);
    if (message != WM_CLOSE) return DefWindowProcA(window, message, w, l);
    std::ofstream("ran.txt", std::ios::app) << 'c';
    if (mode == "slow") Sleep(1500);
    return mode == "stay" ? 0 : DefWindowProcA(window, message, w, l);
}
}  // namespace

// The build of the helper.dll beside the program, loaded for as long as it runs; none when there is none.
std::string loadHelper(const std::string& folder) {
    const HMODULE helper = LoadLibraryA((folder + "helper.dll").c_str());
    const auto build = helper ? reinterpret_cast<char (*)()>(reinterpret_cast<void (*)()>(GetProcAddress(helper, "helperBuild"))) : nullptr;
    return build ? std::string(1, build()) : std::string();
}

int main(int argc, char** argv) {
    mode = argc > 1 ? argv[1] : "";
    char self[MAX_PATH] = {};
    std::string folder(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
    folder = folder.substr(0, folder.find_last_of('\\') + 1);
    const std::string helper = loadHelper(folder);
    if (mode == "service") {
        std::ofstream(folder + "ran.txt", std::ios::app) << BUILD << helper;
        SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(""), serviceMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherA(table) ? 0 : 1;
    }
    const HANDLE read = mode == "read" && argc > 2 ? CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                                 OPEN_EXISTING, 0, nullptr)
                                                   : INVALID_HANDLE_VALUE;
    WNDCLASSA windowClass = {0, windowProc, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, "MoravelHolder"};
    RegisterClassA(&windowClass);
    CreateWindowA("MoravelHolder", "holder", WS_OVERLAPPEDWINDOW | WS_VISIBLE | (mode == "disabled" ? WS_DISABLED : 0), 0,
                  0, 200, 100, nullptr, nullptr, nullptr, nullptr);
    std::ofstream("ran.txt", std::ios::app) << BUILD << helper << mode;
    for (MSG message; GetMessageA(&message, nullptr, 0, 0) > 0;) DispatchMessageA(&message);
    if (read != INVALID_HANDLE_VALUE) CloseHandle(read);
}
