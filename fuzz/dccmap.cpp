// The DCC fit, the state dump and the curve-of-field block after a short
// sweep, with arbitrary settings (grid, frame counts, trims, limits) and,
// when the input asks, arbitrary lens positions and disparities per frame.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "fuzz_context.h"
#include "fuzz_input.h"
#include "orvane.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    const auto settings = in.take<cal_settings>();
    const auto frames = in.take<uint8_t>() % 14;
    // Bit 0: write the state dump (to the null device); bit 1: lens
    // positions and shifts below instead of a plain sweep.
    const auto mode = in.take<uint8_t>();
    int16_t lens[13];
    int8_t shift[13];
    for (int k = 0; k < 13; ++k) {
        lens[k] = in.take<int16_t>();
        shift[k] = in.take<int8_t>();
    }
    constexpr int32_t kSide = 48;
    const auto base = in.samples(size_t{kSide} * kSide);

    cal_context* ctx = fuzz::context(settings);
    if (ctx == nullptr) return 0;
    gainmap map{};
    map.cols = 1;
    map.rows = 1;
    map.left[0] = map.right[0] = 512;
    for (int k = 0; k < frames; ++k) {
        const bool plain = (mode & 2) == 0;
        const int32_t at = plain ? 100 + 10 * k : lens[k];
        const int s = plain ? 1 : shift[k] % 8;
        auto left = base;
        auto right = base;
        // The right image is the left one moved by s columns, edges repeated.
        for (int32_t r = 0; r < kSide; ++r) {
            for (int32_t c = 0; c < kSide; ++c) {
                const int32_t from = std::min(std::max(c + s, 0), kSide - 1);
                right[size_t(r * kSide + c)] = base[size_t(r * kSide + from)];
            }
        }
        fuzz::note(Orvane_add_raw_2pd(ctx, k, at, left.data(), right.data(), kSide, kSide, 0,
                                      &map, static_cast<float>(at)));
    }
    dccmap dcc{};
    const uint32_t status = Orvane_get_dccmap(ctx, &dcc, (mode & 1) ? "/dev/null" : nullptr);
    fuzz::note(status);
    fuzz::note(dcc);
    std::vector<uint8_t> out(ORVANE_BLOCK_COF_BUFFER_SIZE, 0);
    const int32_t end = Orvane_get_calibration_curve_of_field_block(ctx, out.data());
    if (status != ORVANE_HARD_FAILURE && end >= static_cast<int32_t>(out.size()))
        std::abort();
    fuzz::note(end);
    fuzz::note(out.data(), out.size());
    fuzz::note_context(ctx);
    return 0;
}
