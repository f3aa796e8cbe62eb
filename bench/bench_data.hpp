// Recordings for the benchmarks, looked up the way the Python side does
// (examples/data_folder.py): the folder named by $VANTORESK_DATA, then the
// shared data folder beside the checkout (../shared/data, fixed when the
// benchmarks are configured), then the short excerpts committed in the
// repository. A line on stderr says which was used; a benchmark that finds
// none says so and fails rather than reporting nothing measured.
#pragma once

#include <cstdio>
#include <cstdlib>
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

struct Recording {
    std::string path;
    const char* source;  // which of the three places it came from
    std::vector<float> samples;
};

// The recording `name` (e.g. "mitdb100_mlii.npy") from the first place that
// has it, announced on stderr; nothing if none can be read.
inline std::optional<Recording> find_recording(const std::string& name) {
    std::vector<std::pair<std::string, const char*>> places;
    if (const char* named = std::getenv("VANTORESK_DATA"); named != nullptr && *named != '\0') {
        places.emplace_back(std::string(named) + "/" + name, "$VANTORESK_DATA");
    }
    places.emplace_back(std::string(VANTORESK_DATA_DIR) + "/" + name, "../shared/data beside the checkout");
    places.emplace_back(in_repo_path(name), "the in-repository excerpt");
    const bool named = places.size() == 3;
    for (std::size_t i = 0; i < places.size(); ++i) {
        const auto& [path, source] = places[i];
        if (auto x = vantoresk::support::read_npy(path)) {
            std::fprintf(stderr, "recording: %s (%s, %zu samples)\n", path.c_str(), source, x->size());
            return Recording{path, source, std::move(*x)};
        }
        if (named && i == 0) {
            std::fprintf(stderr, "note: cannot read %s named by $VANTORESK_DATA; looking further\n", path.c_str());
        }
    }
    std::fprintf(stderr, "cannot read %s from $VANTORESK_DATA, %s or %s\n", name.c_str(), VANTORESK_DATA_DIR,
                 in_repo_path(name).c_str());
    return std::nullopt;
}

// The samples of find_recording(name).
inline std::optional<std::vector<float>> load_recording(const std::string& name) {
    auto found = find_recording(name);
    if (!found) return std::nullopt;
    return std::move(found->samples);
}

// `x` repeated end to end up to `n` samples (a short excerpt stretched to a
// benchmark's working size).
inline std::vector<float> tiled(const std::vector<float>& x, std::size_t n) {
    std::vector<float> out;
    out.reserve(n);
    while (!x.empty() && out.size() < n) out.push_back(x[out.size() % x.size()]);
    return out;
}

// The shared recordings with their sampling rates and ADC scaling, as the
// data folder's README gives them: digital = round(x * gain + baseline);
// EDF channels from their physical and digital ranges.
struct AdcRecording {
    const char* file;
    double fs;
    double gain;
    double baseline;
};

inline AdcRecording edf_channel(const char* file, double fs, double pmin, double pmax) {
    const double g = (32767.0 + 32768.0) / (pmax - pmin);
    return {file, fs, g, -32768.0 - pmin * g};
}

inline const std::vector<AdcRecording>& adc_recordings() {
    static const std::vector<AdcRecording> list = {
        {"mitdb100_mlii.npy", 360, 200, 1024},
        {"mitdb100_v5.npy", 360, 200, 1024},
        {"ptbdb_s0010re_ii.npy", 1000, 2000, 0},
        {"ptbdb_s0010re_v2.npy", 1000, 2000, 0},
        {"ptbdb_s0010re_vx.npy", 1000, 2000, 0},
        {"mimicdb03700181_mcl1.npy", 500, 2963.77, 0},
        {"mimicdb03700181_abp.npy", 125, 12.84, -1605},
        {"mimicdb03700181_resp.npy", 125, 2000, 0},
        {"cinc2015_a103l_ii.npy", 250, 7247, 0},
        {"cinc2015_a103l_pleth.npy", 250, 12530, 0},
        edf_channel("eegmat_s00r1_fz.npy", 500, -47.3684, 78.01157),
        edf_channel("eegmat_s00r1_cz.npy", 500, -55.444, 50.49181),
        edf_channel("eegmat_s00r1_o1.npy", 500, -63.3151, 79.9504),
    };
    return list;
}

}  // namespace bench_data
