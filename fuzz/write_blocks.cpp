// Writers take records a host may have filled wrongly: they must refuse
// what does not fit and always close a block with a correct checksum.
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "orvane.h"

namespace {

void check(const std::vector<uint8_t>& out, int32_t end) {
    if (end < 0) return;
    if (static_cast<size_t>(end) >= out.size()) std::abort();
    uint8_t sum = 0;
    for (int32_t i = 0; i < end; ++i) sum = static_cast<uint8_t>(sum + out[static_cast<size_t>(i)]);
    if (out[static_cast<size_t>(end)] != sum) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    const auto map_h = in.take<gainmap>();
    const auto dcc_h = in.take<dccmap>();
    const auto map_v = in.take<gainmap>();
    const auto dcc_v = in.take<dccmap>();
    // Each writer gets a buffer of exactly the size it documents, so a write
    // past it is caught.
    std::vector<uint8_t> single(ORVANE_BLOCK_BUFFER_SIZE, 0);
    check(single, Orvane_get_calibration_block(&map_h, &dcc_h, single.data()));
    check(single, Orvane_get_calibration_block_vertical(&map_v, &dcc_v, single.data()));
    std::vector<uint8_t> both(ORVANE_BLOCK_HV_BUFFER_SIZE, 0);
    check(both, Orvane_get_calibration_block_horizontal_vertical(&map_h, &dcc_h, &map_v, &dcc_v,
                                                                 both.data()));
    check(both, Orvane_get_calibration_block_horizontal_vertical_without_dcc(&map_h, &dcc_h, &map_v,
                                                                             nullptr, both.data()));
    return 0;
}
