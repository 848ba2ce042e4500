// Replays inputs through a fuzz target without a fuzzing engine: every file
// named on the command line, and every file under every directory named
// there (in sorted order, so a failure names the same input on every run).
// A directory that does not exist is skipped, so a target with no
// reproducers yet needs no empty folder.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> collect(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path root(argv[i]);
        std::error_code ec;
        if (fs::is_regular_file(root, ec)) {
            files.push_back(root);
            continue;
        }
        if (!fs::is_directory(root, ec)) continue;
        std::vector<fs::path> found;
        for (const auto& entry : fs::recursive_directory_iterator(root, ec)) {
            if (entry.is_regular_file(ec)) found.push_back(entry.path());
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

} // namespace

int main(int argc, char** argv) {
    const auto files = collect(argc, argv);
    for (const auto& path : files) {
        // The name goes out before the run: a crash then names its input.
        std::fprintf(stderr, "replay %s\n", path.c_str());
        std::fflush(stderr);
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        // An empty std::string still has a valid data(); libFuzzer passes
        // non-null pointers too.
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
