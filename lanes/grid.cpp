// Finding a lane's grid, and coding and decoding kind 4 bodies.
#include "lanes/grid.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "lanes/bytes.hpp"
#include "support/scratch.hpp"

namespace vantoresk::lanes {
namespace {

constexpr int kMaxOrder = 3;
constexpr int kMaxDivisor = 64;
constexpr double kMinOnGrid = 0.5;  // at least this share of distinct values must sit on the fitted grid
constexpr std::size_t kHead = 24;

template <class T>
using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

// NumPy's default (linear) percentile of sorted data.
double percentile_sorted(const std::vector<double>& s, double q) {
    const double pos = q / 100.0 * static_cast<double>(s.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(pos));
    const std::size_t hi = std::min(lo + 1, s.size() - 1);
    const double frac = pos - static_cast<double>(lo);
    return s[lo] + (s[hi] - s[lo]) * frac;
}

// The same of data in any order (reordered in place), by selection.
double percentile_of(std::vector<double>& v, double q) {
    const double pos = q / 100.0 * static_cast<double>(v.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(pos));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(lo), v.end());
    const double low = v[lo];
    if (lo + 1 >= v.size()) return low;
    const double high = *std::min_element(v.begin() + static_cast<std::ptrdiff_t>(lo) + 1, v.end());
    return low + (high - low) * (pos - static_cast<double>(lo));
}

double median_of(std::vector<double> v) { return percentile_of(v, 50.0); }

// The step suggested by the gaps between distinct values (0 when there is none).
double first_step(const std::vector<double>& u) {
    std::vector<double> gaps(u.size() - 1);
    for (std::size_t i = 1; i < u.size(); ++i) gaps[i - 1] = u[i] - u[i - 1];
    std::vector<double> scratch = gaps;
    const double low = percentile_of(scratch, 10.0);
    std::vector<double> near;
    for (double g : gaps)
        if (g > 0.5 * low && g < 1.5 * low) near.push_back(g);
    const double step = near.empty() ? low : median_of(std::move(near));
    if (!(std::isfinite(step) && step > 0)) return 0.0;
    // Sparse lanes may use only every n-th level: the step is the largest
    // divisor of the common gap that all short gaps are multiples of.
    std::vector<double> shorts;
    for (double g : gaps)
        if (g <= 64 * step) shorts.push_back(g);
    for (int n = 1; n <= kMaxDivisor; ++n) {
        const double unit = step / n;
        std::size_t hits = 0;
        for (double g : shorts) {
            const double r = g / unit;
            if (std::fabs(r - std::nearbyint(r)) <= 0.01) ++hits;
        }
        if (static_cast<double>(hits) >= 0.95 * static_cast<double>(shorts.size())) return unit;
    }
    return step;
}

// Small values are stored to within a small spacing: trust them in proportion.
template <class T>
double weight_of(double u, double step) {
    const T x = static_cast<T>(std::fabs(u));
    const double spacing = static_cast<double>(static_cast<T>(float_neighbour(x, true) - x));
    const double m = std::max(spacing, step * 0x1p-30);
    return 1.0 / (m * m);
}

// Weighted least squares for u = a + b * k; b is NaN when the weights say nothing.
Grid line_fit(const std::vector<double>& k, const std::vector<double>& u, const std::vector<double>& w) {
    double wsum = 0;
    for (double x : w) wsum += x;
    double km = 0, um = 0;
    for (std::size_t i = 0; i < k.size(); ++i) {
        km += w[i] / wsum * k[i];
        um += w[i] / wsum * u[i];
    }
    double den = 0, num = 0;
    for (std::size_t i = 0; i < k.size(); ++i) {
        const double wi = w[i] / wsum;
        const double kc = k[i] - km;
        den += wi * kc * kc;
        num += wi * kc * (u[i] - um);
    }
    if (!(den > 0.0)) return {um, std::numeric_limits<double>::quiet_NaN()};
    const double b = num / den;
    return {um - b * km, b};
}

// The distinct values in increasing order (-0.0 and 0.0 as one). Recorded
// lanes repeat a few hundred levels, so the values' order-preserving bit
// patterns are first made distinct through a hash table, then put in order
// by an LSD radix sort that skips the digits all keys share.
template <class T>
std::vector<double> sorted_unique(std::span<const T> values) {
    using U = Bits<T>;
    constexpr U sign = U{1} << (8 * sizeof(T) - 1);
    const std::size_t n = values.size();
    std::size_t cap = 16;
    while (cap < 2 * n) cap *= 2;
    const int shift_bits = 64 - std::countr_zero(cap);
    // The table in the thread's pool: lanes come one after another, and
    // fresh pages for each cost more than the hashing.
    auto table_memory = support::Scratch<U>::take(cap);
    auto used_memory = support::Scratch<std::uint8_t>::take(cap);
    if (!table_memory || !used_memory) throw std::bad_alloc();
    U* const table = table_memory.get();
    std::uint8_t* const used = used_memory.get();
    std::fill(used, used + cap, std::uint8_t{0});
    std::vector<U> keys;
    keys.reserve(std::min<std::size_t>(n, 4096));
    for (std::size_t i = 0; i < n; ++i) {
        const T v = values[i] == T(0) ? T(0) : values[i];
        const U b = std::bit_cast<U>(v);
        const U key = (b & sign) ? static_cast<U>(~b) : static_cast<U>(b | sign);
        std::size_t slot = static_cast<std::size_t>((std::uint64_t{key} * 0x9E3779B97F4A7C15ULL) >> shift_bits);
        while (used[slot] && table[slot] != key) slot = (slot + 1) & (cap - 1);
        if (!used[slot]) {
            used[slot] = 1;
            table[slot] = key;
            keys.push_back(key);
        }
    }
    const std::size_t m = keys.size();
    std::vector<U> tmp(m);
    for (unsigned shift = 0; shift < 8 * sizeof(T); shift += 8) {
        std::size_t count[257] = {};
        for (U k : keys) ++count[((k >> shift) & 0xFF) + 1];
        bool one_digit = false;
        for (int d = 1; d <= 256; ++d) one_digit = one_digit || count[d] == m;
        if (one_digit) continue;
        for (int d = 1; d <= 256; ++d) count[d] += count[d - 1];
        for (U k : keys) tmp[count[(k >> shift) & 0xFF]++] = k;
        keys.swap(tmp);
    }
    std::vector<double> u(m);
    for (std::size_t i = 0; i < m; ++i) {
        const U k = keys[i];
        const U b = (k & sign) ? static_cast<U>(k & ~sign) : static_cast<U>(~k);
        u[i] = static_cast<double>(std::bit_cast<T>(b));
    }
    return u;
}

}  // namespace

