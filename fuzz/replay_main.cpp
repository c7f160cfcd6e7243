// Replays every file of the given folders (or single files) through the
// fuzz target, so crash inputs stay fixed once found. Each input runs on
// every kernel table the CPU has, each time twice, on the process's reused
// context and on a new one, and must give the same results every time: the
// reuse that makes fuzzing fast must not change what an input does, nor
// must the table.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

uint64_t run(const uint8_t* data, size_t size, bool fresh) {
    fuzz::slot().use_fresh = fresh;
    fuzz::slot().digest = fuzz::kDigestBasis;
    LLVMFuzzerTestOneInput(data, size);
    return fuzz::slot().digest;
}

// On every kernel table the CPU has, each with its own reused context: the
// results must not depend on the table either.
void replay(const uint8_t* data, size_t size, const std::string& name) {
    uint64_t scalar = 0;
    for (int i = 0; i < fuzz::kTables; ++i) {
        if (!fuzz::table_present(i)) continue;
        fuzz::slot().table = i;
        fuzz::slot().table_name = fuzz::table_name(i);
        const uint64_t reused = run(data, size, false);
        const uint64_t fresh = run(data, size, true);
        if (reused != fresh) {
            std::fprintf(stderr, "%s: results on the reused context differ from a new one (%s)\n",
                         name.c_str(), fuzz::table_name(i));
            std::abort();
        }
        if (i == 0) {
            scalar = reused;
        } else if (reused != scalar) {
            std::fprintf(stderr, "%s: the %s table's results differ from the scalar table's\n",
                         name.c_str(), fuzz::table_name(i));
            std::abort();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    fuzz::slot().checking = true;
    fuzz::slot().digesting = true;
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& e : std::filesystem::directory_iterator(argv[i]))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (std::filesystem::exists(argv[i])) {
            files.emplace_back(argv[i]);
        }
        // A fixed order, so a replay reuses the context the same way each time.
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            std::ifstream in(f, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
            replay(bytes.data(), bytes.size(), f.string());
            ++replayed;
        }
    }
    // Also the empty input, which every target must survive.
    replay(nullptr, 0, "empty input");
    std::printf("replayed %d inputs\n", replayed);
    return 0;
}
