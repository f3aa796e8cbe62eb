// Orthogonal filter families: coefficient lookup and conversion to float.
//
// The tables (daubechies_tables.cpp, symlet_tables.cpp) hold the published
// double-precision scaling filters in reconstruction low-pass order, h[0]
// first: h[i] multiplies sample s + i of an analysis window that starts at
// s. They are used exactly as stored; the only processing is the element-wise
// round-to-nearest-even conversion to float in get_wavelet, done once per
// executor. Db(k+1) has 2(k+1) taps, Sym(k+2) has 2(k+2) taps. Db2 and Sym2
// describe the same filter but are distinct tables whose floats may differ in
// the last bit: never alias one to the other.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "wavelet/contract/families.hpp"

namespace tremora {

// The member's double table (never empty for a valid member).
std::span<const double> daubechies_coefficients(DaubechiesFamily member) noexcept;
std::span<const double> symlet_coefficients(SymletFamily member) noexcept;

// Supplies a family member's low-pass filter as a fresh float vector (the
// caller owns it). Allocation failure is the process's out-of-memory state,
// like any other small fixed-size allocation.
template <class Family>
struct WaveletFilterProvider;

template <>
struct WaveletFilterProvider<DaubechiesFamily> {
    static std::vector<float> get_wavelet(DaubechiesFamily member);
};

template <>
struct WaveletFilterProvider<SymletFamily> {
    static std::vector<float> get_wavelet(SymletFamily member);
};

inline std::vector<float> get_wavelet(DaubechiesFamily member) {
    return WaveletFilterProvider<DaubechiesFamily>::get_wavelet(member);
}
inline std::vector<float> get_wavelet(SymletFamily member) {
    return WaveletFilterProvider<SymletFamily>::get_wavelet(member);
}

}  // namespace tremora
