// The per-thread pool of working blocks: what it keeps, what it frees, and
// that a lease hands back what it took.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "support/scratch.hpp"

namespace {

using vantoresk::support::kScratchKeepBytes;
using vantoresk::support::kScratchSlots;
using vantoresk::support::Scratch;
using vantoresk::support::ScratchPool;

TEST(SupportScratch, ReleasedBlockIsTakenAgainBySmallerOrEqualRequests) {
    ScratchPool pool;
    auto [p, bytes] = pool.take(1 << 20);
    ASSERT_NE(p, nullptr);
    pool.give(p, bytes);
    EXPECT_EQ(pool.held_bytes(), std::size_t{1} << 20);
    auto again = pool.take(1000);
    EXPECT_EQ(again.first, p);
    EXPECT_EQ(again.second, std::size_t{1} << 20);
    EXPECT_EQ(pool.held_bytes(), 0u);
    pool.give(again.first, again.second);
}

TEST(SupportScratch, SmallestFittingBlockIsChosen) {
    ScratchPool pool;
    auto big = pool.take(4096);
    auto small = pool.take(1024);
    pool.give(big.first, big.second);
    pool.give(small.first, small.second);
    EXPECT_EQ(pool.take(1000).first, small.first);
    EXPECT_EQ(pool.take(1000).first, big.first);
    // Nothing left that fits: a fresh block, released by hand.
    auto fresh = pool.take(8192);
    ASSERT_NE(fresh.first, nullptr);
    for (void* q : {small.first, big.first, fresh.first}) ::operator delete(q);
}

TEST(SupportScratch, BudgetBoundsWhatIsKept) {
    ScratchPool pool;
    // Larger than the whole budget: freed at once.
    auto huge = pool.take(kScratchKeepBytes + 1);
    ASSERT_NE(huge.first, nullptr);
    pool.give(huge.first, huge.second);
    EXPECT_EQ(pool.held_bytes(), 0u);
    // More blocks than slots: smaller ones make way for larger ones, never
    // beyond the budget or the slot count.
    for (std::size_t k = 1; k <= kScratchSlots + 3; ++k) {
        auto b = pool.take(k * (kScratchKeepBytes / 8));
        ASSERT_NE(b.first, nullptr);
        pool.give(b.first, b.second);
        EXPECT_LE(pool.held_bytes(), kScratchKeepBytes);
    }
    EXPECT_GE(pool.held_bytes(), (kScratchSlots + 3) * (kScratchKeepBytes / 8));
}

TEST(SupportScratch, LeaseReturnsItsBlockAndMovesOwnership) {
    float* first = nullptr;
    {
        auto lease = Scratch<float>::take(1000);
        ASSERT_TRUE(lease);
        EXPECT_EQ(lease.size(), 1000u);
        first = lease.get();
        auto moved = std::move(lease);
        EXPECT_FALSE(lease);  // NOLINT(bugprone-use-after-move): checks the move
        EXPECT_EQ(moved.get(), first);
    }
    auto again = Scratch<float>::take(500);
    EXPECT_EQ(again.get(), first);
    // A count whose size overflows gives an empty lease, not a small block.
    EXPECT_FALSE(Scratch<std::uint64_t>::take(SIZE_MAX / 4));
}

TEST(SupportScratch, EachThreadHasItsOwnPool) {
    auto mine = Scratch<char>::take(4096);
    char* const mine_ptr = mine.get();
    mine.release();
    char* theirs = nullptr;
    std::thread([&] {
        auto lease = Scratch<char>::take(4096);
        theirs = lease.get();
    }).join();
    EXPECT_NE(theirs, nullptr);
    EXPECT_EQ(Scratch<char>::take(4096).get(), mine_ptr);
}

}  // namespace
