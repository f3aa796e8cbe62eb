// Run-time choice of vector code: one CPU probe, one mask, one dispatch
// mechanism for every vector path of the library.
//
//   cpu_features()      probes the CPU once per process and caches the answer;
//                       the mask VANTORESK_DISABLE_SIMD is read at that moment
//                       and never again. Set to anything but "" or "0", it
//                       makes every path take its portable variant, as on a
//                       CPU without vector units.
//   enabled(isa)        may a path use its `isa` variant here and now?
//   best_of({...})      the first enabled variant of a list, else Portable.
//   Dispatched<Fn, C>   a function pointer that starts at a resolver: the
//                       first call asks C() for the variant, stores it and
//                       forwards; later calls jump straight to the variant.
//
// Every variant of a path gives the same bits as its portable variant,
// which defines the result; tests hold them to that. A test that runs a
// named variant first asks enabled(isa) and skips with unavailable_reason.
//
// The library is built for baseline x86-64 (or another target) only; the
// vector variants are compiled with target attributes and reached only
// through this choice, so a binary built anywhere runs anywhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

#if defined(__x86_64__) && defined(__GNUC__)
#define VANTORESK_SIMD_X86 1
#else
#define VANTORESK_SIMD_X86 0
#endif

namespace vantoresk::simd {

inline constexpr const char* kDisableVariable = "VANTORESK_DISABLE_SIMD";

enum class Isa : std::uint8_t {
    Portable,  // plain C++, every target; defines every result bit
    X86Cmov,   // baseline x86-64 through inline assembly (conditional moves)
    Avx2Fma,   // x86-64 with AVX2 and FMA
};

constexpr const char* name(Isa isa) noexcept {
    switch (isa) {
        case Isa::Portable: return "portable";
        case Isa::X86Cmov: return "x86_cmov";
        case Isa::Avx2Fma: return "avx2_fma";
    }
    return "unknown";
}

struct CpuFeatures {
    bool x86_64 = false;    // built for x86-64 (the inline-assembly variants exist)
    bool avx2_fma = false;  // ... and this CPU runs AVX2 and FMA
    bool masked = false;    // VANTORESK_DISABLE_SIMD asked for the portable path
};

// The value of the mask variable asks for the portable path: set, not
// empty and not "0".
constexpr bool mask_requested(const char* value) noexcept {
    return value != nullptr && value[0] != '\0' && std::string_view(value) != "0";
}

inline CpuFeatures probe_cpu() noexcept {
    CpuFeatures f;
#if VANTORESK_SIMD_X86
    f.x86_64 = true;
    __builtin_cpu_init();
    f.avx2_fma = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
    f.masked = mask_requested(std::getenv(kDisableVariable));
    return f;
}

// Probed on the first call (thread-safe static initialisation), then fixed.
inline const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features = probe_cpu();
    return features;
}

// True when this build has the variant and this CPU runs it, mask aside.
inline bool hardware_has(Isa isa) noexcept {
    const CpuFeatures& f = cpu_features();
    switch (isa) {
        case Isa::Portable: return true;
        case Isa::X86Cmov: return f.x86_64;
        case Isa::Avx2Fma: return f.avx2_fma;
    }
    return false;
}

// True when a path may use its `isa` variant: the portable one always, the
// others where the hardware has them and the mask is not set.
inline bool enabled(Isa isa) noexcept {
    return isa == Isa::Portable || (hardware_has(isa) && !cpu_features().masked);
}

// Why enabled(isa) is false, for a test's skip message ("" when it is true).
inline std::string_view unavailable_reason(Isa isa) noexcept {
    if (enabled(isa)) return "";
    if (!hardware_has(isa)) return isa == Isa::X86Cmov ? "not an x86-64 build" : "this CPU lacks AVX2/FMA";
    return "VANTORESK_DISABLE_SIMD is set";
}

// The first enabled variant of `preferred` (fastest first), else Portable.
inline Isa best_of(std::initializer_list<Isa> preferred) noexcept {
    for (const Isa isa : preferred) {
        if (enabled(isa)) return isa;
    }
    return Isa::Portable;
}

// A dispatched function. `Choose` returns the variant to use; it must give
// the same answer on every call (it reads only cpu_features), so two threads
// racing through the first call store the same pointer.
template <class Fn, auto Choose>
class Dispatched;

template <class R, class... A, auto Choose>
class Dispatched<R (*)(A...), Choose> {
public:
    using Fn = R (*)(A...);

    static R call(A... args) { return slot_.load(std::memory_order_relaxed)(args...); }

private:
    static R resolve_and_call(A... args) {
        const Fn chosen = Choose();
        slot_.store(chosen, std::memory_order_relaxed);
        return chosen(args...);
    }

    static inline std::atomic<Fn> slot_{&resolve_and_call};
};

}  // namespace vantoresk::simd
