// Reading the files the library produces: calibration blocks (one or both
// layouts, with or without the vertical DCC values), curve-of-field blocks
// and state dumps. The kind is recognised from the size and the checksum.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "orvane.h"

namespace orvane_tool::io {

enum class block_kind {
    calibration,               // one layout
    calibration_both,          // both layouts with the vertical DCC values
    calibration_both_no_vdcc,  // both layouts without them
    curve_of_field,
    zero_pd_offset,
};

const char* block_kind_name(block_kind kind);

struct block {
    block_kind kind = block_kind::calibration;
    size_t length = 0;   // bytes of the block, checksum included
    size_t padding = 0;  // zero bytes after it in the file (a cleared buffer saved whole)
    uint8_t stored_checksum = 0;
    uint8_t computed_checksum = 0;
    bool intact = false;  // format tag and checksum verified
    // Calibration blocks.
    uint16_t cols = 0, rows = 0;
    std::vector<uint16_t> left, right, left_v, right_v;
    uint16_t dcc_shift = 0;
    std::vector<int16_t> dcc, dcc_v;
    // Every kind: the window grid. Curve of field: in-focus lens per window;
    // zero-PD offset: zero_pd_lens - peak_lens per window.
    uint16_t win_cols = 0, win_rows = 0;
    std::vector<int16_t> peak_lens;
    std::vector<int16_t> zero_pd_offset;
};

// The results of one frame as the state dump holds them.
struct dump_frame {
    float pd[ORVANE_MAX_WINDOWS];
    float focus[ORVANE_MAX_WINDOWS];
    int16_t confidence[ORVANE_MAX_WINDOWS];
    uint32_t flags[ORVANE_MAX_WINDOWS];
    int16_t lens_position;
};

// A state dump, field by field as orvane_state.h lays it out (the SAD curves
// are left out).
struct state_dump {
    int16_t dump_tag;
    uint8_t focus_abs_sum;
    uint16_t gain_cols, gain_rows;
    uint16_t gain_left[ORVANE_MAX_GAIN_CELLS];
    uint16_t gain_right[ORVANE_MAX_GAIN_CELLS];
    uint16_t dcc_shift, win_cols, win_rows;
    int16_t dcc[ORVANE_MAX_WINDOWS];
    int16_t peak_lens[ORVANE_MAX_WINDOWS];
    int16_t zero_pd_lens[ORVANE_MAX_WINDOWS];
    int16_t zero_pd_offset[ORVANE_MAX_WINDOWS];
    float zero_pd_offset_norm[ORVANE_MAX_WINDOWS];
    float fit_residual[ORVANE_MAX_WINDOWS];
    dump_frame slots[ORVANE_FRAME_SLOTS];
    int16_t frames_added, sweep_frames, frames_fitted, max_shift;
    float win_margin;
    uint8_t bayer_channel;
    float dcc_dev_limit[ORVANE_MAX_WINDOWS];
    uint32_t dcc_flags;
};

// Parses a block file. Single-layout blocks go through the library's reader.
// Throws io_error for anything that is not a block of a size it claims.
block parse_block(std::span<const uint8_t> bytes, const std::string& source);

// Exactly ORVANE_STATE_DUMP_SIZE bytes.
state_dump parse_state_dump(std::span<const uint8_t> bytes, const std::string& source);

using library_file = std::variant<block, state_dump>;

// A state dump when the size is that of one, a block otherwise.
library_file parse_library_file(std::span<const uint8_t> bytes, const std::string& source);

}  // namespace orvane_tool::io
