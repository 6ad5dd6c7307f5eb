// A program holding its own file by running, built as A, B and X (BUILD).
//   holder service  a service (X stops a second after it started, as one broken by a new file)
//   holder [stay]   a window that closes when asked (never with "stay")
// Each start appends its letter (and "stay") to ran.txt: a service's beside
// it, a window's in its working folder.
#include <windows.h>

#include <fstream>
#include <string>

namespace {

SERVICE_STATUS_HANDLE status;
HANDLE stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
bool stay = false;

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
    if (message == WM_CLOSE && stay) return 0;
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcA(window, message, w, l);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string argument = argc > 1 ? argv[1] : "";
    char self[MAX_PATH] = {};
    std::string folder(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
    if (argument == "service") {
        std::ofstream(folder.substr(0, folder.find_last_of('\\') + 1) + "ran.txt", std::ios::app) << BUILD;
        SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(""), serviceMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherA(table) ? 0 : 1;
    }
    stay = argument == "stay";
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.lpszClassName = "MoravelHolder";
    RegisterClassA(&windowClass);
    CreateWindowA("MoravelHolder", "holder", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
    std::ofstream("ran.txt", std::ios::app) << BUILD << argument;
    for (MSG message; GetMessageA(&message, nullptr, 0, 0) > 0;) DispatchMessageA(&message);
    return 0;
}
