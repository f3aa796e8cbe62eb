// Members of the orthogonal filter families. The value of a member selects
// its coefficient table; Db(k+1) has 2(k+1) taps, Sym(k+2) has 2(k+2) taps.
#pragma once

#include <cstdint>

namespace tremora {

enum class DaubechiesFamily : std::uint8_t {
    Db1, Db2, Db3, Db4, Db5, Db6, Db7, Db8, Db9, Db10, Db11, Db12,
    Db13, Db14, Db15, Db16, Db17, Db18, Db19, Db20, Db21, Db22, Db23, Db24,
};

enum class SymletFamily : std::uint8_t {
    Sym2, Sym3, Sym4, Sym5, Sym6, Sym7, Sym8, Sym9, Sym10, Sym11,
    Sym12, Sym13, Sym14, Sym15, Sym16, Sym17, Sym18, Sym19, Sym20,
};

}  // namespace tremora
