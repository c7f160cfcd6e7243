// Calibration blocks: big-endian 16-bit fields closed by an 8-bit additive
// checksum, written from the gain map and DCC map records and read back.
#include <cstring>

#include "context/context.h"

namespace orvane {
namespace {

// Leading bytes every writer clears: the block of a 221-cell gain grid and
// 48 windows, plus one.
constexpr size_t kClearSingle = 994;
constexpr size_t kClearBoth = 1974;
constexpr size_t kClearBothWithoutDcc = 1878;
constexpr size_t kClearCurveOfField = 104;
constexpr size_t kClearZeroPd = 104;

constexpr uint16_t kCalibrationTag = 4;
constexpr uint16_t kCurveOfFieldTag = 1;
constexpr uint16_t kZeroPdTag = 2;

uint32_t cells(uint16_t a, uint16_t b) { return static_cast<uint32_t>(a) * b; }

class block_writer {
public:
    explicit block_writer(uint8_t* out) : out_(out) {}

    void put(uint16_t v) {
        put_byte(static_cast<uint8_t>(v >> 8));
        put_byte(static_cast<uint8_t>(v & 0xFFu));
    }
    void put(const uint16_t* v, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) put(v[i]);
    }
    void put(const int16_t* v, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) put(static_cast<uint16_t>(v[i]));
    }
    // Stores the checksum and returns its offset.
    int32_t close() {
        out_[pos_] = static_cast<uint8_t>(sum_ & 0xFFu);
        return static_cast<int32_t>(pos_);
    }

private:
    void put_byte(uint8_t b) {
        out_[pos_++] = b;
        sum_ += b;
    }
    uint8_t* out_;
    size_t pos_ = 0;
    uint32_t sum_ = 0;
};

// The part every calibration block starts with: gain grid, two gain tables,
// DCC header and DCC values.
void put_single(block_writer& out, const gainmap& map, const uint16_t* first,
                const uint16_t* second, const dccmap& dcc) {
    const uint32_t n = cells(map.cols, map.rows);
    const uint32_t m = cells(dcc.win_cols, dcc.win_rows);
    out.put(kCalibrationTag);
    out.put(map.cols);
    out.put(map.rows);
    out.put(first, n);
    out.put(second, n);
    out.put(dcc.dcc_shift);
    out.put(dcc.win_cols);
    out.put(dcc.win_rows);
    out.put(dcc.dcc, m);
}

bool records_fit(const gainmap& map, const dccmap& dcc) {
    return cells(map.cols, map.rows) <= static_cast<uint32_t>(kMaxGainCells) &&
           cells(dcc.win_cols, dcc.win_rows) <= static_cast<uint32_t>(kMaxDccWindows);
}

int32_t write_single(const gainmap& map, const uint16_t* first, const uint16_t* second,
                     const dccmap& dcc, uint8_t* out) {
    if (!records_fit(map, dcc)) return -1;
    std::memset(out, 0, kClearSingle);
    block_writer w(out);
    put_single(w, map, first, second, dcc);
    return w.close();
}

// Both layouts share the horizontal records' gain grid and window grid.
// The vertical DCC values are written only when dcc_v is given.
int32_t write_both(const gainmap& map_h, const dccmap& dcc_h, const gainmap& map_v,
                   const dccmap* dcc_v, uint8_t* out) {
    if (!records_fit(map_h, dcc_h)) return -1;
    std::memset(out, 0, dcc_v != nullptr ? kClearBoth : kClearBothWithoutDcc);
    const uint32_t n = cells(map_h.cols, map_h.rows);
    block_writer w(out);
    put_single(w, map_h, map_h.left, map_h.right, dcc_h);
    w.put(map_v.left_v, n);
    w.put(map_v.right_v, n);
    if (dcc_v != nullptr) w.put(dcc_v->dcc, cells(dcc_h.win_cols, dcc_h.win_rows));
    return w.close();
}

// Blocks of one signed value per window of the context's grid: the curve of
// field (peak_lens) and the zero-PD offset.
int32_t write_per_window(const cal_state& st, const int16_t* values, uint16_t tag, size_t clear,
                         uint8_t* out) {
    const uint32_t m = cells(st.win_cols, st.win_rows);
    if (m > static_cast<uint32_t>(kMaxDccWindows)) return -1;
    std::memset(out, 0, clear);
    block_writer w(out);
    w.put(tag);
    w.put(st.win_cols);
    w.put(st.win_rows);
    w.put(values, m);
    return w.close();
}

class block_reader {
public:
    explicit block_reader(const uint8_t* in) : in_(in) {}

    uint16_t get() {
        const uint16_t v = static_cast<uint16_t>((in_[pos_] << 8) | in_[pos_ + 1]);
        sum_ += in_[pos_];
        sum_ += in_[pos_ + 1];
        pos_ += 2;
        return v;
    }
    void get(uint16_t* v, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) v[i] = get();
    }
    void get(int16_t* v, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(get());
    }
    bool checksum_matches() const { return in_[pos_] == static_cast<uint8_t>(sum_ & 0xFFu); }

