#include "dcc/state_dump.h"

#include <cstdio>

namespace orvane {

void write_state_dump(const cal_state& state, const char* path) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        std::printf("Cannot open file for write: %s\n", path);
    } else {
        std::fwrite(&state, 1, sizeof(cal_state), f);
        std::fclose(f);
    }
}

}  // namespace orvane
