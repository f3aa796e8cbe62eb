// Working buffers kept by each thread between calls.
//
// A call that decodes a long signal needs a few buffers the size of the
// signal for a few milliseconds. Fresh from the allocator, such a buffer is
// usually fresh from the kernel too (large blocks are mapped and unmapped
// per call), and touching it costs a page fault per 4 KiB: measured, about
// as long as the whole inverse transform and the inflater together. So each
// thread keeps the blocks its last calls released and hands them out again.
//
//   auto bands = Scratch<float>::take(count);   // fallible: check !bands
//   bands.get()[i] = ...;                        // contents start undefined
//   // released to this thread's pool when `bands` goes out of scope
//
// Rules of the pool:
//  * it holds at most kScratchKeepBytes per thread in at most kScratchSlots
//    blocks, so an idle thread never keeps much; a block larger than that
//    budget is freed on release, so a huge (or hostile) size is never kept;
//  * a request takes the smallest kept block that is large enough, else a
//    fresh allocation (std::nothrow: failure is an empty lease, never an
//    exception);
//  * the contents of a taken block are whatever the last user left;
//  * under AddressSanitizer kept blocks are poisoned, so a stale pointer into
//    a released lease is still reported;
//  * a lease may be released on another thread: the block then joins that
//    thread's pool. The pool frees its blocks when its thread ends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTORESK_SCRATCH_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(VANTORESK_SCRATCH_ASAN)
#define VANTORESK_SCRATCH_ASAN 1
#endif
#if defined(VANTORESK_SCRATCH_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace vantoresk::support {

inline constexpr std::size_t kScratchKeepBytes = std::size_t{16} << 20;
inline constexpr std::size_t kScratchSlots = 4;

class ScratchPool {
public:
    ScratchPool() = default;
    ScratchPool(const ScratchPool&) = delete;
    ScratchPool& operator=(const ScratchPool&) = delete;
    ~ScratchPool() {
        for (Block& b : blocks_) drop(b);
    }

    // A block of at least `bytes` bytes and its true size, or {nullptr, 0}.
    std::pair<void*, std::size_t> take(std::size_t bytes) noexcept {
        Block* best = nullptr;
        for (Block& b : blocks_) {
            if (b.p != nullptr && b.bytes >= bytes && (best == nullptr || b.bytes < best->bytes)) best = &b;
        }
        if (best != nullptr) {
            const Block got = *best;
            *best = Block{};
            held_ -= got.bytes;
#if defined(VANTORESK_SCRATCH_ASAN)
            ASAN_UNPOISON_MEMORY_REGION(got.p, got.bytes);
#endif
            return {got.p, got.bytes};
        }
        void* const p = ::operator new(bytes, std::nothrow);
        return {p, p != nullptr ? bytes : 0};
    }

    // Keeps the block when the budget allows (making room by dropping
    // smaller kept blocks), frees it otherwise.
    void give(void* p, std::size_t bytes) noexcept {
        if (p == nullptr) return;
        Block incoming{p, bytes};
        if (bytes > kScratchKeepBytes) {
            drop(incoming);
            return;
        }
        while (true) {
            Block* empty = nullptr;
            Block* smallest = nullptr;
            for (Block& b : blocks_) {
                if (b.p == nullptr) {
                    empty = &b;
                } else if (smallest == nullptr || b.bytes < smallest->bytes) {
                    smallest = &b;
                }
            }
            if (empty != nullptr && held_ + bytes <= kScratchKeepBytes) {
#if defined(VANTORESK_SCRATCH_ASAN)
                ASAN_POISON_MEMORY_REGION(p, bytes);
#endif
                *empty = incoming;
                held_ += bytes;
                return;
            }
            if (smallest == nullptr || smallest->bytes > bytes) {
                drop(incoming);
                return;
            }
            held_ -= smallest->bytes;
            drop(*smallest);
        }
    }

    std::size_t held_bytes() const noexcept { return held_; }

private:
    struct Block {
        void* p = nullptr;
        std::size_t bytes = 0;
    };

    static void drop(Block& b) noexcept {
        if (b.p != nullptr) {
#if defined(VANTORESK_SCRATCH_ASAN)
            ASAN_UNPOISON_MEMORY_REGION(b.p, b.bytes);
#endif
            ::operator delete(b.p);
        }
        b = Block{};
    }

    std::array<Block, kScratchSlots> blocks_{};
    std::size_t held_ = 0;
};

inline ScratchPool& thread_scratch() noexcept {
    thread_local ScratchPool pool;
    return pool;
}

// A lease on a block of `count` T's from this thread's pool (T trivial).
template <class T>
class Scratch {
public:
    Scratch() noexcept = default;
    Scratch(Scratch&& other) noexcept
        : p_(std::exchange(other.p_, nullptr)), count_(std::exchange(other.count_, 0)),
          bytes_(std::exchange(other.bytes_, 0)) {}
    Scratch& operator=(Scratch&& other) noexcept {
        if (this != &other) {
            release();
            p_ = std::exchange(other.p_, nullptr);
            count_ = std::exchange(other.count_, 0);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { release(); }

    // Empty when `count` T's cannot be had (or their size overflows).
    [[nodiscard]] static Scratch take(std::size_t count) noexcept {
        Scratch s;
        if (count > SIZE_MAX / sizeof(T)) return s;
        const auto [p, bytes] = thread_scratch().take(count == 0 ? 1 : count * sizeof(T));
        s.p_ = static_cast<T*>(p);
        s.count_ = p != nullptr ? count : 0;
        s.bytes_ = bytes;
        return s;
    }

    explicit operator bool() const noexcept { return p_ != nullptr; }
    T* get() const noexcept { return p_; }
    std::size_t size() const noexcept { return count_; }

    // Back to the pool now.
    void release() noexcept {
        if (p_ != nullptr) thread_scratch().give(p_, bytes_);
        p_ = nullptr;
        count_ = 0;
        bytes_ = 0;
    }

private:
    T* p_ = nullptr;
    std::size_t count_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace vantoresk::support
