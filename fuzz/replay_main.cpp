// Runs a fuzz target's entry point once on each file named (a folder: each regular file in it, in
// name order), without the fuzzing engine: the corpus as an ordinary test, in any build.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path path(argv[i]);
        if (fs::is_directory(path)) {
            std::vector<fs::path> found;
            for (const auto& item : fs::directory_iterator(path))
                if (item.is_regular_file()) found.push_back(item.path());
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (fs::is_regular_file(path)) {
            files.push_back(path);
        } else {
            std::fprintf(stderr, "no such file or folder: %s\n", argv[i]);
            return 2;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s <file or folder>...  (found no input)\n", argv[0]);
        return 2;
    }
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 2;
        }
        // A null pointer for an empty input, as the fuzzing engine may pass.
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.empty() ? nullptr : bytes.data()),
                               bytes.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
