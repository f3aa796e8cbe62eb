// Recordings for the benchmarks: the shared data directory beside the
// repository when it is there, otherwise the short excerpts committed in the
// repository, with a line on stderr saying which was used. A benchmark that
// finds neither says so and fails rather than reporting nothing measured.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/npy.hpp"

namespace bench_data {

// Committed stand-ins for the shared recordings, relative to the repository.
inline std::string in_repo_path(const std::string& name) {
    const std::string root = VANTORESK_REPO_DATA_DIR;
    if (name == "mitdb100_mlii.npy") return root + "/examples/data/mitdb100_mlii_60s.npy";
    return root + "/tests/fixtures/codec/excerpts/" + name;
}

// The recording `name` (e.g. "mitdb100_mlii.npy"), from the shared data or
// its committed excerpt; nothing if neither can be read.
inline std::optional<std::vector<float>> load_recording(const std::string& name) {
    const std::string shared = std::string(VANTORESK_DATA_DIR) + "/" + name;
    if (auto x = vantoresk::support::read_npy(shared)) return x;
    const std::string local = in_repo_path(name);
    if (auto x = vantoresk::support::read_npy(local)) {
        std::fprintf(stderr, "note: %s not found; using the in-repository excerpt %s (%zu samples)\n",
                     shared.c_str(), local.c_str(), x->size());
        return x;
    }
    std::fprintf(stderr, "cannot read %s or %s\n", shared.c_str(), local.c_str());
    return std::nullopt;
}

// `x` repeated end to end up to `n` samples (a short excerpt stretched to a
// benchmark's working size).
inline std::vector<float> tiled(const std::vector<float>& x, std::size_t n) {
    std::vector<float> out;
    out.reserve(n);
    while (!x.empty() && out.size() < n) out.push_back(x[out.size() % x.size()]);
    return out;
}

}  // namespace bench_data