template <class T>
std::optional<Grid> find_grid(std::span<const T> values) {
    std::vector<double> u = sorted_unique(values);
    if (u.size() < 2) return Grid{u.empty() ? 0.0 : u[0], 1.0};
    const double step = first_step(u);
    const double lo = percentile_sorted(u, 0.5);
    const double hi = percentile_sorted(u, 99.5);
    const double span = step > 0 ? (hi - lo) / step : std::numeric_limits<double>::infinity();
    if (!(span <= kMaxGridSteps)) return std::nullopt;
    std::vector<double> weight(u.size());
    for (std::size_t i = 0; i < u.size(); ++i) weight[i] = weight_of<T>(u[i], step);
    Grid g{u[u.size() / 2], step};
    double window = 256.0;
    std::vector<double> ks, us, ws;
    for (;;) {
        ks.clear();
        us.clear();
        ws.clear();
        for (std::size_t i = 0; i < u.size(); ++i) {
            const double k = std::nearbyint((u[i] - g.a) / g.b);
            if (std::fabs(k) <= window && std::fabs(u[i] - (g.a + g.b * k)) <= 0.25 * g.b) {
                ks.push_back(k);
                us.push_back(u[i]);
                ws.push_back(weight[i]);
            }
        }
        if (ks.size() < 2) return std::nullopt;
        g = line_fit(ks, us, ws);
        if (!(std::isfinite(g.a) && std::isfinite(g.b) && g.b > 0)) return std::nullopt;
        if (window >= span) break;
        window *= 64.0;
    }
    std::size_t on = 0;
    for (double x : u) {
        const double k = std::nearbyint((x - g.a) / g.b);
        if (std::fabs(x - (g.a + g.b * k)) <= 0.01 * g.b) ++on;
    }
    if (static_cast<double>(on) < std::max(2.0, kMinOnGrid * static_cast<double>(u.size()))) return std::nullopt;
    g.density = std::min(1.0, static_cast<double>(u.size()) / ((u.back() - u.front()) / g.b + 1.0));
    return g;
}

