// Grid refinement and what the chooser makes of it: float32 lanes written
// as (d - baseline) / gain come back on a grid that reproduces every value,
// and are then coded by the level coder, exactly or within k steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <bit>
#include <vector>

#include "include/vantoresk.h"
#include "lanes/grid.hpp"
#include "lanes/grid_refine.hpp"
#include "support/splitmix64.hpp"

namespace {

using vantoresk::lanes::find_grid;
using vantoresk::lanes::fit_grid;
using vantoresk::lanes::refine_fit;
using vantoresk::lanes::refine_grid;

struct Adc {
    double gain;
    double baseline;
};

// A random walk of ADC codes around the baseline (which it crosses, so the
// value 0 occurs), stored as float32 physical values.
std::vector<float> adc_lane(const Adc& adc, std::size_t n, std::uint64_t seed, int spread) {
    vantoresk::support::SplitMix64 rng(seed);
    std::vector<float> x(n);
    double d = std::round(adc.baseline);
    for (auto& v : x) {
        d += static_cast<double>(rng.below(2 * static_cast<std::uint32_t>(spread) + 1)) - spread;
        if (rng.below(50) == 0) d = std::round(adc.baseline);
        v = static_cast<float>((d - adc.baseline) / adc.gain);
    }
    return x;
}

const Adc kAdcs[] = {{200.0, 1024.0}, {2963.77, 0.0}, {12.84, -1605.0}, {7247.0, 0.0}, {65535.0 / 125.37997, -8008.956797}};

TEST(GridRefine, ValuesWrittenFromAdcCodesNeedNoCorrections) {
    std::uint64_t seed = 1;
    for (const Adc& adc : kAdcs) {
        for (const int spread : {3, 40, 400}) {
            SCOPED_TRACE("gain " + std::to_string(adc.gain) + ", spread " + std::to_string(spread));
            const std::vector<float> x = adc_lane(adc, 20000, seed++, spread);
            const auto g = find_grid<float>(x);
            ASSERT_TRUE(g.has_value());
            const std::size_t before = fit_grid<float>(x, *g).corrections;
            const auto refined = refine_grid(x, *g, before);
            EXPECT_EQ(fit_grid<float>(x, refined).corrections, 0u) << "fitted grid had " << before;
        }
    }
}

TEST(GridRefine, NeverNeedsMoreCorrectionsThanTheFit) {
    vantoresk::support::SplitMix64 rng(7);
    std::vector<float> x = adc_lane(kAdcs[3], 10000, 3, 30);
    for (std::size_t i = 0; i < x.size(); i += 500) x[i] += static_cast<float>(rng.unit() * 1e-4);  // off the grid
    const auto g = find_grid<float>(x);
    ASSERT_TRUE(g.has_value());
    const std::size_t before = fit_grid<float>(x, *g).corrections;
    const auto refined = refine_grid(x, *g, before);
    EXPECT_LE(fit_grid<float>(x, refined).corrections, fit_grid<float>(x, *g).corrections);
}

// Neighbouring floats from the bits are std::nextafter's, at zeros of
// either sign, subnormals, the largest finite values and beyond.
TEST(GridRefine, FloatNeighboursAreNextafters) {
    using vantoresk::lanes::float_neighbour;
    auto same = [](auto a, auto b) {
        using U = std::conditional_t<sizeof(a) == 4, std::uint32_t, std::uint64_t>;
        return (std::isnan(a) && std::isnan(b)) || std::bit_cast<U>(a) == std::bit_cast<U>(b);  // -0 is not +0
    };
    vantoresk::support::SplitMix64 rng(3);
    std::vector<float> fs = {0.0f, -0.0f, 1e-45f, -1e-45f, 1.1754942e-38f, 1.0f, -1.0f, 3.4028235e38f, -3.4028235e38f,
                             INFINITY, -INFINITY, NAN};
    for (int i = 0; i < 20000; ++i) fs.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(rng.next())));
    for (const float x : fs) {
        EXPECT_TRUE(same(float_neighbour(x, true), std::nextafter(x, INFINITY))) << x;
        EXPECT_TRUE(same(float_neighbour(x, false), std::nextafter(x, -INFINITY))) << x;
    }
    std::vector<double> ds = {0.0, -0.0, 5e-324, -5e-324, 1.7976931348623157e308, -1.7976931348623157e308};
    for (int i = 0; i < 20000; ++i) ds.push_back(std::bit_cast<double>(rng.next()));
    for (const double x : ds) {
        EXPECT_TRUE(same(float_neighbour(x, true), std::nextafter(x, INFINITY))) << x;
        EXPECT_TRUE(same(float_neighbour(x, false), std::nextafter(x, -INFINITY))) << x;
    }
}

