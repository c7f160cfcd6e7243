/* Orvane: layout of the calibration state, the region of the context that
 * Orvane_get_dccmap writes verbatim to its state dump file.
 *
 * A state dump is ORVANE_STATE_DUMP_SIZE bytes, a cal_state as the host holds
 * it in memory (little-endian, no padding beyond the reserved fields). Read
 * one with a plain copy into a cal_state, or by the offsets asserted below.
 * The header declares types only; it adds nothing to the library's exports.
 */
#ifndef ORVANE_STATE_H
#define ORVANE_STATE_H

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results of one frame of a sweep (60,196 bytes); window index
 * w = row * win_cols + column. */
typedef struct frame_slot {
    float pd[ORVANE_MAX_WINDOWS];           /* disparity, sensor pixels */
    float focus[ORVANE_MAX_WINDOWS];        /* focus (contrast) value */
    int16_t confidence[ORVANE_MAX_WINDOWS]; /* 0..1024 */
    uint32_t flags[ORVANE_MAX_WINDOWS];     /* ORVANE_FLAGS_FRAME names */
    float sad_curve[ORVANE_MAX_WINDOWS][ORVANE_SAD_CURVE_LEN];
    int16_t lens_position;
    uint16_t reserved;
} frame_slot;

/* The calibration state (726,292 bytes): the whole state dump file. */
typedef struct cal_state {
    int16_t dump_tag;      /* settings dump_tag, sign-extended */
    uint8_t focus_abs_sum; /* copy of settings byte 1 */
    uint8_t reserved0;
    uint16_t gain_cols; /* gain tables below: gain_cols x gain_rows used */
    uint16_t gain_rows;
    uint16_t gain_left[ORVANE_MAX_GAIN_CELLS]; /* gain map used at frame index 0 */
    uint16_t gain_right[ORVANE_MAX_GAIN_CELLS];
    uint16_t dcc_shift; /* fraction bits of dcc[] */
    uint16_t win_cols;  /* window grid of the last grid walk */
    uint16_t win_rows;
    int16_t dcc[ORVANE_MAX_WINDOWS];
    uint16_t reserved1;
    int16_t peak_lens[ORVANE_MAX_WINDOWS];         /* lens position of the focus peak */
    int16_t zero_pd_lens[ORVANE_MAX_WINDOWS];      /* lens position of zero disparity */
    int16_t zero_pd_offset[ORVANE_MAX_WINDOWS];    /* zero_pd_lens - peak_lens */
    float zero_pd_offset_norm[ORVANE_MAX_WINDOWS]; /* divided by the lens span */
    float fit_residual[ORVANE_MAX_WINDOWS];
    frame_slot slots[ORVANE_FRAME_SLOTS]; /* slot k: frame index k */
    int16_t frames_added;                 /* sweeps since creation or the last fit */
    int16_t sweep_frames;
    int16_t frames_fitted;
    int16_t max_shift;
    float win_margin;
    uint8_t bayer_channel; /* 1..4 */
    uint8_t reserved2[3];
    float dcc_dev_limit[ORVANE_MAX_WINDOWS];
    uint32_t dcc_flags; /* status of the last DCC fit: ORVANE_FLAGS_DCC_MAP names */
} cal_state;

#ifdef __cplusplus
}
#endif

ORVANE_STATIC_ASSERT(sizeof(frame_slot) == 60196, "frame_slot is 60,196 bytes");
ORVANE_STATIC_ASSERT(offsetof(frame_slot, focus) == 576, "focus");
ORVANE_STATIC_ASSERT(offsetof(frame_slot, confidence) == 1152, "confidence");
ORVANE_STATIC_ASSERT(offsetof(frame_slot, flags) == 1440, "flags");
ORVANE_STATIC_ASSERT(offsetof(frame_slot, sad_curve) == 2016, "sad_curve");
ORVANE_STATIC_ASSERT(offsetof(frame_slot, lens_position) == 60192, "lens_position");

ORVANE_STATIC_ASSERT(sizeof(cal_state) == ORVANE_STATE_DUMP_SIZE, "cal_state is the dump");
ORVANE_STATIC_ASSERT(offsetof(cal_state, focus_abs_sum) == 2, "focus_abs_sum");
ORVANE_STATIC_ASSERT(offsetof(cal_state, gain_cols) == 4, "gain_cols");
ORVANE_STATIC_ASSERT(offsetof(cal_state, gain_rows) == 6, "gain_rows");
ORVANE_STATIC_ASSERT(offsetof(cal_state, gain_left) == 8, "gain_left");
ORVANE_STATIC_ASSERT(offsetof(cal_state, gain_right) == 520, "gain_right");
ORVANE_STATIC_ASSERT(offsetof(cal_state, dcc_shift) == 1032, "dcc_shift");
ORVANE_STATIC_ASSERT(offsetof(cal_state, win_cols) == 1034, "win_cols");
ORVANE_STATIC_ASSERT(offsetof(cal_state, win_rows) == 1036, "win_rows");
ORVANE_STATIC_ASSERT(offsetof(cal_state, dcc) == 1038, "dcc");
ORVANE_STATIC_ASSERT(offsetof(cal_state, peak_lens) == 1328, "peak_lens");
ORVANE_STATIC_ASSERT(offsetof(cal_state, zero_pd_lens) == 1616, "zero_pd_lens");
ORVANE_STATIC_ASSERT(offsetof(cal_state, zero_pd_offset) == 1904, "zero_pd_offset");
ORVANE_STATIC_ASSERT(offsetof(cal_state, zero_pd_offset_norm) == 2192, "zero_pd_offset_norm");
ORVANE_STATIC_ASSERT(offsetof(cal_state, fit_residual) == 2768, "fit_residual");
ORVANE_STATIC_ASSERT(offsetof(cal_state, slots) == 3344, "slots");
ORVANE_STATIC_ASSERT(offsetof(cal_state, frames_added) == 725696, "frames_added");
ORVANE_STATIC_ASSERT(offsetof(cal_state, sweep_frames) == 725698, "sweep_frames");
ORVANE_STATIC_ASSERT(offsetof(cal_state, frames_fitted) == 725700, "frames_fitted");
ORVANE_STATIC_ASSERT(offsetof(cal_state, max_shift) == 725702, "max_shift");
ORVANE_STATIC_ASSERT(offsetof(cal_state, win_margin) == 725704, "win_margin");
ORVANE_STATIC_ASSERT(offsetof(cal_state, bayer_channel) == 725708, "bayer_channel");
ORVANE_STATIC_ASSERT(offsetof(cal_state, dcc_dev_limit) == 725712, "dcc_dev_limit");
ORVANE_STATIC_ASSERT(offsetof(cal_state, dcc_flags) == 726288, "dcc_flags");

#endif /* ORVANE_STATE_H */
