#include "core/arans/arans.hpp"

namespace vantoresk::arans {

std::string_view message(AransError e) noexcept {
    switch (e) {
        case AransError::Truncated:
            return "Stream truncated";
        case AransError::InvalidLength:
            return "Inconsistent or oversized length in stream";
    }
    return "Inconsistent or oversized length in stream";
}

}  // namespace vantoresk::arans
