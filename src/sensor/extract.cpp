#include <algorithm>
#include <cstddef>

#include "kernels/kernels.h"
#include "sensor/sensor.h"

namespace orvane {

namespace {

constexpr uint32_t kLayoutUnusable = ORVANE_LAYOUT_UNUSABLE;

// The two coordinate tables of one layout and the table whose runs of equal
// values form the groups averaged into one PD sample.
struct pd_tables {
    const uint16_t* ax;
    const uint16_t* ay;
    const uint16_t* bx;
    const uint16_t* by;
    const uint16_t* group_key;
};

pd_tables tables_of(const sensor_cfg& cfg, bool vertical) {
    if (vertical) {
        return {cfg.v_left_x, cfg.v_left_y, cfg.v_right_x, cfg.v_right_y, cfg.v_left_y};
    }
    return {cfg.left_x, cfg.left_y, cfg.right_x, cfg.right_y, cfg.left_x};
}

struct block_grid {
    uint32_t shx;
    uint32_t shy;
    uint32_t rows;
    uint32_t cols;
    uint32_t groups;
    uint16_t width;
    uint16_t height;
};

// Block sizes that are not a power of two use the next larger one.
uint32_t block_shift(uint16_t size) {
    uint32_t s = 0;
    while ((1u << s) < size) ++s;
    return s;
}

uint32_t count_groups(const uint16_t* key, uint32_t n) {
    uint32_t g = 1;
    for (uint32_t i = 1; i < n; ++i) {
        if (key[i] != key[i - 1]) ++g;
    }
    return g;
}

// Every check happens here, before any image is touched, so a rejected
// layout leaves the outputs as they were.
uint32_t plan_grid(const sensor_cfg& cfg, bool vertical, block_grid& grid) {
    const uint32_t n = cfg.pair_count;
    if (n == 0 || cfg.block_width == 0 || cfg.block_height == 0) return kLayoutUnusable;
    if (n > static_cast<uint32_t>(kMaxPairs)) return kLayoutUnusable;
    const uint32_t w = cfg.image_width;
    const uint32_t h = cfg.image_height;
    const uint32_t mx = cfg.margin_x;
    const uint32_t my = cfg.margin_y;
    if (2 * mx > w || 2 * my > h) return kLayoutUnusable;

    grid.shx = block_shift(cfg.block_width);
    grid.shy = block_shift(cfg.block_height);
    grid.rows = (h - 2 * my) >> grid.shy;
    grid.cols = (w - 2 * mx) >> grid.shx;
    if (grid.rows == 0 || grid.cols == 0) return kLayoutUnusable;

    const pd_tables t = tables_of(cfg, vertical);
    grid.groups = count_groups(t.group_key, n);

    // The farthest PD pixel of the last block must lie inside the frame;
    // then no block offset wraps and no index leaves the frame.
    uint32_t max_x = 0;
    uint32_t max_y = 0;
    for (uint32_t i = 0; i < n; ++i) {
        max_x = std::max<uint32_t>(max_x, std::max(t.ax[i], t.bx[i]));
        max_y = std::max<uint32_t>(max_y, std::max(t.ay[i], t.by[i]));
    }
    const uint64_t last_col = mx + max_x + (static_cast<uint64_t>(grid.cols - 1) << grid.shx);
    const uint64_t last_row = my + max_y + (static_cast<uint64_t>(grid.rows - 1) << grid.shy);
    if (last_col >= w || last_row >= h) return kLayoutUnusable;

    const uint64_t samples = static_cast<uint64_t>(grid.rows) * grid.cols * grid.groups;
    if (samples > kImageCapacity) return kLayoutUnusable;
    const uint64_t out_w = vertical ? grid.cols : static_cast<uint64_t>(grid.cols) * grid.groups;
    const uint64_t out_h = vertical ? static_cast<uint64_t>(grid.rows) * grid.groups : grid.rows;
    if (out_w > UINT16_MAX || out_h > UINT16_MAX) return kLayoutUnusable;
    grid.width = static_cast<uint16_t>(out_w);
    grid.height = static_cast<uint16_t>(out_h);
    return 0;
}

// One pass over the blocks. Pixel offsets within a block are fixed, so they
// are computed once; each block then only adds its base. Pairs of one group
// are folded by a running pairwise mean in pair order, the sum taken in 32
// bits so it cannot wrap.
constexpr size_t kAheadBlocks = 16;

template <bool Vertical>
uint32_t extract_layout(const uint16_t* raw, const sensor_cfg& cfg, uint16_t* out_a,
                        uint16_t* out_b, uint16_t* width, uint16_t* height,
                        const raw_rows_hook* hook) {
    block_grid grid{};
    const uint32_t status = plan_grid(cfg, Vertical, grid);
    if (status != 0) return status;

    const pd_tables t = tables_of(cfg, Vertical);
    const uint32_t n = cfg.pair_count;
    const uint32_t w = cfg.image_width;
    uint32_t off_a[kMaxPairs];
    uint32_t off_b[kMaxPairs];
    uint32_t group_end[kMaxPairs];
    uint32_t g = 0;
    for (uint32_t i = 0; i < n; ++i) {
        off_a[i] = t.ay[i] * w + t.ax[i];
        off_b[i] = t.by[i] * w + t.bx[i];
        if (i > 0 && t.group_key[i] != t.group_key[i - 1]) group_end[g++] = i;
    }
    group_end[g] = n;
    // Byte offsets of the block rows holding PD pixels, each once.
    size_t row_off[2 * kMaxPairs];
    uint32_t pair_rows = 0;
    for (uint32_t i = 0; i < 2 * n; ++i) {
        const size_t off = (i < n ? t.ay[i] : t.by[i - n]) * size_t{w} * sizeof(uint16_t);
        if (std::find(row_off, row_off + pair_rows, off) == row_off + pair_rows) row_off[pair_rows++] = off;
    }

    const size_t base = static_cast<size_t>(w) * cfg.margin_y + cfg.margin_x;
    const size_t row_step = static_cast<size_t>(w) << grid.shy;
    const size_t groups = grid.groups;
    const size_t cols = grid.cols;
    size_t k = 0;
    for (size_t r = 0; r < grid.rows; ++r) {
        const uint16_t* row = raw + base + r * row_step;
        for (size_t c = 0; c < cols; ++c) {
            const uint16_t* blk = row + (c << grid.shx);
            // Each pair row is its own stream through the frame, more than
            // the hardware follows at once: fetch a few blocks ahead (a
            // prefetch never faults; the address is only formed).
            if (c + kAheadBlocks < cols) {
                const uintptr_t ahead = reinterpret_cast<uintptr_t>(blk) +
                                        ((size_t{kAheadBlocks} << grid.shx) * sizeof(uint16_t));
                for (uint32_t p = 0; p < pair_rows; ++p) {
                    __builtin_prefetch(reinterpret_cast<const void*>(ahead + row_off[p]));
                }
            }
            uint32_t i = 0;
            for (size_t gi = 0; gi < groups; ++gi) {
                uint32_t a = blk[off_a[i]];
                uint32_t b = blk[off_b[i]];
                for (++i; i < group_end[gi]; ++i) {
                    a = (a + blk[off_a[i]]) >> 1;
                    b = (b + blk[off_b[i]]) >> 1;
                }
                const size_t idx = Vertical ? (r * groups + gi) * cols + c : k++;
                out_a[idx] = static_cast<uint16_t>(a);
                out_b[idx] = static_cast<uint16_t>(b);
            }
        }
        if (hook != nullptr) {
            hook->read(hook->user, cfg.margin_y + static_cast<uint32_t>((r + 1) << grid.shy));
        }
    }
    *width = grid.width;
    *height = grid.height;
    return 0;
}

}  // namespace

uint32_t pd_layout_size(const sensor_cfg& cfg, bool vertical, uint16_t* width, uint16_t* height) {
    block_grid grid{};
    const uint32_t status = plan_grid(cfg, vertical, grid);
    if (status != 0) return status;
    if (width != nullptr) *width = grid.width;
    if (height != nullptr) *height = grid.height;
    return 0;
}

uint32_t extract_pd(const uint16_t* raw, const sensor_cfg& cfg, uint16_t* left, uint16_t* right,
                    uint16_t* width, uint16_t* height, const raw_rows_hook* hook) {
    return extract_layout<false>(raw, cfg, left, right, width, height, hook);
}

uint32_t extract_pd_vertical(const uint16_t* raw, const sensor_cfg& cfg, uint16_t* first,
                             uint16_t* second, uint16_t* width, uint16_t* height,
                             const raw_rows_hook* hook) {
    return extract_layout<true>(raw, cfg, first, second, width, height, hook);
}

void subtract_black(uint16_t* image, uint16_t width, uint16_t height, uint16_t black) {
    scalar_kernels().subtract_black(image, static_cast<size_t>(width) * height, black);
}

}  // namespace orvane
