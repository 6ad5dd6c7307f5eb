#pragma once
// Owning wrappers for the window system's objects, on the template of
// core/Handle.h. A child control belongs to its parent window and is never
// wrapped; neither are shared objects (stock objects, system icons).
#include <windows.h>
#include <commctrl.h>

#include "core/Handle.h"

namespace moravel {

struct FontTraits {
    using Handle = HFONT;
    static Handle invalid() noexcept { return nullptr; }
    static void close(Handle h) noexcept { DeleteObject(h); }
};

struct BrushTraits {
    using Handle = HBRUSH;
    static Handle invalid() noexcept { return nullptr; }
    static void close(Handle h) noexcept { DeleteObject(h); }
};

struct IconTraits {
    using Handle = HICON;
    static Handle invalid() noexcept { return nullptr; }
    static void close(Handle h) noexcept { DestroyIcon(h); }
};

struct ImageListTraits {
    using Handle = HIMAGELIST;
    static Handle invalid() noexcept { return nullptr; }
    static void close(Handle h) noexcept { ImageList_Destroy(h); }
};

struct WindowTraits {
    using Handle = HWND;
    static Handle invalid() noexcept { return nullptr; }
    static void close(Handle h) noexcept { DestroyWindow(h); }
};

using UniqueFont = Unique<FontTraits>;
using UniqueBrush = Unique<BrushTraits>;
using UniqueIcon = Unique<IconTraits>;
using UniqueImageList = Unique<ImageListTraits>;
using UniqueWindow = Unique<WindowTraits>;

}  // namespace moravel
