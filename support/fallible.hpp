// Reservations that can fail.
//
// Buffers whose size comes from stored data (a container header, a coder
// stream field) must never abort the process when the size is absurd. These
// helpers catch the allocator's failure at the point of allocation and hand
// back `false`, which the caller turns into its own error value. Nothing here
// lets an exception escape.
#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <vector>

namespace vantoresk::support {

// Runs one growing operation of a vector, reporting the allocator's failure
// (or a size beyond what a vector can hold) as false.
template <class Grow>
[[nodiscard]] bool guarded(Grow&& grow) noexcept {
    try {
        grow();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

// Ensures capacity for `n` elements. Contents are unchanged.
template <class T>
[[nodiscard]] bool try_reserve(std::vector<T>& v, std::size_t n) noexcept {
    return guarded([&] { v.reserve(n); });
}

// Resizes to `n` elements; new elements are value-initialised (zero for
// arithmetic types).
template <class T>
[[nodiscard]] bool try_resize(std::vector<T>& v, std::size_t n) noexcept {
    return guarded([&] { v.resize(n); });
}

// A fresh zero-filled vector of `n` elements, or false.
template <class T>
[[nodiscard]] bool try_zeroed(std::vector<T>& out, std::size_t n) noexcept {
    std::vector<T> fresh;
    if (!try_resize(fresh, n)) return false;
    out.swap(fresh);
    return true;
}

}  // namespace vantoresk::support
