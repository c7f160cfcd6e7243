// A stored block is untrusted input: the reader must stay inside the
// records and the largest block, and an accepted block must be rewritten
// byte for byte by the writer.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "orvane.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> block(size > ORVANE_BLOCK_BUFFER_SIZE ? size : ORVANE_BLOCK_BUFFER_SIZE, 0);
    if (size > 0) std::memcpy(block.data(), data, size);
    gainmap map{};
    dccmap dcc{};
    const uint32_t status = Orvane_read_calibration_block(&map, &dcc, block.data());
    if (status != 0 && status != ORVANE_HARD_FAILURE) std::abort();
    if (status == 0) {
        std::vector<uint8_t> again(ORVANE_BLOCK_BUFFER_SIZE, 0);
        const int32_t end = Orvane_get_calibration_block(&map, &dcc, again.data());
        if (end < 0 || std::memcmp(again.data(), block.data(), static_cast<size_t>(end) + 1) != 0)
            std::abort();
    }
    return 0;
}
