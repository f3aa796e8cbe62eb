// Fixture manifests as the C++ tests read them: flat text, one record per
// line, fields separated by spaces (tools/codec_fixtures_flatten.py and
// tools/arans_fixtures_flatten.py write them from the JSON manifests).
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fixture_manifest {

// The records of the file at `path`: `read(stream, record)` parses one line;
// lines that do not parse are skipped.
template <class T, class Read>
std::vector<T> load_records(const std::string& path, Read read) {
    std::vector<T> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream s(line);
        T t;
        read(s, t);
        if (s) out.push_back(t);
    }
    return out;
}

}  // namespace fixture_manifest