// The chooser's one-pass refinement gives exactly the fit the refined grid
// gets from fit_grid (levels, corrections, grid bits), or nothing when that
// fit needs no fewer corrections, on lanes with values off the grid, zeros,
// non-finite values and levels beyond the grid's range.
TEST(GridRefine, OnePassFitMatchesRefiningThenFitting) {
    vantoresk::support::SplitMix64 rng(99);
    std::vector<std::vector<float>> lanes;
    for (const Adc& adc : kAdcs) lanes.push_back(adc_lane(adc, 6000, rng.next(), 25));
    std::vector<float> off = adc_lane(kAdcs[1], 6000, 5, 40);
    for (std::size_t i = 0; i < off.size(); i += 37) off[i] = std::nextafter(off[i], 1e9f);
    for (std::size_t i = 11; i < off.size(); i += 501) off[i] = 1.0e12f;  // levels beyond the grid's range
    for (std::size_t i = 12; i < off.size(); i += 777) off[i] = -1.0e17f;
    lanes.push_back(off);
    std::vector<float> holes = adc_lane(kAdcs[0], 6000, 6, 10);
    holes[17] = NAN;
    holes[400] = INFINITY;
    holes[401] = -INFINITY;
    lanes.push_back(holes);
    lanes.push_back(std::vector<float>(3000, 0.25f));
    std::size_t refined = 0;
    for (std::size_t l = 0; l < lanes.size(); ++l) {
        SCOPED_TRACE("lane " + std::to_string(l));
        const std::vector<float>& x = lanes[l];
        const auto g = find_grid<float>(x);
        if (!g) continue;
        const auto fit = fit_grid<float>(x, *g);
        const auto fast = refine_fit(x, fit);
        const auto slow = fit_grid<float>(x, refine_grid(x, *g, fit.corrections));
        if (fit.corrections == 0 || slow.corrections >= fit.corrections) {
            EXPECT_FALSE(fast.has_value());
            continue;
        }
        ASSERT_TRUE(fast.has_value());
        ++refined;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(fast->grid.a), std::bit_cast<std::uint64_t>(slow.grid.a));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(fast->grid.b), std::bit_cast<std::uint64_t>(slow.grid.b));
        EXPECT_EQ(fast->grid.density, slow.grid.density);
        EXPECT_EQ(fast->corrections, slow.corrections);
        EXPECT_EQ(fast->k, slow.k);
    }
    EXPECT_GE(refined, 3u);  // the comparison above ran on refined fits, not only on refusals
}

// The chooser through the C interface: one float32 lane, one target.
struct Coded {
    std::vector<float> decoded;
    struct vnt_lane_info info {};
    std::size_t size = 0;
};

Coded code(const std::vector<float>& x, vnt_target_kind kind, double target) {
    vnt_options o;
    vnt_options_init(&o);
    o.target_kind = kind;
    o.targets = &target;
    o.target_count = 1;
    vnt_layout lay{};
    lay.dtype = VNT_FLOAT32;
    lay.order = 'C';
    lay.ndim = 1;
    lay.shape[0] = x.size();
    void* frame = nullptr;
    std::size_t size = 0;
    vnt_error err{};
    Coded out;
    EXPECT_EQ(vnt_encode(x.data(), &lay, &o, &frame, &size, &err), VNT_OK) << err.message;
    out.size = size;
    out.decoded.resize(x.size());
    EXPECT_EQ(vnt_decode(frame, size, out.decoded.data(), x.size() * 4, &err), VNT_OK) << err.message;
    EXPECT_EQ(vnt_lane_info(frame, size, 0, &out.info, &err), VNT_OK) << err.message;
    vnt_free(frame);
    return out;
}

double max_error(const std::vector<float>& a, const std::vector<float>& b) {
    double m = 0;
    for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(static_cast<double>(a[i]) - b[i]));
    return m;
}

TEST(GridChooser, ExactGridLanesUseTheLevelCoder) {
    for (const Adc& adc : {kAdcs[0], kAdcs[4]}) {
        const std::vector<float> x = adc_lane(adc, 20000, 11, 20);
        const Coded c = code(x, VNT_TARGET_MAX_ABS_ERROR, 0.0);
        EXPECT_EQ(c.decoded, x);
        EXPECT_EQ(c.info.kind, VNT_LANE_NEAR_LOSSLESS);
        EXPECT_TRUE(c.info.exact);
    }
}