template <class T>
GridFit fit_grid(std::span<const T> values, Grid grid) {
    GridFit fit;
    fit.grid = grid;
    fit.k.resize(values.size());
    const double inv_b = grid.b;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double q = std::nearbyint((static_cast<double>(values[i]) - grid.a) / inv_b);
        // Far off the grid: the correction carries the value.
        const std::int64_t k = std::fabs(q) <= kMaxGridSteps ? static_cast<std::int64_t>(q) : 0;
        fit.k[i] = k;
        if (std::bit_cast<Bits<T>>(grid_value<T>(grid, k)) != std::bit_cast<Bits<T>>(values[i])) ++fit.corrections;
    }
    return fit;
}

template <class T>
Status grid_corrections(std::span<const T> values, const GridFit& fit, unsigned& width,
                        std::vector<std::uint8_t>& stream) {
    using U = Bits<T>;
    using S = std::make_signed_t<U>;
    width = 0;
    if (fit.corrections == 0) return {};
    std::vector<std::uint64_t> gaps, czz;
    gaps.reserve(fit.corrections);
    czz.reserve(fit.corrections);
    std::uint64_t ctop = 0, last = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const U corr = static_cast<U>(std::bit_cast<U>(values[i]) - std::bit_cast<U>(grid_value<T>(fit.grid, fit.k[i])));
        if (corr == 0) continue;
        const std::uint64_t z = zigzag(static_cast<std::int64_t>(static_cast<S>(corr)));
        gaps.push_back(i - last);
        last = i;
        czz.push_back(z);
        ctop = std::max(ctop, z);
    }
    width = narrowest(ctop);
    std::vector<std::uint8_t> planes;
    shuffle_append(gaps, 4, planes);
    shuffle_append(czz, width, planes);
    return deflate_append(planes, stream);
}

template <class T>
Status apply_corrections(std::span<const std::uint8_t> stream, unsigned width, std::uint64_t count, std::span<T> out,
                         const char* what) {
    using U = Bits<T>;
    const std::uint64_t n = out.size();
    if (count < 1 || count > n)
        return bad_frame(std::string(what) + std::to_string(count) + " corrections in a lane of " + std::to_string(n) +
                         " samples");
    if (!width_known(width) || width > sizeof(T))
        return bad_frame(std::string(what) + "corrections of " + std::to_string(width) + " bytes do not fit " +
                         std::to_string(sizeof(T)) + "-byte values");
    if (stream.size() * kMaxInflation < (4 + width) * count)
        return bad_frame(std::string(what) + "correction stream too short for the lane");
    auto plane_memory = support::Scratch<std::uint8_t>::take((4 + width) * count);
    auto value_memory = support::Scratch<std::uint64_t>::take(2 * count);
    if (!plane_memory || !value_memory) return out_of_memory("corrections");
    const std::span<const std::uint8_t> planes(plane_memory.get(), (4 + width) * count);
    if (auto s = inflate_exact(stream, {plane_memory.get(), planes.size()}, (std::string(what) + "correction").c_str()); !s)
        return s;
    const std::span<std::uint64_t> gaps(value_memory.get(), count), corr(value_memory.get() + count, count);
    unshuffle(planes.first(4 * count), 4, gaps);
    unshuffle(planes.subspan(4 * count), width, corr);
    std::uint64_t at = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (i > 0 && gaps[i] == 0) return bad_frame(std::string(what) + "correction indices out of order");
        at += gaps[i];
        if (at >= n) return bad_frame(std::string(what) + "correction index beyond the lane");
    }
    at = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        at += gaps[i];
        out[at] = std::bit_cast<T>(static_cast<U>(std::bit_cast<U>(out[at]) + static_cast<U>(unzigzag(corr[i]))));
    }
    return {};
}