private:
    const uint8_t* in_;
    size_t pos_ = 0;
    uint32_t sum_ = 0;
};

}  // namespace
}  // namespace orvane

extern "C" {

ORVANE_API int32_t Orvane_get_calibration_block(const gainmap* map, const dccmap* dcc,
                                                uint8_t* out) {
    if (map == nullptr || dcc == nullptr || out == nullptr) return -1;
    return orvane::write_single(*map, map->left, map->right, *dcc, out);
}

ORVANE_API int32_t Orvane_get_calibration_block_vertical(const gainmap* map, const dccmap* dcc,
                                                         uint8_t* out) {
    if (map == nullptr || dcc == nullptr || out == nullptr) return -1;
    return orvane::write_single(*map, map->left_v, map->right_v, *dcc, out);
}

ORVANE_API int32_t Orvane_get_calibration_block_horizontal_vertical(const gainmap* map_h,
                                                                    const dccmap* dcc_h,
                                                                    const gainmap* map_v,
                                                                    const dccmap* dcc_v,
                                                                    uint8_t* out) {
    if (map_h == nullptr || dcc_h == nullptr || map_v == nullptr || dcc_v == nullptr ||
        out == nullptr) {
        return -1;
    }
    return orvane::write_both(*map_h, *dcc_h, *map_v, dcc_v, out);
}

ORVANE_API int32_t Orvane_get_calibration_block_horizontal_vertical_without_dcc(
    const gainmap* map_h, const dccmap* dcc_h, const gainmap* map_v, const void* /*unused*/,
    uint8_t* out) {
    if (map_h == nullptr || dcc_h == nullptr || map_v == nullptr || out == nullptr) return -1;
    return orvane::write_both(*map_h, *dcc_h, *map_v, nullptr, out);
}

ORVANE_API int32_t Orvane_get_calibration_curve_of_field_block(const cal_context* ctx,
                                                               uint8_t* out) {
    using namespace orvane;
    if (ctx == nullptr || out == nullptr) return -1;
    return write_per_window(ctx->state, ctx->state.peak_lens, kCurveOfFieldTag,
                            kClearCurveOfField, out);
}

ORVANE_API int32_t Orvane_get_calibration_zero_pd_offset_block(const cal_context* ctx,
                                                               uint8_t* out) {
    using namespace orvane;
    if (ctx == nullptr || out == nullptr) return -1;
    return write_per_window(ctx->state, ctx->state.zero_pd_offset, kZeroPdTag, kClearZeroPd, out);
}

ORVANE_API uint32_t Orvane_read_zero_pd_offset_block(const uint8_t* block, uint32_t size,
                                                     zero_pd_map* map) {
    using namespace orvane;
    if (block == nullptr || map == nullptr) return kHardFailure;
    // Header and checksum first, so that nothing past `size` is read.
    if (size < 7) return kHardFailure;
    const uint16_t tag = static_cast<uint16_t>((block[0] << 8) | block[1]);
    const uint16_t win_cols = static_cast<uint16_t>((block[2] << 8) | block[3]);
    const uint16_t win_rows = static_cast<uint16_t>((block[4] << 8) | block[5]);
    const uint32_t m = cells(win_cols, win_rows);
    if (tag != kZeroPdTag || m > static_cast<uint32_t>(kMaxDccWindows) || size < 7 + 2 * m) {
        return kHardFailure;
    }
    block_reader r(block);
    r.get();
    r.get();
    r.get();
    int16_t offsets[kMaxDccWindows];
    r.get(offsets, m);
    if (!r.checksum_matches()) return kHardFailure;
    // Only an intact block reaches the record.
    std::memset(map, 0, sizeof *map);
    map->win_cols = win_cols;
    map->win_rows = win_rows;
    std::memcpy(map->offset, offsets, m * sizeof offsets[0]);
    return 0;
}

ORVANE_API uint32_t Orvane_read_calibration_block(gainmap* map, dccmap* dcc, const uint8_t* block) {
    using namespace orvane;
    if (map == nullptr || dcc == nullptr || block == nullptr) return kHardFailure;
    block_reader r(block);
    const uint16_t tag = r.get();
    map->cols = r.get();
    map->rows = r.get();
    // A block claiming more than the records hold is refused where the claim
    // is read: nothing past it is read or written.
    const uint32_t n = cells(map->cols, map->rows);
    if (n > static_cast<uint32_t>(kMaxGainCells)) return kHardFailure;
    r.get(map->left, n);
    r.get(map->right, n);
    dcc->dcc_shift = r.get();
    dcc->win_cols = r.get();
    dcc->win_rows = r.get();
    const uint32_t m = cells(dcc->win_cols, dcc->win_rows);
    if (m > static_cast<uint32_t>(kMaxDccWindows)) return kHardFailure;
    r.get(dcc->dcc, m);
    const bool intact = r.checksum_matches() && tag == kCalibrationTag;
    return intact ? 0u : kHardFailure;
}

}  // extern "C"