TEST(GridChooser, BoundsInStepsUseBinsOfTheGridEvenWithAFewOffGridValues) {
    const Adc adc = kAdcs[0];
    std::vector<float> x = adc_lane(adc, 20000, 12, 20);
    for (std::size_t i = 100; i < x.size(); i += 3001) x[i] = std::nextafter(x[i], 10.0f);  // needs a correction
    for (const unsigned k : {1u, 4u}) {
        const double limit = (k + 0.001) / adc.gain;
        const Coded c = code(x, VNT_TARGET_MAX_ABS_ERROR, limit);
        EXPECT_LE(max_error(c.decoded, x), limit);
        EXPECT_EQ(c.info.kind, VNT_LANE_NEAR_LOSSLESS);
        EXPECT_EQ(c.info.steps, k);
        // Bins of 2k + 1 steps, not of twice the bound: the error reaches k steps.
        EXPECT_GT(max_error(c.decoded, x), (k - 0.01) / adc.gain);
    }
}

}  // namespace

namespace {

double prdn(const std::vector<float>& x, const std::vector<float>& y) {
    double mean = 0;
    for (const float v : x) mean += v;
    mean /= static_cast<double>(x.size());
    double num = 0, den = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        num += (static_cast<double>(x[i]) - y[i]) * (static_cast<double>(x[i]) - y[i]);
        den += (x[i] - mean) * (x[i] - mean);
    }
    return 100.0 * std::sqrt(num / den);
}

// A PRDN that allows an error of about one step: the grid's odd bins (three
// steps) are too coarse, yet bins of the width the PRDN allows still pay.
TEST(GridChooser, PrdnTargetsBetweenOneAndThreeStepsAreNotStoredExactly) {
    const Adc adc = kAdcs[0];
    const std::vector<float> x = adc_lane(adc, 20000, 13, 2);
    double mean = 0, var = 0;
    for (const float v : x) mean += v;
    mean /= static_cast<double>(x.size());
    for (const float v : x) var += (v - mean) * (v - mean);
    const double sd = std::sqrt(var / static_cast<double>(x.size()));
    const double target = 100.0 * (2.2 / adc.gain) / std::sqrt(12.0) / sd;  // bins of about 2.2 steps
    const Coded c = code(x, VNT_TARGET_MAX_PRDN, target);
    const Coded exact = code(x, VNT_TARGET_MAX_ABS_ERROR, 0.0);
    EXPECT_LE(prdn(x, c.decoded), target);
    EXPECT_GT(max_error(c.decoded, x), 0.0);
    EXPECT_LT(c.size, exact.size);
}

}  // namespace

namespace {

// A chunk written piece by piece: each write decodes the chunk, changes a
// part and codes it again. Values already written must not move, also when
// the bound is exactly k steps and the lane is mostly zeros.
TEST(GridChooser, RewritingADecodedLaneKeepsItsValues) {
    for (const Adc& adc : {kAdcs[0], kAdcs[4]}) {
        const std::vector<float> src = adc_lane(adc, 4000, 21, 15);
        std::vector<float> chunk(src.size(), 0.0f);
        const double limit = 4.0 / adc.gain;
        for (std::size_t part = 0; part < 8; ++part) {
            for (std::size_t i = part * 500; i < (part + 1) * 500; ++i) chunk[i] = src[i];
            const std::vector<float> before = chunk;
            chunk = code(chunk, VNT_TARGET_MAX_ABS_ERROR, limit).decoded;
            for (std::size_t i = 0; i < part * 500; ++i) ASSERT_EQ(chunk[i], before[i]) << "write " << part << ", sample " << i;
            EXPECT_LE(max_error(chunk, before), limit);
        }
        EXPECT_LE(max_error(chunk, src), limit);
    }
}

}  // namespace

