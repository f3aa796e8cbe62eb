// The compressor's out-of-memory reports: an allocation of one chosen size
// is made to fail, and the error must name the detail codes the coefficient
// stream was to grow by (a count of codes, not of bytes).
// This executable replaces the global allocation functions (malloc and free
// underneath, every form, so that nothing pairs with another allocator); the
// failing size is armed per test and disarms itself on its first use.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "codec_support.hpp"
#include "core/band_layout.hpp"
#include "core/compressor.hpp"
#include "core/header.hpp"
#include "core/wavelet_choice.hpp"

namespace {
std::atomic<std::size_t> g_fail_size{0};

void* allocate(std::size_t size) {
    std::size_t armed = size;
    if (size != 0 && g_fail_size.compare_exchange_strong(armed, 0)) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using vantoresk::CompressionMethod;
using vantoresk::CompressionOptions;
using vantoresk::EntropyCoder;
using vantoresk::VantoreskError;

// The coefficient stream holds two bytes per code; when it cannot be had,
// the report names the detail codes, whichever coder would have followed.
TEST(CompressorOutOfMemory, StreamReportsItsDetailCodes) {
    const auto x = codec_test::random_walk(5003, 7);
    for (const auto method : {CompressionMethod::Db4, CompressionMethod::Sym4}) {
        for (const auto coder : {EntropyCoder::Deflate, EntropyCoder::Arans}) {
            CompressionOptions options;
            options.method = method;
            options.coder = coder;
            const auto container = vantoresk::compress(x, options);
            ASSERT_TRUE(container.ok());
            const std::size_t levels = container.value()[12];
            const auto executor = vantoresk::make_executor(method);
            const auto layout = vantoresk::band_layout(*executor, x.size(), levels);
            const std::size_t bytes = 2 * layout.codes;

            g_fail_size = bytes;
            const auto failed = vantoresk::compress(x, options);
            g_fail_size = 0;
            ASSERT_FALSE(failed.ok());
            EXPECT_EQ(failed.error().kind(), VantoreskError::Kind::OutOfMemory);
            EXPECT_EQ(failed.error().display(), "Out of memory, can't allocate additional " +
                                                   std::to_string(layout.codes - layout.approx_length()));

            // Nothing is left half-done: the same call succeeds afterwards.
            const auto again = vantoresk::compress(x, options);
            ASSERT_TRUE(again.ok());
            EXPECT_EQ(again.value(), container.value());
        }
    }
}

}  // namespace
