// The main of a fuzz target built without libFuzzer: hands the target every file of the
// folders (or the files) named on the command line, in name order, once each. The normal
// builds run it over the seed corpus and the kept regressions, so what a fuzz run once found
// stays found. A folder that does not exist is skipped; no input at all is a failure.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_check.h"

namespace fs = std::filesystem;

namespace {

bool replay(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    // An empty input is handed over with a pointer that may not be read, as libFuzzer does.
    LLVMFuzzerTestOneInput(bytes.empty() ? reinterpret_cast<const uint8_t *>("") : bytes.data(),
                           bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    size_t replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path path(argv[i]);
        std::error_code error;
        if (fs::is_regular_file(path, error)) {
            ok = replay(path) && ok;
            ++replayed;
            continue;
        }
        if (!fs::is_directory(path, error)) continue;
        std::vector<fs::path> files;
        for (const auto &entry : fs::directory_iterator(path)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        for (const fs::path &file : files) {
            ok = replay(file) && ok;
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    if (replayed == 0) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }
    return ok ? 0 : 1;
}
