// The allocator of large arrays that are written in full before they are
// read (V, which the analysis fills): new elements are left as they come,
// so that their pages are first touched by the threads that fill them
// rather than by a zeroing pass, and a large array asks for large pages
// (kve_adviseLarge).
#pragma once

#include "kv_engine.h"

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace korvane {

template <typename T>
struct LargeBuffer {
    using value_type = T;
    LargeBuffer() = default;
    template <typename U>
    LargeBuffer(const LargeBuffer<U> &) noexcept {}

    T *allocate(std::size_t n) {
        T *p = std::allocator<T>().allocate(n);
        kve_adviseLarge(p, n * sizeof(T));
        return p;
    }
    void deallocate(T *p, std::size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
    // default-initialised: nothing written for a number
    template <typename U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... A>
    void construct(U *p, A &&...a) {
        ::new (static_cast<void *>(p)) U(std::forward<A>(a)...);
    }
    template <typename U>
    bool operator==(const LargeBuffer<U> &) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const LargeBuffer<U> &) const noexcept {
        return false;
    }
};

template <typename T>
using LargeVector = std::vector<T, LargeBuffer<T>>;

}  // namespace korvane
