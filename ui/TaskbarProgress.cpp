#include "ui/TaskbarProgress.h"

#include <objbase.h>
#include <shobjidl.h>

namespace moravel {

namespace {

// Spelled out here, so nothing needs the uuid library.
const CLSID kTaskbarListClass = {0x56FDF344, 0xFD6D, 0x11D0, {0x95, 0x8A, 0x00, 0x60, 0x97, 0xC9, 0xA0, 0x90}};
const IID kTaskbarList3 = {0xEA1AFB91, 0x9E28, 0x4B86, {0x90, 0xE9, 0x9E, 0x9F, 0x8A, 0x5E, 0xEF, 0xAF}};

using CoInitializeExFunction = HRESULT(WINAPI*)(LPVOID, DWORD);
using CoCreateInstanceFunction = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
using CoUninitializeFunction = void(WINAPI*)();

// Through void (*)(), which matches every function type.
template <typename Function>
Function entryPoint(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

TaskbarProgress::~TaskbarProgress() {
    if (list_) list_->Release();
    if (comStarted_)
        if (const auto uninitialize = entryPoint<CoUninitializeFunction>(ole32_, "CoUninitialize")) uninitialize();
    if (ole32_) FreeLibrary(ole32_);
}

bool TaskbarProgress::ready() {
    if (tried_) return list_ != nullptr;
    tried_ = true;
    ole32_ = LoadLibraryA("ole32.dll");
    if (!ole32_) return false;
    const auto initialize = entryPoint<CoInitializeExFunction>(ole32_, "CoInitializeEx");
    const auto create = entryPoint<CoCreateInstanceFunction>(ole32_, "CoCreateInstance");
    if (!initialize || !create) return false;
    // S_FALSE (started already on this thread) also wants its CoUninitialize.
    comStarted_ = SUCCEEDED(initialize(nullptr, COINIT_APARTMENTTHREADED));
    void* object = nullptr;
    if (FAILED(create(kTaskbarListClass, nullptr, CLSCTX_INPROC_SERVER, kTaskbarList3, &object)) || !object)
        return false;
    list_ = static_cast<ITaskbarList3*>(object);
    if (FAILED(list_->HrInit())) {
        list_->Release();
        list_ = nullptr;
    }
    return list_ != nullptr;
}

void TaskbarProgress::show(HWND window, int percent) {
    if (!ready()) return;
    list_->SetProgressState(window, TBPF_NORMAL);
    list_->SetProgressValue(window, static_cast<ULONGLONG>(percent), 100);
}

void TaskbarProgress::clear(HWND window) {
    if (list_) list_->SetProgressState(window, TBPF_NOPROGRESS);
}

}  // namespace moravel