template <class T>
Status grid_body(std::span<const T> values, const GridFit& fit, std::vector<std::uint8_t>& out) {
    const std::size_t n = values.size();
    unsigned cwidth = 0;
    std::vector<std::uint8_t> cstream;
    if (auto st = grid_corrections(values, fit, cwidth, cstream); !st) return st;
    // The fixed-order predictor with the fewest bits of residual; the
    // differences of every order, then their zigzags, in the thread's pool.
    auto difference_memory = support::Scratch<std::int64_t>::take(std::size_t{kMaxOrder} * n);
    auto zigzag_memory = support::Scratch<std::uint64_t>::take(n);
    if (!difference_memory || !zigzag_memory) return out_of_memory("a grid lane");
    std::span<std::int64_t> d[kMaxOrder];
    for (int p = 0; p < kMaxOrder; ++p) d[p] = {difference_memory.get() + static_cast<std::size_t>(p) * n, n};
    std::uint64_t best_cost = ~std::uint64_t{0};
    int order = 1;
    for (int p = 0; p < kMaxOrder; ++p) {
        const std::span<const std::int64_t> prev = p == 0 ? std::span<const std::int64_t>(fit.k) : d[p - 1];
        std::uint64_t cost = 0;
        std::uint64_t last = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t cur = static_cast<std::uint64_t>(prev[i]);
            d[p][i] = static_cast<std::int64_t>(cur - last);  // wraps, as int64 differences do
            last = cur;
            cost += static_cast<std::uint64_t>(std::bit_width(zigzag(d[p][i])));
        }
        if (cost < best_cost) {
            best_cost = cost;
            order = p + 1;
        }
    }
    const std::span<std::uint64_t> dzz(zigzag_memory.get(), n);
    std::uint64_t dtop = 0;
    for (std::size_t i = 0; i < n; ++i) {
        dzz[i] = zigzag(d[order - 1][i]);
        dtop = std::max(dtop, dzz[i]);
    }
    const unsigned dwidth = narrowest(dtop);
    std::vector<std::uint8_t> planes;
    shuffle_append(dzz, dwidth, planes);
    const std::size_t at = out.size();
    put_f64(out, fit.grid.a);
    put_f64(out, fit.grid.b);
    out.push_back(static_cast<std::uint8_t>(order));
    out.push_back(static_cast<std::uint8_t>(dwidth));
    out.push_back(static_cast<std::uint8_t>(cwidth));
    out.push_back(0);
    put_u32(out, 0);
    const std::size_t stream_at = out.size();
    if (auto s = deflate_append(planes, out); !s) return s;
    const auto dlen = static_cast<std::uint32_t>(out.size() - stream_at);
    for (int b = 0; b < 4; ++b) out[at + 20 + b] = static_cast<std::uint8_t>(dlen >> (8 * b));
    if (!cwidth) return {};
    put_u32(out, static_cast<std::uint32_t>(fit.corrections));
    out.insert(out.end(), cstream.begin(), cstream.end());
    return {};
}

bool grid_plausible(std::span<const std::uint8_t> body, std::uint64_t length) noexcept {
    // Each difference takes at least one byte before DEFLATE.
    return body.size() >= kHead && (body.size() - kHead) * kMaxInflation >= length;
}

