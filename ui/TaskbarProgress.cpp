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

}  // namespace

void releaseTaskbarList(ITaskbarList3* list) noexcept { list->Release(); }

TaskbarProgress::~TaskbarProgress() {
    list_.reset();
    if (comStarted_)
        if (const auto uninitialize = procAddress<CoUninitializeFunction>(ole32_.get(), "CoUninitialize"))
            uninitialize();
}

bool TaskbarProgress::ready() {
    if (tried_) return static_cast<bool>(list_);
    tried_ = true;
    ole32_.reset(LoadLibraryA("ole32.dll"));
    if (!ole32_) return false;
    const auto initialize = procAddress<CoInitializeExFunction>(ole32_.get(), "CoInitializeEx");
    const auto create = procAddress<CoCreateInstanceFunction>(ole32_.get(), "CoCreateInstance");
    if (!initialize || !create) return false;
    // S_FALSE (started already on this thread) also wants its CoUninitialize.
    comStarted_ = SUCCEEDED(initialize(nullptr, COINIT_APARTMENTTHREADED));
    void* object = nullptr;
    if (FAILED(create(kTaskbarListClass, nullptr, CLSCTX_INPROC_SERVER, kTaskbarList3, &object)) || !object)
        return false;
    list_.reset(static_cast<ITaskbarList3*>(object));
    if (FAILED(list_.get()->HrInit())) list_.reset();
    return static_cast<bool>(list_);
}

void TaskbarProgress::show(HWND window, int percent) {
    if (!ready()) return;
    list_.get()->SetProgressState(window, TBPF_NORMAL);
    list_.get()->SetProgressValue(window, static_cast<ULONGLONG>(percent), 100);
}

void TaskbarProgress::clear(HWND window) {
    if (list_) list_.get()->SetProgressState(window, TBPF_NOPROGRESS);
}

}  // namespace moravel
