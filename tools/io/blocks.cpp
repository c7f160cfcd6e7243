#include "io/blocks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "io/files.h"
#include "orvane_state.h"

namespace orvane_tool::io {

namespace {

uint16_t be16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}

template <class T>
std::vector<T> be16_list(std::span<const uint8_t> b, size_t at, size_t count) {
    std::vector<T> out(count);
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<T>(be16(b, at + 2 * i));
    return out;
}

uint8_t sum_before(std::span<const uint8_t> b, size_t length) {
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < length; ++i) sum += b[i];
    return static_cast<uint8_t>(sum & 0xFF);
}

std::string hex4(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v & 0xFFFF);
    return text;
}

struct candidate {
    block_kind kind;
    size_t length;
};

bool checksum_ok(std::span<const uint8_t> b, size_t length) {
    return sum_before(b, length) == b[length - 1];
}

bool zero_after(std::span<const uint8_t> b, size_t length) {
    return std::all_of(b.begin() + static_cast<std::ptrdiff_t>(length), b.end(),
                       [](uint8_t v) { return v == 0; });
}

// A block whose length equals the file's wins (the first in preference order
// with a good checksum, else the first). Otherwise a block followed only by
// zero bytes (a cleared buffer saved whole) with a good checksum, the
// shortest such: the bytes of a longer block would not all be zero.
const candidate* choose(std::span<const uint8_t> b, const std::vector<candidate>& options) {
    const candidate* exact = nullptr;
    for (const candidate& c : options) {
        if (c.length != b.size()) continue;
        if (checksum_ok(b, c.length)) return &c;
        if (exact == nullptr) exact = &c;
    }
    if (exact != nullptr) return exact;
    const candidate* padded = nullptr;
    for (const candidate& c : options) {
        if (c.length >= b.size() || !zero_after(b, c.length) || !checksum_ok(b, c.length)) continue;
        if (padded == nullptr || c.length < padded->length) padded = &c;
    }
    return padded;
}

void finish(block& out, std::span<const uint8_t> b, const candidate& c) {
    out.kind = c.kind;
    out.length = c.length;
    out.padding = b.size() - c.length;
    out.stored_checksum = b[c.length - 1];
    out.computed_checksum = sum_before(b, c.length);
}

// The blocks of one value per window: curve of field and zero-PD offset.
block parse_per_window(std::span<const uint8_t> b, const std::string& source, block_kind kind) {
    block out;
    out.win_cols = be16(b, 2);
    out.win_rows = be16(b, 4);
    const size_t m = size_t{out.win_cols} * out.win_rows;
    const std::vector<candidate> options = {{kind, 7 + 2 * m}};
    const candidate* c = choose(b, options);
    if (c == nullptr)
        throw io_error(source + ": a " + block_kind_name(kind) + " of " +
                       std::to_string(out.win_cols) +
                       " x " + std::to_string(out.win_rows) + " windows takes " +
                       std::to_string(options[0].length) + " bytes, the file has " +
                       std::to_string(b.size()));
    finish(out, b, *c);
    (kind == block_kind::curve_of_field ? out.peak_lens : out.zero_pd_offset) =
        be16_list<int16_t>(b, 6, m);
    out.intact = out.stored_checksum == out.computed_checksum;
    return out;
}

