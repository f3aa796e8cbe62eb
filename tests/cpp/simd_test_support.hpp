// Running a named vector variant in a test: skip, visibly, where this run
// cannot use it (the CPU lacks it, or VANTORESK_DISABLE_SIMD is set), instead
// of comparing the portable code with itself.
#pragma once

#include <gtest/gtest.h>

#include "support/cpu_dispatch.hpp"

#define VANTORESK_SKIP_UNLESS_ENABLED(isa)                                                   \
    do {                                                                                     \
        if (!::vantoresk::simd::enabled(isa)) {                                              \
            GTEST_SKIP() << ::vantoresk::simd::name(isa) << " variant not run: "             \
                         << ::vantoresk::simd::unavailable_reason(isa);                      \
        }                                                                                    \
    } while (0)
