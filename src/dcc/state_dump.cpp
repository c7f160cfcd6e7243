#include "dcc/state_dump.h"

#include <cstdio>

#include "context/messages.h"

namespace orvane {

void write_state_dump(const cal_state& state, const char* path, const cal_context* ctx) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        message(ctx, "Cannot open file for write: %s\n", path);
    } else {
        std::fwrite(&state, 1, sizeof(cal_state), f);
        std::fclose(f);
    }
}

}  // namespace orvane
