// Reader for 1-D little-endian float .npy files. Only tests, benchmarks and
// tools include it; the codec, the engine and the module never read files. float64 data is rounded
// to float32 to nearest, as the Python layer does before compressing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace vantoresk::support {

inline std::optional<std::vector<std::uint8_t>> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::optional<std::vector<float>> read_npy(const std::string& path) {
    const auto bytes = read_file(path);
    if (!bytes || bytes->size() < 12 || std::memcmp(bytes->data(), "\x93NUMPY", 6) != 0) return std::nullopt;
    const auto& b = *bytes;
    std::size_t header_len = 0;
    std::size_t data_at = 0;
    if (b[6] == 1) {
        header_len = b[8] | (std::size_t{b[9]} << 8);
        data_at = 10 + header_len;
    } else {
        header_len = b[8] | (std::size_t{b[9]} << 8) | (std::size_t{b[10]} << 16) | (std::size_t{b[11]} << 24);
        data_at = 12 + header_len;
    }
    if (data_at > b.size()) return std::nullopt;
    const std::string header(b.begin() + static_cast<std::ptrdiff_t>(data_at - header_len),
                             b.begin() + static_cast<std::ptrdiff_t>(data_at));
    const bool f8 = header.find("'<f8'") != std::string::npos;
    const bool f4 = header.find("'<f4'") != std::string::npos;
    if ((!f4 && !f8) || header.find("'fortran_order': False") == std::string::npos) return std::nullopt;
    const std::size_t width = f8 ? 8 : 4;
    const std::size_t count = (b.size() - data_at) / width;
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (f8) {
            double d;
            std::memcpy(&d, b.data() + data_at + 8 * i, 8);
            out[i] = static_cast<float>(d);
        } else {
            std::memcpy(&out[i], b.data() + data_at + 4 * i, 4);
        }
    }
    return out;
}

}  // namespace vantoresk::support
