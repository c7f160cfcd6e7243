// A stored zero-PD offset block is untrusted input of a known size: the
// reader must stay inside it, leave the record alone when it refuses, and an
// accepted block must be rewritten byte for byte by the writer.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "context/context.h"
#include "orvane.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact copy, so that any read past `size` is caught by the sanitizer.
    std::unique_ptr<uint8_t[]> block(new uint8_t[size > 0 ? size : 1]);
    if (size > 0) std::memcpy(block.get(), data, size);
    zero_pd_map map;
    std::memset(&map, 0x5A, sizeof map);
    const zero_pd_map before = map;
    const auto n = static_cast<uint32_t>(size > UINT32_MAX ? UINT32_MAX : size);
    const uint32_t status = Orvane_read_zero_pd_offset_block(block.get(), n, &map);
    if (status == ORVANE_HARD_FAILURE) {
        if (std::memcmp(&map, &before, sizeof map) != 0) std::abort();
        return 0;
    }
    if (status != 0) std::abort();
    static cal_context* ctx = [] {
        cal_settings s{};
        return Orvane_create(&s);
    }();
    ctx->state.win_cols = map.win_cols;
    ctx->state.win_rows = map.win_rows;
    std::memcpy(ctx->state.zero_pd_offset, map.offset, sizeof map.offset);
    std::vector<uint8_t> again(ORVANE_BLOCK_ZERO_PD_BUFFER_SIZE, 0);
    const int32_t end = Orvane_get_calibration_zero_pd_offset_block(ctx, again.data());
    if (end < 0 || static_cast<size_t>(end) >= size ||
        std::memcmp(again.data(), block.get(), static_cast<size_t>(end) + 1) != 0)
        std::abort();
    return 0;
}
