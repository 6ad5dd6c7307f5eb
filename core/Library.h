#pragma once
// Functions of system libraries that are found at run time: where a library
// may be missing, or is needed late and most runs never load it.
#include <windows.h>

#include "core/Handle.h"

namespace moravel {

using UniqueLibrary = Unique<NullTraits<HMODULE, FreeLibrary>>;

// A function of a loaded library as its own type; null when the library or
// the function is missing. The cast goes through void (*)(), which every
// function pointer converts to and back from without a warning.
template <class Function>
Function procAddress(HMODULE module, const char* name) noexcept {
    if (!module) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace moravel
