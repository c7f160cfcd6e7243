// Sensor configurations come from sensor makers' files: any record must be
// refused or extracted without reading or writing outside the buffers.
#include <algorithm>
#include <cstdlib>
#include <set>

#include "fuzz_input.h"
#include "orvane.h"

namespace {

// Block rows x block columns x groups (runs of equal left_x once sorted,
// i.e. distinct left_x values), as a host would size the two outputs; at
// most the image capacity, which the library refuses to exceed.
size_t extracted_samples(const sensor_cfg& cfg) {
    const uint32_t n = std::min<uint32_t>(cfg.pair_count, ORVANE_MAX_PD_PAIRS);
    if (n == 0 || cfg.block_width == 0 || cfg.block_height == 0) return 0;
    const int32_t w = int32_t{cfg.image_width} - 2 * int32_t{cfg.margin_x};
    const int32_t h = int32_t{cfg.image_height} - 2 * int32_t{cfg.margin_y};
    if (w < 0 || h < 0) return 0;
    uint32_t shx = 0, shy = 0;
    while ((1u << shx) < cfg.block_width) ++shx;
    while ((1u << shy) < cfg.block_height) ++shy;
    std::set<uint16_t> distinct(cfg.left_x, cfg.left_x + n);
    const uint64_t samples =
        uint64_t(uint32_t(h) >> shy) * (uint32_t(w) >> shx) * distinct.size();
    return static_cast<size_t>(std::min<uint64_t>(samples, ORVANE_IMAGE_CAPACITY));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    auto cfg = in.take<sensor_cfg>();
    // Keep frames small so the fuzzer stays fast; the layout stays arbitrary.
    cfg.image_width = static_cast<uint16_t>(cfg.image_width % 521);
    cfg.image_height = static_cast<uint16_t>(cfg.image_height % 263);
    const size_t pixels = size_t{cfg.image_width} * cfg.image_height;
    static reused_buffer<uint16_t> raw_buf(kMaxFuzzPixels);
    uint16_t* raw = raw_buf.take(pixels);
    in.fill_samples(raw, pixels);
    // The host gives room for exactly the samples the layout extracts.
    static reused_buffer<uint16_t> left_buf(ORVANE_IMAGE_CAPACITY), right_buf(ORVANE_IMAGE_CAPACITY);
    const size_t samples = extracted_samples(cfg);
    uint16_t* left = left_buf.take(samples);
    uint16_t* right = right_buf.take(samples);
    const uint32_t status = Orvane_validate_sensor_cfg(raw, &cfg, left, right);
    if (status != 0 && status != ORVANE_LAYOUT_UNUSABLE) std::abort();
    return 0;
}
