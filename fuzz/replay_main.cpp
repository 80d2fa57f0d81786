// Runs a fuzz target over every file of its corpus folder, once, without the
// fuzzing engine: the corpus is a regression test in every build.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    DIR* d = opendir(dir.c_str());
    if (!d) {
        std::fprintf(stderr, "%s: cannot open corpus folder %s\n", argv[0], dir.c_str());
        return 2;
    }
    int runs = 0;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::ifstream in(std::string(dir).append("/").append(name), std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++runs;
    }
    closedir(d);
    // Also the empty input, which every target must take.
    LLVMFuzzerTestOneInput(nullptr, 0);
    std::printf("%d passed, 0 failed\n", runs + 1);
    return 0;
}
