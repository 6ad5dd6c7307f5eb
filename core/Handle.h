#pragma once
// Owning wrappers for system handles: one move-only template, one traits
// struct per kind of handle. Shared handles (stock objects, system icons,
// LR_SHARED images) are never wrapped.
#include <windows.h>

#include <utility>

namespace moravel {

template <class Traits>
class Unique {
public:
    using Handle = typename Traits::Handle;

    Unique() noexcept = default;
    explicit Unique(Handle h) noexcept : h_(h) {}
    Unique(Unique&& other) noexcept : h_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { reset(); }

    Handle get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != Traits::invalid(); }

    Handle release() noexcept { return std::exchange(h_, Traits::invalid()); }
    void reset(Handle h = Traits::invalid()) noexcept {
        Handle old = std::exchange(h_, h);
        if (old != Traits::invalid()) Traits::close(old);
    }
    // For out-parameters: frees what is held, then hands out the slot.
    Handle* put() noexcept {
        reset();
        return &h_;
    }

private:
    Handle h_ = Traits::invalid();
};

// Traits of a handle whose empty value is null, closed by one function.
template <class H, auto Close>
struct NullTraits {
    using Handle = H;
    static Handle invalid() noexcept { return nullptr; }
    static void close(Handle h) noexcept { Close(h); }
};

// File handles are empty when INVALID_HANDLE_VALUE, not null.
struct FileTraits {
    using Handle = HANDLE;
    static Handle invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Handle h) noexcept { CloseHandle(h); }
};

// Directory searches (FindFirstFile) are closed by their own function.
struct FindTraits {
    using Handle = HANDLE;
    static Handle invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Handle h) noexcept { FindClose(h); }
};

using UniqueHandle = Unique<NullTraits<HANDLE, CloseHandle>>;
using UniqueFile = Unique<FileTraits>;
using UniqueFind = Unique<FindTraits>;
using UniqueKey = Unique<NullTraits<HKEY, RegCloseKey>>;

}  // namespace moravel
