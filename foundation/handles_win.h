// One small owner per kind of Windows handle: closes it once, move-only, never copied (a copy would
// close the handle twice). Both failure values of the API (null and INVALID_HANDLE_VALUE) become
// empty. The field is public so that an API can write into it (&owner.h) and a callback can take
// a handle over; pass .get() or .h to calls.
#pragma once

#include <windows.h>

#include <utility>

template <typename T, auto Close>
struct Unique {
    T h{};

    Unique() = default;
    explicit Unique(T v) : h(v == (T)INVALID_HANDLE_VALUE ? T{} : v) {}
    Unique(Unique&& o) noexcept : h(std::exchange(o.h, T{})) {}
    Unique& operator=(Unique&& o) noexcept {
        if (this != &o) {
            reset();
            h = std::exchange(o.h, T{});
        }
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { reset(); }

    void reset() {
        if (h) Close(std::exchange(h, T{}));
    }
    T get() const { return h; }
    explicit operator bool() const { return h != T{}; }
};

using UniqueHandle = Unique<HANDLE, &CloseHandle>;
