// The entry of a fuzz target built without libFuzzer: feeds LLVMFuzzerTestOneInput each file of
// the directories given, once, each in a buffer of exactly its size (so that a read past its end
// is one a sanitizer sees). A target that finds a fault aborts, as under libFuzzer; finding no
// file to feed fails, since a replay of nothing would pass whatever the code does.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> seeds;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        for (std::filesystem::directory_iterator it(argv[i], error), end; !error && it != end;
             it.increment(error)) {
            seeds.push_back(it->path());
        }
        if (error) {
            std::fprintf(stderr, "replay: %s: %s\n", argv[i], error.message().c_str());
            return 1;
        }
    }
    if (seeds.empty()) {
        std::fprintf(stderr, "replay: no seed to replay\n");
        return 1;
    }
    std::sort(seeds.begin(), seeds.end());
    for (const std::filesystem::path& seed : seeds) {
        std::ifstream in(seed, std::ios::binary);
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(seed, error);
        std::vector<std::uint8_t> bytes(error ? 0 : size);
        if (error || !in.read(reinterpret_cast<char*>(bytes.data()),
                              static_cast<std::streamsize>(bytes.size()))) {
            std::fprintf(stderr, "replay: cannot read %s\n", seed.c_str());
            return 1;
        }
        std::printf("replay: %s\n", seed.c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replay: %zu seeds, no fault\n", seeds.size());
    return 0;
}