block parse_calibration(std::span<const uint8_t> b, const std::string& source) {
    block out;
    out.cols = be16(b, 2);
    out.rows = be16(b, 4);
    const size_t n = size_t{out.cols} * out.rows;
    const size_t header_end = 12 + 4 * n;  // gain tables and the DCC header
    if (header_end > b.size())
        throw io_error(source + ": truncated calibration block: a " + std::to_string(out.cols) +
                       " x " + std::to_string(out.rows) + " gain grid needs at least " +
                       std::to_string(header_end + 1) + " bytes, the file has " +
                       std::to_string(b.size()));
    out.dcc_shift = be16(b, 6 + 4 * n);
    out.win_cols = be16(b, 8 + 4 * n);
    out.win_rows = be16(b, 10 + 4 * n);
    const size_t m = size_t{out.win_cols} * out.win_rows;
    // Preference for the degenerate grids where two lengths coincide: the
    // single layout (no gain cells), the vertical DCC present (no windows).
    const std::vector<candidate> options = {
        {block_kind::calibration, 13 + 4 * n + 2 * m},
        {block_kind::calibration_both, 13 + 8 * n + 4 * m},
        {block_kind::calibration_both_no_vdcc, 13 + 8 * n + 2 * m},
    };
    const candidate* c = choose(b, options);
    if (c == nullptr)
        throw io_error(source + ": a calibration block with a " + std::to_string(out.cols) + " x " +
                       std::to_string(out.rows) + " gain grid and " + std::to_string(out.win_cols) +
                       " x " + std::to_string(out.win_rows) + " windows takes " +
                       std::to_string(options[0].length) + " (one layout), " +
                       std::to_string(options[2].length) + " or " +
                       std::to_string(options[1].length) + " (both layouts) bytes, the file has " +
                       std::to_string(b.size()));
    if (n > ORVANE_MAX_GAIN_CELLS)
        throw io_error(source + ": the block's " + std::to_string(out.cols) + " x " +
                       std::to_string(out.rows) + " gain grid exceeds the " +
                       std::to_string(ORVANE_MAX_GAIN_CELLS) + " cells of a gain map");
    if (m > ORVANE_MAX_DCC_WINDOWS)
        throw io_error(source + ": the block's " + std::to_string(out.win_cols) + " x " +
                       std::to_string(out.win_rows) + " window grid exceeds the " +
                       std::to_string(ORVANE_MAX_DCC_WINDOWS) + " windows of a DCC map");
    finish(out, b, *c);

    if (c->kind == block_kind::calibration) {
        // The library's own reader, on a copy large enough for any block.
        std::vector<uint8_t> copy(std::max<size_t>(c->length, ORVANE_BLOCK_HV_BUFFER_SIZE), 0);
        std::memcpy(copy.data(), b.data(), c->length);
        gainmap map{};
        dccmap dcc{};
        out.intact = Orvane_read_calibration_block(&map, &dcc, copy.data()) == ORVANE_OK;
        out.cols = map.cols;
        out.rows = map.rows;
        out.left.assign(map.left, map.left + n);
        out.right.assign(map.right, map.right + n);
        out.dcc_shift = dcc.dcc_shift;
        out.win_cols = dcc.win_cols;
        out.win_rows = dcc.win_rows;
        out.dcc.assign(dcc.dcc, dcc.dcc + m);
        return out;
    }
    out.left = be16_list<uint16_t>(b, 6, n);
    out.right = be16_list<uint16_t>(b, 6 + 2 * n, n);
    out.dcc = be16_list<int16_t>(b, 12 + 4 * n, m);
    out.left_v = be16_list<uint16_t>(b, 12 + 4 * n + 2 * m, n);
    out.right_v = be16_list<uint16_t>(b, 12 + 6 * n + 2 * m, n);
    if (c->kind == block_kind::calibration_both)
        out.dcc_v = be16_list<int16_t>(b, 12 + 8 * n + 2 * m, m);
    out.intact = out.stored_checksum == out.computed_checksum;
    return out;
}

// One field of the dump; the types and array lengths must be the header's.
template <class T>
void copy_field(T& to, const T& from) {
    to = from;
}
template <class T, size_t N>
void copy_field(T (&to)[N], const T (&from)[N]) {
    std::copy(from, from + N, to);
}

}  // namespace

const char* block_kind_name(block_kind kind) {
    switch (kind) {
        case block_kind::calibration: return "calibration block, one layout";
        case block_kind::calibration_both: return "calibration block, both layouts";
        case block_kind::calibration_both_no_vdcc:
            return "calibration block, both layouts without vertical DCC";
        case block_kind::curve_of_field: return "curve-of-field block";
        case block_kind::zero_pd_offset: return "zero-PD offset block";
    }
    return "?";
}