template <class T>
Status decode_grid(std::span<const std::uint8_t> body, std::span<T> out) {
    const std::size_t n = out.size();
    if (body.size() < kHead) return bad_frame("grid lane: truncated header");
    const Grid g{load_f64(body.data()), load_f64(body.data() + 8)};
    const unsigned order = body[16], dwidth = body[17], cwidth = body[18];
    const std::uint64_t dlen = load_u32(body.data() + 20);
    if (order < 1 || order > kMaxOrder) return bad_frame("grid lane: unknown difference order " + std::to_string(order));
    if (!width_known(dwidth) || (cwidth && !width_known(cwidth)) || body[19] != 0)
        return bad_frame("grid lane: bad widths (" + std::to_string(dwidth) + ", " + std::to_string(cwidth) + ")");
    if (kHead + dlen > body.size() || (cwidth == 0 && kHead + dlen != body.size()))
        return bad_frame("grid lane: stream lengths do not match the body");
    if (cwidth > sizeof(T))
        return bad_frame("grid lane: corrections of " + std::to_string(cwidth) + " bytes do not fit " +
                         std::to_string(sizeof(T)) + "-byte values");
    const auto dstream = body.subspan(kHead, dlen);
    if (dstream.size() * kMaxInflation < std::uint64_t{dwidth} * n)
        return bad_frame("grid lane: difference stream too short for the lane");
    // Working memory from the thread's pool: no fresh pages per lane.
    auto plane_memory = support::Scratch<std::uint8_t>::take(std::size_t{dwidth} * n);
    auto level_memory = support::Scratch<std::uint64_t>::take(n);
    if (!plane_memory || !level_memory) return out_of_memory("a grid lane");
    const std::span<std::uint8_t> planes(plane_memory.get(), std::size_t{dwidth} * n);
    const std::span<std::uint64_t> k(level_memory.get(), n);
    if (auto s = inflate_exact(dstream, planes, "grid lane: difference"); !s) return s;
    unshuffle(planes, dwidth, k);
    for (std::size_t i = 0; i < n; ++i) k[i] = static_cast<std::uint64_t>(unzigzag(k[i]));
    for (unsigned p = 0; p < order; ++p) {
        std::uint64_t acc = 0;
        for (std::size_t i = 0; i < n; ++i) k[i] = acc += k[i];  // wraps on forged input, never traps
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = grid_value<T>(g, static_cast<std::int64_t>(k[i]));
    if (!cwidth) return {};
    const auto rest = body.subspan(kHead + dlen);
    if (rest.size() < 4) return bad_frame("grid lane: truncated correction count");
    return apply_corrections(rest.subspan(4), cwidth, load_u32(rest.data()), out, "grid lane: ");
}

template std::optional<Grid> find_grid<float>(std::span<const float>);
template std::optional<Grid> find_grid<double>(std::span<const double>);
template GridFit fit_grid<float>(std::span<const float>, Grid);
template GridFit fit_grid<double>(std::span<const double>, Grid);
template Status grid_body<float>(std::span<const float>, const GridFit&, std::vector<std::uint8_t>&);
template Status grid_body<double>(std::span<const double>, const GridFit&, std::vector<std::uint8_t>&);
template Status decode_grid<float>(std::span<const std::uint8_t>, std::span<float>);
template Status decode_grid<double>(std::span<const std::uint8_t>, std::span<double>);
template Status grid_corrections<float>(std::span<const float>, const GridFit&, unsigned&, std::vector<std::uint8_t>&);
template Status grid_corrections<double>(std::span<const double>, const GridFit&, unsigned&, std::vector<std::uint8_t>&);
template Status apply_corrections<float>(std::span<const std::uint8_t>, unsigned, std::uint64_t, std::span<float>,
                                         const char*);
template Status apply_corrections<double>(std::span<const std::uint8_t>, unsigned, std::uint64_t, std::span<double>,
                                          const char*);

}  // namespace vantoresk::lanes
