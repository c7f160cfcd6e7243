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

bool begin_bands(band_sums_store& store, const uint16_t* image, uint16_t width, uint16_t height,
                 uint16_t rows, uint16_t cols, float margin) {
    store.ready = 0;
    if (rows == 0 || rows > kMaxBands) return false;
    uint32_t offset = 0;
    for (uint16_t i = 0; i < rows; ++i) {
        const band_plan band = plan_band(image, width, height, i, rows, cols, margin);
        if (!band.usable || band.width > kBandStore - offset) return false;
        store.row0[i] = static_cast<uint32_t>(static_cast<size_t>(band.origin - image) / width);
        store.nrows[i] = band.height;
        store.col_begin[i] = band.col_begin;
        store.ncols[i] = band.width;
        store.offset[i] = offset;
        offset += band.width;
    }
    std::fill(store.sums, store.sums + offset, 0);
    store.image = image;
    store.width = width;
    store.height = height;
    store.rows = rows;
    store.cols = cols;
    store.margin = margin;
    store.ready = 1;
    return true;
}

void add_row_to_bands(const kernel_table& k, band_sums_store& store, uint32_t y) {
    const uint16_t* row = store.image + static_cast<size_t>(y) * store.width;
    for (uint16_t i = 0; i < store.rows; ++i) {
        if (y - store.row0[i] < store.nrows[i] && y >= store.row0[i]) {
            k.accumulate_row(row + store.col_begin[i], store.ncols[i],
                             store.sums + store.offset[i]);
        }
    }
}

void add_rows_to_bands(const kernel_table& k, band_sums_store& store, uint32_t y) {
    const uint16_t* row = store.image + static_cast<size_t>(y) * store.width;
    const uint16_t* next = row + store.width;
    for (uint16_t i = 0; i < store.rows; ++i) {
        const bool first = y - store.row0[i] < store.nrows[i] && y >= store.row0[i];
        const bool second = y + 1 - store.row0[i] < store.nrows[i] && y + 1 >= store.row0[i];
        int32_t* sums = store.sums + store.offset[i];
        const uint32_t col = store.col_begin[i];
        if (first && second) {
            k.accumulate_rows2(row + col, next + col, store.ncols[i], sums);
        } else if (first) {
            k.accumulate_row(row + col, store.ncols[i], sums);
        } else if (second) {
            k.accumulate_row(next + col, store.ncols[i], sums);
        }
    }
}

const int32_t* ready_band(const band_sums_store& store, const uint16_t* image, uint16_t width,
                          uint16_t height, uint16_t rows, uint16_t cols, float margin, uint16_t i,
                          band_plan* band) {
    if (store.ready == 0 || store.image != image || store.width != width ||
        store.height != height || store.rows != rows || store.cols != cols ||
        !(store.margin == margin) || i >= rows) {
        return nullptr;
    }
    band->usable = true;
    band->origin = image + static_cast<size_t>(store.row0[i]) * width + store.col_begin[i];
    band->col_begin = store.col_begin[i];
    band->width = store.ncols[i];
    band->height = store.nrows[i];
    return store.sums + store.offset[i];
}

}  // namespace orvane
