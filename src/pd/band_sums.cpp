#include "pd/band_sums.h"

#include <algorithm>
#include <cstddef>

namespace orvane {

band_plan plan_band(const uint16_t* image, uint16_t image_width, uint16_t image_height,
                    uint16_t i, uint16_t rows, uint16_t cols, float margin) {
    band_plan band{false, nullptr, 0, 0, 0};
    if (cols == 0) return band;
    uint32_t begin = UINT32_MAX;
    uint32_t end = 0;
    uint64_t covered = 0;
    const uint16_t* row_start = nullptr;
    uint32_t height = 0;
    for (uint16_t j = 0; j < cols; ++j) {
        roi_view view{};
        if (!roi_in_place(image, image_width, image_height, window_rect(i, j, rows, cols, margin),
                          &view)) {
            return band;
        }
        const auto offset = static_cast<size_t>(view.origin - image);
        const uint32_t col0 = static_cast<uint32_t>(offset % image_width);
        const uint16_t* start = view.origin - col0;
        if (j == 0) {
            row_start = start;
            height = view.height;
        } else if (start != row_start || view.height != height) {
            return band;
        }
        begin = std::min(begin, col0);
        end = std::max(end, col0 + view.width);
        covered += view.width;
    }
    if (covered < end - begin) return band;
    band = {true, row_start + begin, begin, end - begin, height};
    return band;
}

void band_column_sums(const kernel_table& k, const band_plan& band, size_t stride, int32_t* sums) {
    k.column_sums(band.origin, stride, band.width, band.height, sums);
}

}  // namespace orvane
