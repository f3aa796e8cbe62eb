// Replays a fuzz target's committed corpus without libFuzzer, so that every
// input the fuzzers ever kept (crashers that were fixed among them) runs in
// the ordinary test build, with any compiler and under the sanitizers.
//
//   <target>_replay DIR_OR_FILE...
//
// Each file is handed once to the target's LLVMFuzzerTestOneInput, which
// aborts when one of its properties fails. Exits 0 after at least one
// input, 1 when there was nothing to replay or a path could not be read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "can't read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that a read one past its end
    // is caught by the address sanitizer as it would be under libFuzzer.
    std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    for (int a = 1; a < argc; ++a) {
        const std::filesystem::path root(argv[a]);
        std::error_code ec;
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(root, ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(root);
        }
        if (ec) {
            std::fprintf(stderr, "can't list %s\n", root.c_str());
            return 1;
        }
        for (const auto& f : files) {
            if (!replay_file(f)) return 1;
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
