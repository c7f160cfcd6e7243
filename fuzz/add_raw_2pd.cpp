// Dual-photodiode intake, readout and gain map with arbitrary settings,
// image sizes and gain maps.
#include <cstdlib>
#include <vector>

#include "fuzz_context.h"
#include "fuzz_input.h"
#include "orvane.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    const auto settings = in.take<cal_settings>();
    const auto map = in.take<gainmap>();
    const auto limits = in.take<gain_limits>();
    const auto frame_index = in.take<int32_t>();
    const auto lens = in.take<int32_t>();
    const auto black = in.take<int32_t>();
    const int32_t width = in.take<uint16_t>() % 300;
    const int32_t height = in.take<uint16_t>() % 200;
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    // One sample more than the image, so even an empty one has a buffer.
    constexpr size_t kMaxPixels = size_t{299} * 199 + 1;
    static reused_buffer<uint16_t> left_buf(kMaxPixels), right_buf(kMaxPixels);
    uint16_t* left = left_buf.take(n + 1);
    uint16_t* right = right_buf.take(n + 1);
    in.fill_samples(left, n + 1);
    for (size_t i = 0; i < n + 1; ++i) right[i] = static_cast<uint16_t>(left[i] ^ 0x5A5A);

    cal_context* ctx = fuzz::context(settings);
    if (ctx == nullptr) return 0;
    gainmap generated{};
    fuzz::note(Orvane_get_gainmap_2pd(ctx, left, right, width, height, black,
                                      &generated, &limits, static_cast<float>(lens)));
    fuzz::note(generated);
    fuzz::note(Orvane_add_raw_2pd(ctx, frame_index, lens, left, right, width, height,
                                  black, &map, static_cast<float>(lens)));
    pd_map out{};
    fuzz::note(Orvane_get_raw_pd_2pd(ctx, left, right, width, height, black, &map,
                                     &out));
    fuzz::note(out);
    fuzz::note(left, (n + 1) * sizeof left[0]);
    fuzz::note(right, (n + 1) * sizeof right[0]);
    fuzz::note_context(ctx);
    return 0;
}
