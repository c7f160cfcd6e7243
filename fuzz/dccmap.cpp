// The DCC fit and the curve-of-field block after a short sweep, with
// arbitrary settings (grid, frame counts, trims, limits).
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "orvane.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    const auto settings = in.take<cal_settings>();
    const auto frames = in.take<uint8_t>() % 14;
    constexpr int32_t kSide = 48;
    auto base = in.samples(size_t{kSide} * kSide);

    cal_context* ctx = Orvane_create(&settings);
    if (ctx == nullptr) return 0;
    gainmap map{};
    map.cols = 1;
    map.rows = 1;
    map.left[0] = map.right[0] = 512;
    for (int k = 0; k < frames; ++k) {
        auto left = base;
        auto right = base;
        for (size_t i = 0; i + 1 < right.size(); ++i) right[i] = base[i + 1];
        Orvane_add_raw_2pd(ctx, k, 100 + 10 * k, left.data(), right.data(), kSide, kSide, 0, &map,
                           static_cast<float>(100 + 10 * k));
    }
    dccmap dcc{};
    const uint32_t status = Orvane_get_dccmap(ctx, &dcc, nullptr);
    std::vector<uint8_t> out(ORVANE_BLOCK_HV_BUFFER_SIZE, 0);
    const int32_t end = Orvane_get_calibration_curve_of_field_block(ctx, out.data());
    if (status != ORVANE_HARD_FAILURE && end >= static_cast<int32_t>(out.size())) std::abort();
    Orvane_destroy(ctx);
    return 0;
}
