// Sensor configurations come from sensor makers' files: any record must be
// refused or extracted without reading or writing outside the buffers.
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "orvane.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    auto cfg = in.take<sensor_cfg>();
    // Keep frames small so the fuzzer stays fast; the layout stays arbitrary.
    cfg.image_width = static_cast<uint16_t>(cfg.image_width % 521);
    cfg.image_height = static_cast<uint16_t>(cfg.image_height % 263);
    const size_t pixels = size_t{cfg.image_width} * cfg.image_height;
    const auto raw = in.samples(pixels);
    // Every extracted sample is a distinct frame pixel, so a frame-sized
    // output always has room.
    std::vector<uint16_t> left(pixels + 1), right(pixels + 1);
    const uint32_t status = Orvane_validate_sensor_cfg(raw.data(), &cfg, left.data(), right.data());
    // An empty frame comes as a null pointer, which is refused.
    const bool refused_null = raw.data() == nullptr && status == ORVANE_HARD_FAILURE;
    if (status != 0 && status != ORVANE_LAYOUT_UNUSABLE && !refused_null) std::abort();
    return 0;
}