block parse_block(std::span<const uint8_t> bytes, const std::string& source) {
    if (bytes.empty()) throw io_error(source + ": empty file");
    if (bytes.size() < 7)
        throw io_error(source + ": " + std::to_string(bytes.size()) +
                       " bytes are too few for a calibration block");
    const uint16_t tag = be16(bytes, 0);
    if (tag == 1) return parse_per_window(bytes, source, block_kind::curve_of_field);
    if (tag == 2) return parse_per_window(bytes, source, block_kind::zero_pd_offset);
    if (tag == 4) return parse_calibration(bytes, source);
    throw io_error(source + ": unknown file: format tag " + hex4(tag) +
                   " is not a calibration block (0x0004), a curve-of-field block (0x0001) or "
                   "a zero-PD offset block (0x0002), and " +
                   std::to_string(bytes.size()) + " bytes are not a state dump (" +
                   std::to_string(ORVANE_STATE_DUMP_SIZE) + ")");
}

state_dump parse_state_dump(std::span<const uint8_t> b, const std::string& source) {
    if (b.size() != ORVANE_STATE_DUMP_SIZE)
        throw io_error(source + ": a state dump has " + std::to_string(ORVANE_STATE_DUMP_SIZE) +
                       " bytes, the file has " + std::to_string(b.size()));
    // The dump is the state region as the library holds it in memory: copy
    // it into the struct that lays it out, then keep what is shown.
    const auto st = std::make_unique<cal_state>();
    std::memcpy(st.get(), b.data(), sizeof(cal_state));
    state_dump d{};
    copy_field(d.dump_tag, st->dump_tag);
    copy_field(d.focus_abs_sum, st->focus_abs_sum);
    copy_field(d.gain_cols, st->gain_cols);
    copy_field(d.gain_rows, st->gain_rows);
    copy_field(d.gain_left, st->gain_left);
    copy_field(d.gain_right, st->gain_right);
    copy_field(d.dcc_shift, st->dcc_shift);
    copy_field(d.win_cols, st->win_cols);
    copy_field(d.win_rows, st->win_rows);
    copy_field(d.dcc, st->dcc);
    copy_field(d.peak_lens, st->peak_lens);
    copy_field(d.zero_pd_lens, st->zero_pd_lens);
    copy_field(d.zero_pd_offset, st->zero_pd_offset);
    copy_field(d.zero_pd_offset_norm, st->zero_pd_offset_norm);
    copy_field(d.fit_residual, st->fit_residual);
    for (size_t k = 0; k < ORVANE_FRAME_SLOTS; ++k) {
        const frame_slot& slot = st->slots[k];
        dump_frame& f = d.slots[k];
        copy_field(f.pd, slot.pd);
        copy_field(f.focus, slot.focus);
        copy_field(f.confidence, slot.confidence);
        copy_field(f.flags, slot.flags);
        copy_field(f.lens_position, slot.lens_position);
    }
    copy_field(d.frames_added, st->frames_added);
    copy_field(d.sweep_frames, st->sweep_frames);
    copy_field(d.frames_fitted, st->frames_fitted);
    copy_field(d.max_shift, st->max_shift);
    copy_field(d.win_margin, st->win_margin);
    copy_field(d.bayer_channel, st->bayer_channel);
    copy_field(d.dcc_dev_limit, st->dcc_dev_limit);
    copy_field(d.dcc_flags, st->dcc_flags);
    return d;
}

library_file parse_library_file(std::span<const uint8_t> bytes, const std::string& source) {
    if (bytes.size() == ORVANE_STATE_DUMP_SIZE) return parse_state_dump(bytes, source);
    return parse_block(bytes, source);
}

}  // namespace orvane_tool::io