namespace {

// A lane of a coarser converter's levels rescaled to this one's codes (as
// recordings resampled in amplitude are): a slow walk over levels `every`
// codes apart (not a whole number), rounded to codes, written as float32.
std::vector<float> sparse_lane(const Adc& adc, std::size_t n, std::uint64_t seed, double every) {
    vantoresk::support::SplitMix64 rng(seed);
    std::vector<float> x(n);
    std::int64_t level = 0;
    for (std::size_t i = 0; i < n; ++i) {
        level += static_cast<std::int64_t>(rng.below(3)) - 1;
        if (rng.below(300) == 0) level = 0;
        const double code = std::round(static_cast<double>(level) * every) + std::round(adc.baseline);
        x[i] = static_cast<float>((code - adc.baseline) / adc.gain);
    }
    return x;
}

// The refined grid keeps the share of levels the lane uses (a lane with
// big moves visits few of the levels it spans), which decides whether the
// chooser tries the exact kinds at a bound of a few steps.
TEST(GridRefine, RefinedGridsKeepTheLanesDensity) {
    std::size_t refined_count = 0;
    for (const Adc& adc : kAdcs) {
        const std::vector<float> x = adc_lane(adc, 20000, 23, 400);
        const auto g = find_grid<float>(x);
        ASSERT_TRUE(g.has_value());
        EXPECT_LT(g->density, 0.9);
        const auto fit = fit_grid<float>(x, *g);
        if (const auto refined = refine_fit(x, fit)) {
            ++refined_count;
            EXPECT_EQ(refined->grid.density, g->density);
            EXPECT_EQ(refine_grid(x, *g, fit.corrections).density, g->density);
        }
    }
    EXPECT_GE(refined_count, 2u);
}

// Such a lane is smaller coded exactly than in bins of a few codes (which
// alias with its levels): a bound of a few steps never gives a bigger frame.
TEST(GridChooser, SparseLanesAtAFewStepsAreNoBiggerThanExact) {
    for (const Adc& adc : {kAdcs[1], kAdcs[4]}) {
        const std::vector<float> x = sparse_lane(adc, 20000, 22, 21.95);
        const Coded exact = code(x, VNT_TARGET_MAX_ABS_ERROR, 0.0);
        ASSERT_EQ(exact.decoded, x);
        for (const unsigned k : {1u, 2u, 4u}) {
            SCOPED_TRACE("k " + std::to_string(k));
            const double limit = (k + 0.001) / adc.gain;
            const Coded c = code(x, VNT_TARGET_MAX_ABS_ERROR, limit);
            EXPECT_LE(max_error(c.decoded, x), limit);
            EXPECT_LE(c.size, exact.size);
        }
    }
}

// A bound of exactly k steps leaves bins of only 2k - 1 steps on the grid
// (k is taken a rounding inside the bound); bins just inside twice the bound
// in value hold about 2k levels. Coding the decoded lane again gives back
// the same bits, on the grid or a little off it (as float32 recordings
// are), however often it is done.
TEST(GridChooser, StrictBoundsUseValueBinsAndDoNotDrift) {
    for (const Adc& adc : {kAdcs[0], kAdcs[2], kAdcs[4]}) {
        const std::vector<float> on = adc_lane(adc, 20000, 31, 20);
        std::vector<float> off = on;
        vantoresk::support::SplitMix64 rng(32);
        for (auto& v : off) v = static_cast<float>(v + (static_cast<double>(rng.below(2001)) - 1000.0) * 2e-6 / adc.gain);
        for (const std::vector<float>* x : {&on, static_cast<const std::vector<float>*>(&off)}) {
            for (const unsigned k : {2u, 4u, 8u}) {
                SCOPED_TRACE("gain " + std::to_string(adc.gain) + ", k " + std::to_string(k) +
                             (x == &on ? ", on the grid" : ", off the grid"));
                const double limit = k / adc.gain;
                const Coded c = code(*x, VNT_TARGET_MAX_ABS_ERROR, limit);
                EXPECT_LE(max_error(c.decoded, *x), limit);
                // Bins of 2k - 1 steps are a third narrower at k = 2: value bins
                // then always; at 4 and 8 steps whichever codes smaller.
                if (k == 2) {
                    EXPECT_GT(max_error(c.decoded, *x), (k - 0.5) / adc.gain);
                }
                EXPECT_EQ(c.info.kind, VNT_LANE_NEAR_LOSSLESS);
                std::vector<float> again = c.decoded;
                for (int round = 0; round < 3; ++round) {
                    const Coded r = code(again, VNT_TARGET_MAX_ABS_ERROR, limit);
                    ASSERT_TRUE(std::equal(r.decoded.begin(), r.decoded.end(), again.begin(), again.end(),
                                           [](float a, float b) { return std::bit_cast<std::uint32_t>(a) ==
                                                                         std::bit_cast<std::uint32_t>(b); }))
                        << "round " << round;
                    again = r.decoded;
                }
            }
        }
    }
}

}  // namespace
