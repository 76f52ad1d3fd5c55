// The one owner of a platform handle: closes it once, move-only, never copied (a copy would close
// it twice). The closer is either fixed by the type (Unique<T, &Close>, no storage) or chosen at run
// time (PlatformHandle: the portable core holds process, job and thread handles that only the
// platform edge knows how to close, and tests hold made-up handles that need no closing). A pointer
// whose bits are all ones (the API's INVALID_HANDLE_VALUE) becomes empty. The field is public so
// that an API can write into it (&owner.h); pass .get() or .h to calls.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

template <auto Close>
struct FixedCloser {
    template <typename T>
    void operator()(T h) const {
        Close(h);
    }
};

struct RuntimeCloser {
    void (*close)(void*) = nullptr;
    RuntimeCloser() = default;
    RuntimeCloser(void (*c)(void*)) : close(c) {}  // NOLINT: a closer is given as a plain function
    void operator()(void* h) const {
        if (close) close(h);
    }
};

// COM interface pointers: their owner calls Release.
struct ReleaseCloser {
    template <typename T>
    void operator()(T* p) const {
        p->Release();
    }
};

template <typename T, typename Closer>
struct Owner {
    T h{};
    [[no_unique_address]] Closer closer{};

    Owner() = default;
    explicit Owner(T v, Closer c = Closer{}) : h(normalise(v)), closer(c) {}
    Owner(Owner&& o) noexcept : h(std::exchange(o.h, T{})), closer(std::exchange(o.closer, Closer{})) {}
    Owner& operator=(Owner&& o) noexcept {
        if (this != &o) {
            reset();
            h = std::exchange(o.h, T{});
            closer = std::exchange(o.closer, Closer{});
        }
        return *this;
    }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    ~Owner() { reset(); }

    void reset() {
        if (h) closer(std::exchange(h, T{}));
    }
    // Gives the handle up without closing it.
    T release() { return std::exchange(h, T{}); }
    T get() const { return h; }
    explicit operator bool() const { return h != T{}; }
    T operator->() const
        requires(std::is_pointer_v<T> && std::is_class_v<std::remove_pointer_t<T>>)
    {
        return h;
    }

private:
    static T normalise(T v) {
        if constexpr (std::is_pointer_v<T>) {
            if (reinterpret_cast<uintptr_t>(v) == ~uintptr_t{0}) return T{};
        }
        return v;
    }
};

template <typename T, auto Close>
using Unique = Owner<T, FixedCloser<Close>>;

// A COM interface pointer holding one reference.
template <typename Interface>
using ComOwner = Owner<Interface*, ReleaseCloser>;

// A process, job or thread handle held by portable code, with the closer its platform gave it.
using PlatformHandle = Owner<void*, RuntimeCloser>;
