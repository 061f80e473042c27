// replay_main.cc - runs a fuzz target's entry point over stored inputs
// without libFuzzer, so that the committed corpora (seeds and regression
// inputs) run in the ordinary test suite with any compiler.
//
//   replay PATH...   each PATH is an input file or a folder of them
//
// Every input is passed as an exact-size heap copy. A violated property
// aborts the process; an empty run (no input found) fails too, so that a
// missing corpus cannot pass unnoticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto exact = std::make_unique<std::uint8_t[]>(content.size());
    if (!content.empty()) {
        std::memcpy(exact.get(), content.data(), content.size());
    }
    LLVMFuzzerTestOneInput(exact.get(), content.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        } else if (std::filesystem::is_regular_file(arg, ec)) {
            inputs.push_back(arg);
        } else {
            std::fprintf(stderr, "replay: no such input: %s\n", argv[i]);
            return 2;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 2;
    }
    std::size_t done = 0;
    for (const auto& p : inputs) {
        if (!replay_file(p)) {
            return 2;
        }
        ++done;
    }
    std::printf("replayed %zu inputs: no property violated\n", done);
    return 0;
}
