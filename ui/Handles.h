#pragma once
// Owning wrappers for the window system's objects, on the template of
// core/Handle.h. A child control belongs to its parent window and is never
// wrapped; neither are shared objects (stock objects, system icons).
#include <windows.h>
#include <commctrl.h>

#include "core/Handle.h"

namespace moravel {

using UniqueFont = Unique<NullTraits<HFONT, DeleteObject>>;
using UniqueBrush = Unique<NullTraits<HBRUSH, DeleteObject>>;
using UniqueIcon = Unique<NullTraits<HICON, DestroyIcon>>;
using UniqueImageList = Unique<NullTraits<HIMAGELIST, ImageList_Destroy>>;
using UniqueMenu = Unique<NullTraits<HMENU, DestroyMenu>>;

}  // namespace moravel
