/* Orvane: calibration of phase-detection (PD) autofocus pixels.
 *
 * One C interface for hosts written in C or C++. All records are plain,
 * little-endian structs with fixed layouts; the calibration context is
 * opaque. Every entry point runs synchronously on the caller's thread.
 */
#ifndef ORVANE_H
#define ORVANE_H

#include <stddef.h>
#include <stdint.h>

/* Version of the package; the shared library's SONAME carries the major
 * number (liborvane.so.ORVANE_VERSION_MAJOR). */
#define ORVANE_VERSION_MAJOR 0
#define ORVANE_VERSION_MINOR 1
#define ORVANE_VERSION_PATCH 0
#define ORVANE_VERSION_STRING "0.1.0"

/* ORVANE_BUILDING is defined only while the library itself is compiled: it
 * exports the entry points. Hosts import them; a host linking a static build
 * on Windows defines ORVANE_STATIC. */
#if defined(_WIN32)
#if defined(ORVANE_BUILDING)
#define ORVANE_API __declspec(dllexport)
#elif defined(ORVANE_STATIC)
#define ORVANE_API
#else
#define ORVANE_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) && defined(ORVANE_BUILDING)
#define ORVANE_API __attribute__((visibility("default")))
#else
#define ORVANE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status words --------------------------------------------------------
 * 0 is success; otherwise the OR of the flags below. ORVANE_HARD_FAILURE
 * (all bits set) absorbs every other bit: a null or out-of-capacity argument,
 * nothing computed. What each flag means: ORVANE_FLAG_MEANING_LIST. */
#define ORVANE_OK 0x0u
#define ORVANE_LENS_OUT_OF_RANGE 0x2u
#define ORVANE_LAYOUT_UNUSABLE 0x4u
#define ORVANE_LEVEL_TOO_HIGH 0x8u
#define ORVANE_LEVEL_TOO_LOW 0x10u
#define ORVANE_GAIN_TOO_HIGH 0x20u
#define ORVANE_PD_AT_EDGE 0x40u
#define ORVANE_INVALID_ROI 0x80u
#define ORVANE_NOT_MONOTONIC 0x80u
#define ORVANE_TOO_FEW_FRAMES 0x100u
#define ORVANE_DCC_DEVIATION 0x200u
#define ORVANE_PD_RANGE_LOW 0x400u
#define ORVANE_FOCUS_FAILED 0x1000u
#define ORVANE_PEAK_AT_END 0x2000u
#define ORVANE_HARD_FAILURE 0xFFFFFFFFu

/* Names and meanings of the flags, for every program that shows a status
 * word: ORVANE_FLAG_LIST(X) expands X(value, name, scope) and
 * ORVANE_FLAG_MEANING_LIST(X) expands X(value, name, scope, meaning), one
 * entry per flag, from the one table below. 0x80 means two things and has
 * one entry per scope: ORVANE_FLAGS_FRAME covers the status of every call
 * but the DCC map and the per-window flags of a frame slot;
 * ORVANE_FLAGS_DCC_MAP covers the status of Orvane_get_dccmap and the
 * state's dcc_flags. Expanding the lists defines nothing in the library. The
 * hard failure is a value, not a flag: compare the whole word with
 * ORVANE_HARD_FAILURE before decoding bits. */
#define ORVANE_FLAGS_FRAME 0x1u
#define ORVANE_FLAGS_DCC_MAP 0x2u
#define ORVANE_HARD_FAILURE_NAME "hard_failure"
#define ORVANE_HARD_FAILURE_MEANING "the call failed"
#define ORVANE_FLAG_LIST(X) ORVANE_FLAG_TABLE_(ORVANE_FLAG_NAME_, X)
#define ORVANE_FLAG_MEANING_LIST(X) ORVANE_FLAG_TABLE_(ORVANE_FLAG_MEANING_, X)
#define ORVANE_FLAG_NAME_(X, value, name, scope, meaning) X(value, name, scope)
#define ORVANE_FLAG_MEANING_(X, value, name, scope, meaning) X(value, name, scope, meaning)
#define ORVANE_FLAG_TABLE_(R, X)                                                       \
    R(X, ORVANE_LENS_OUT_OF_RANGE, "lens_out_of_range", ORVANE_FLAGS_FRAME,            \
      "lens position outside lens_min..lens_max")                                      \
    R(X, ORVANE_LAYOUT_UNUSABLE, "layout_unusable", ORVANE_FLAGS_FRAME,                \
      "no PD pairs, zero block size or nothing extracted")                             \
    R(X, ORVANE_LEVEL_TOO_HIGH, "level_too_high", ORVANE_FLAGS_FRAME,                  \
      "a PD level of the flat field above the maximum level")                          \
    R(X, ORVANE_LEVEL_TOO_LOW, "level_too_low", ORVANE_FLAGS_FRAME,                    \
      "a PD level of the flat field below the minimum level")                          \
    R(X, ORVANE_GAIN_TOO_HIGH, "gain_too_high", ORVANE_FLAGS_FRAME,                    \
      "a gain above the maximum gain")                                                 \
    R(X, ORVANE_PD_AT_EDGE, "pd_at_edge", ORVANE_FLAGS_FRAME,                          \
      "disparity at the edge of the search range")                                     \
    R(X, ORVANE_INVALID_ROI, "invalid_roi", ORVANE_FLAGS_FRAME,                        \
      "invalid window rectangle")                                                      \
    R(X, ORVANE_NOT_MONOTONIC, "not_monotonic", ORVANE_FLAGS_DCC_MAP,                  \
      "PD steps against its direction over the sweep and the fit residual "            \
      "exceeds residual_limit")                                                        \
    R(X, ORVANE_TOO_FEW_FRAMES, "too_few_frames", ORVANE_FLAGS_DCC_MAP,                \
      "fewer frames than sweep_frames, or fewer than 2 left for the fit")              \
    R(X, ORVANE_DCC_DEVIATION, "dcc_deviation", ORVANE_FLAGS_DCC_MAP,                  \
      "|zero-PD lens - peak lens| / lens span above the window's dcc_dev_limit")       \
    R(X, ORVANE_PD_RANGE_LOW, "pd_range_low", ORVANE_FLAGS_DCC_MAP,                    \
      "PD spread over the fitted frames below min_pd_range")                           \
    R(X, ORVANE_FOCUS_FAILED, "focus_failed", ORVANE_FLAGS_FRAME,                      \
      "the focus measure failed for the window")                                       \
    R(X, ORVANE_PEAK_AT_END, "peak_at_end", ORVANE_FLAGS_DCC_MAP,                      \
      "focus peak at or beyond an end of the sweep")

/* ---- Capacities ------------------------------------------------------- */
#define ORVANE_FRAME_SLOTS 12
#define ORVANE_MAX_WINDOWS 144      /* per frame */
#define ORVANE_MAX_DCC_WINDOWS 48   /* per DCC map */
#define ORVANE_MAX_GAIN_CELLS 256
#define ORVANE_MAX_PD_PAIRS 128
#define ORVANE_MAX_FILTER_TAPS 31
#define ORVANE_SAD_CURVE_LEN 101
#define ORVANE_IMAGE_CAPACITY 20000000u /* samples per PD image */
#define ORVANE_ROI_CAPACITY 2000000u    /* samples per window cut-out */
#define ORVANE_STATE_DUMP_SIZE 726292u  /* bytes of a state dump file */

/* Largest block each writer can produce, and the bytes it always clears. */
#define ORVANE_BLOCK_BUFFER_SIZE 1133u    /* single layout */
#define ORVANE_BLOCK_HV_BUFFER_SIZE 2253u /* both layouts */
#define ORVANE_BLOCK_COF_BUFFER_SIZE 104u /* curve of field */
#define ORVANE_BLOCK_ZERO_PD_BUFFER_SIZE 104u /* zero-PD offset */
#define ORVANE_LIB_VERSION_BUFFER_SIZE 39u
#define ORVANE_LIB_FEATURES_BUFFER_SIZE 252u

/* ---- Records ---------------------------------------------------------- */

/* Tuning record copied into the context at creation (356 bytes). */
typedef struct cal_settings {
    int8_t dump_tag;          /* 0: carried into the state dump only */
    uint8_t focus_abs_sum;    /* 1: 1 selects the absolute-sum focus measure */
    uint8_t focus_tapered;    /* 2: 1 selects the tapered focus measure */
    int8_t gain_rows;         /* 3 */
    int8_t gain_cols;         /* 4 */
    int8_t gain_shift;        /* 5: fraction bits of generated gains */
    int8_t win_rows;          /* 6 */
    int8_t win_cols;          /* 7 */
    int8_t dcc_shift;         /* 8: fraction bits of stored DCC values */
    uint8_t reserved0[3];     /* 9 */
    float filter_taps[31];    /* 12 */
    uint8_t filter_tap_count; /* 136 */
    int8_t sweep_frames;      /* 137 */
    int8_t max_shift;         /* 138: search range in sensor pixels */
    int8_t trim_frames;       /* 139 */
    int8_t min_pd_range;      /* 140 */
    uint8_t reserved1[3];     /* 141 */
    float win_margin;         /* 144: window enlargement, in grid cells */
    float dcc_dev_limit[48];  /* 148 */
    float residual_limit;     /* 340 */
    int8_t pd_pitch_2pd;      /* 344 */
    uint8_t reserved2[3];     /* 345 */
    float lens_min;           /* 348 */
    float lens_max;           /* 352 */
} cal_settings;

/* PD layout of a sensor (2,072 bytes). */
typedef struct sensor_cfg {
    uint16_t reserved0[2];
    uint16_t image_width;
    uint16_t image_height;
    uint16_t black_level;
    uint16_t reserved1;
    uint16_t block_width;
    uint16_t block_height;
    uint16_t margin_x;
    uint16_t margin_y;
    uint16_t pair_count;
    uint16_t left_x[128];
    uint16_t left_y[128];
    uint16_t right_x[128];
    uint16_t right_y[128];
    uint16_t v_left_x[128];
    uint16_t v_left_y[128];
    uint16_t v_right_x[128];
    uint16_t v_right_y[128];
    uint16_t bayer_channel; /* 1..4 fixed; 0 or 5+ detected from the frame */
} sensor_cfg;

/* Gain map (2,054 bytes); gains are fixed point with unity 512. */
typedef struct gainmap {
    uint8_t version;  /* always 4 when generated */
    uint8_t reserved; /* never written by the library */
    uint16_t cols;
    uint16_t rows;
    uint16_t left[256];
    uint16_t right[256];
    uint16_t left_v[256];
    uint16_t right_v[256];
} gainmap;

/* Limits a generated gain map is checked against (8 bytes). */
typedef struct gain_limits {
    uint16_t max_gain;
    uint16_t min_level;
    uint16_t max_level;
    uint16_t level_window;
} gain_limits;

/* DCC map (8 + 2 x windows bytes, at most 104). */
typedef struct dccmap {
    uint8_t version;  /* 4 */
    uint8_t reserved; /* never written by the library */
    uint16_t dcc_shift;
    uint16_t win_cols;
    uint16_t win_rows;
    int16_t dcc[48];
} dccmap;

/* The zero-PD offset block as read back (100 bytes). */
typedef struct zero_pd_map {
    uint16_t win_cols;
    uint16_t win_rows;
    int16_t offset[48]; /* zero_pd_lens - peak_lens per window, lens units */
} zero_pd_map;

/* Output of the PD readouts (580 bytes). */
typedef struct pd_map {
    uint16_t cols;
    uint16_t rows;
    float pd[144];
} pd_map;

/* The calibration context (about 217 MB); opaque to the host. */
typedef struct cal_context cal_context;

/* Every entry point that returns a status word returns ORVANE_HARD_FAILURE,
 * having written nothing, for a null pointer argument or inputs beyond the
 * capacities above; the flags each can raise besides are listed with it. */

/* ---- Context ------------------------------------------------------------ */

/* Orvane_create():
 * Allocates a zero-filled context and copies `settings` (not null) into it.
 * @return the context, to release with Orvane_destroy; NULL if the
 *         allocation failed or `settings` is NULL. */
ORVANE_API cal_context* Orvane_create(const cal_settings* settings);

/* Orvane_destroy():
 * Frees a context made by Orvane_create.
 * @return 0; -1 (nothing done) for NULL. */
ORVANE_API int32_t Orvane_destroy(cal_context* ctx);

/* ---- Identification ---------------------------------------------------- */

/* Orvane_get_lib_version(), Orvane_get_lib_features():
 * Write the version line, or the feature lines, and a NUL into `buffer`
 * (at least ORVANE_LIB_VERSION_BUFFER_SIZE / ORVANE_LIB_FEATURES_BUFFER_SIZE
 * bytes).
 * @return the characters written, without the NUL; -1 for a NULL buffer. */
ORVANE_API int32_t Orvane_get_lib_version(char* buffer);
ORVANE_API int32_t Orvane_get_lib_features(char* buffer);

/* ---- Sensor configuration check ----------------------------------------- */

/* Orvane_validate_sensor_cfg():
 * Extracts the PD images of the raw frame `raw` by the horizontal layout of
 * `cfg` into `left` and `right`, so a host can check a configuration; no
 * context, no black level.
 * @return 0, or ORVANE_LAYOUT_UNUSABLE (the images then untouched). */
ORVANE_API uint32_t Orvane_validate_sensor_cfg(const uint16_t* raw, const sensor_cfg* cfg,
                                               uint16_t* left, uint16_t* right);

/* ---- Gain map ------------------------------------------------------------ */

/* Orvane_get_gainmap(), Orvane_get_gainmap_vertical():
 * Generates the gain map of the flat-field raw frame `raw` (horizontal or
 * vertical layout of `cfg`) into `map` and checks it against `limits`; the
 * grid size is recorded in the context's state.
 * @return 0, or the OR of ORVANE_LAYOUT_UNUSABLE, ORVANE_LEVEL_TOO_HIGH,
 *         ORVANE_LEVEL_TOO_LOW and ORVANE_GAIN_TOO_HIGH. */
ORVANE_API uint32_t Orvane_get_gainmap(cal_context* ctx, const uint16_t* raw,
                                       const sensor_cfg* cfg, gainmap* map,
                                       const gain_limits* limits);
ORVANE_API uint32_t Orvane_get_gainmap_vertical(cal_context* ctx, const uint16_t* raw,
                                                const sensor_cfg* cfg, gainmap* map,
                                                const gain_limits* limits);

/* Orvane_get_gainmap_2pd():
 * The same for a dual-photodiode sensor from its two flat-field images
 * (`width` x `height`, `black_level`), taken at `lens_position`.
 * @return 0, or the OR of ORVANE_LENS_OUT_OF_RANGE and the gain map flags
 *         above; a lens position out of range still gives the map. */
ORVANE_API uint32_t Orvane_get_gainmap_2pd(cal_context* ctx, const uint16_t* left,
                                           const uint16_t* right, int32_t width, int32_t height,
                                           int32_t black_level, gainmap* map,
                                           const gain_limits* limits, float lens_position);

/* ---- Frame intake and PD readout ----------------------------------------- */

/* Orvane_add_raw(), Orvane_add_raw_vertical():
 * Adds one raw frame of the lens sweep, taken at `lens_position`, as frame
 * `frame_index` (0..ORVANE_FRAME_SLOTS-1): its PD images (horizontal or
 * vertical layout of `cfg`), corrected by `map`, give each window's
 * disparity; the focus measure runs on the frame's colour channel only when
 * that succeeded.
 * @return 0; ORVANE_LAYOUT_UNUSABLE; the OR of ORVANE_PD_AT_EDGE and
 *         ORVANE_INVALID_ROI; ORVANE_FOCUS_FAILED; or ORVANE_HARD_FAILURE
 *         when no colour channel can be found. */
ORVANE_API uint32_t Orvane_add_raw(cal_context* ctx, int32_t frame_index, int32_t lens_position,
                                   const uint16_t* raw, const sensor_cfg* cfg,
                                   const gainmap* map);
ORVANE_API uint32_t Orvane_add_raw_vertical(cal_context* ctx, int32_t frame_index,
                                            int32_t lens_position, const uint16_t* raw,
                                            const sensor_cfg* cfg, const gainmap* map);

/* Orvane_add_raw_2pd():
 * The same for a dual-photodiode sensor's two images (`width` x `height`,
 * `black_level`); `lens_position_f` is checked against the settings' lens
 * range. The two images are corrected in place; afterwards left holds their
 * mean, on which the focus measure always runs.
 * @return 0, or the OR of ORVANE_LENS_OUT_OF_RANGE, ORVANE_PD_AT_EDGE,
 *         ORVANE_INVALID_ROI and ORVANE_FOCUS_FAILED. */
ORVANE_API uint32_t Orvane_add_raw_2pd(cal_context* ctx, int32_t frame_index,
                                       int32_t lens_position, uint16_t* left, uint16_t* right,
                                       int32_t width, int32_t height, int32_t black_level,
                                       const gainmap* map, float lens_position_f);

/* Orvane_get_raw_pd(), Orvane_get_raw_pd_2pd():
 * Measures each window's disparity of one frame into `out`, without a focus
 * measure and without adding the frame to the sweep (frame slot 1 is used as
 * scratch). The 2pd form corrects the two images in place.
 * @return 0, ORVANE_LAYOUT_UNUSABLE (raw form), or the OR of
 *         ORVANE_PD_AT_EDGE and ORVANE_INVALID_ROI. */
ORVANE_API uint32_t Orvane_get_raw_pd(cal_context* ctx, const uint16_t* raw,
                                      const sensor_cfg* cfg, const gainmap* map, pd_map* out);
ORVANE_API uint32_t Orvane_get_raw_pd_2pd(cal_context* ctx, uint16_t* left, uint16_t* right,
                                          int32_t width, int32_t height, int32_t black_level,
                                          const gainmap* map, pd_map* out);

/* ---- DCC map ---------------------------------------------------------------- */

/* Orvane_get_dccmap():
 * Ends the lens sweep: fits each window's PD against the lens position and
 * writes the DCC map into `map`, the results into the state (dcc_flags),
 * and, when `dump_path` is not NULL, the state to that file (orvane_state.h;
 * a file that cannot be opened is reported as a message). The frame count
 * starts again at 0.
 * @return 0, or the OR of ORVANE_NOT_MONOTONIC, ORVANE_TOO_FEW_FRAMES,
 *         ORVANE_DCC_DEVIATION, ORVANE_PD_RANGE_LOW and ORVANE_PEAK_AT_END. */
ORVANE_API uint32_t Orvane_get_dccmap(cal_context* ctx, dccmap* map, const char* dump_path);

/* ---- Calibration blocks -----------------------------------------------------
 * The writers fill `out` (ORVANE_BLOCK_BUFFER_SIZE bytes, both layouts
 * ORVANE_BLOCK_HV_BUFFER_SIZE, curve of field ORVANE_BLOCK_COF_BUFFER_SIZE)
 * with the block and a checksum byte.
 * @return the offset of the checksum byte (block length - 1), or -1 for a
 *         null pointer or a record claiming more cells or windows than it
 *         can hold. */

/* Orvane_get_calibration_block(), Orvane_get_calibration_block_vertical():
 * The block of one layout's gain map and DCC map. */
ORVANE_API int32_t Orvane_get_calibration_block(const gainmap* map, const dccmap* dcc,
                                                uint8_t* out);
ORVANE_API int32_t Orvane_get_calibration_block_vertical(const gainmap* map, const dccmap* dcc,
                                                         uint8_t* out);

/* Orvane_get_calibration_block_horizontal_vertical():
 * The block of both layouts' maps. The _without_dcc form leaves out the
 * vertical layout's DCC map and ignores `unused`. */
ORVANE_API int32_t Orvane_get_calibration_block_horizontal_vertical(const gainmap* map_h,
                                                                    const dccmap* dcc_h,
                                                                    const gainmap* map_v,
                                                                    const dccmap* dcc_v,
                                                                    uint8_t* out);
ORVANE_API int32_t Orvane_get_calibration_block_horizontal_vertical_without_dcc(
    const gainmap* map_h, const dccmap* dcc_h, const gainmap* map_v, const void* unused,
    uint8_t* out);

/* Orvane_get_calibration_curve_of_field_block():
 * The curve-of-field block: each window's focus-peak lens position of the
 * last DCC map of `ctx`. */
ORVANE_API int32_t Orvane_get_calibration_curve_of_field_block(const cal_context* ctx,
                                                               uint8_t* out);

/* Orvane_read_calibration_block():
 * Reads a single-layout calibration block back into `map` and `dcc`.
 * @return 0 for an intact block; ORVANE_HARD_FAILURE for a wrong format
 *         tag or checksum (the parsed values stay in the records). */
ORVANE_API uint32_t Orvane_read_calibration_block(gainmap* map, dccmap* dcc,
                                                  const uint8_t* block);

/* Orvane_get_calibration_zero_pd_offset_block():
 * After Orvane_get_dccmap, the lens offset of every
 * window between zero disparity and the contrast peak (zero_pd_lens -
 * peak_lens, lens units). In a sparse PD layout the two pixels of a pair sit
 * apart, so disparity is not zero at focus; a host lands on focus with
 *     lens - DCC x disparity - offset.
 * Layout (big-endian 16-bit fields): tag 2, win_cols, win_rows, one signed
 * offset per window (row-major), then an 8-bit additive checksum of all
 * bytes before it. The first ORVANE_BLOCK_ZERO_PD_BUFFER_SIZE bytes of `out`
 * are cleared first.
 * @return the offset of the checksum byte (block length - 1); -1, with
 *         nothing written, for a null pointer or more than 48 windows. */
ORVANE_API int32_t Orvane_get_calibration_zero_pd_offset_block(const cal_context* ctx,
                                                               uint8_t* out);

/* Orvane_read_zero_pd_offset_block():
 * Reads a zero-PD offset block of `size` bytes (at least the block's own
 * length; trailing bytes are ignored).
 * @return 0 for an intact block, which fills `map` (unused windows 0);
 *         ORVANE_HARD_FAILURE for a null pointer, a block shorter than its
 *         header claims, another tag, more than 48 windows or a checksum
 *         mismatch, and then `map` is left as it was. */
ORVANE_API uint32_t Orvane_read_zero_pd_offset_block(const uint8_t* block, uint32_t size,
                                                     zero_pd_map* map);

/* ---- Diagnostics ------------------------------------------------------------
 * The library reports three conditions as text, none of which changes a
 * result: "Error: Invalid ROI coordinates. \n", "line width problem\n" and
 * "Cannot open file for write: <path>\n". Without a handler they are printed
 * to standard output. */

/* Receives one message: `text` is the whole line, newline included; `ctx` is
 * the context whose call raised it (NULL where none was at hand); `user` is
 * the pointer given at installation. The text lives only for the call. */
typedef void (*orvane_message_handler)(void* user, const cal_context* ctx, const char* text);

/* Orvane_set_message_handler():
 * Routes every later message of the process to `handler`, with `user`;
 * NULL restores standard output. Safe to call while other threads run
 * calibrations: a message goes wholly to the old or the new handler. The
 * library holds a lock while the handler runs, so its calls never overlap
 * (messages from threads are serialised) and, once this call returns, the
 * old handler is neither running nor called again. The handler may call the
 * library but must not wait for another thread that does. */
ORVANE_API void Orvane_set_message_handler(orvane_message_handler handler, void* user);

#ifdef __cplusplus
}
#endif

/* ---- Layout checks ------------------------------------------------------ */
#ifdef __cplusplus
#define ORVANE_STATIC_ASSERT static_assert
#else
#define ORVANE_STATIC_ASSERT _Static_assert
#endif
ORVANE_STATIC_ASSERT(sizeof(cal_settings) == 356, "cal_settings is 356 bytes");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, gain_rows) == 3, "gain_rows");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, dcc_shift) == 8, "dcc_shift");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, filter_taps) == 12, "filter_taps");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, filter_tap_count) == 136, "filter_tap_count");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, sweep_frames) == 137, "sweep_frames");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, max_shift) == 138, "max_shift");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, trim_frames) == 139, "trim_frames");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, min_pd_range) == 140, "min_pd_range");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, win_margin) == 144, "win_margin");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, dcc_dev_limit) == 148, "dcc_dev_limit");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, residual_limit) == 340, "residual_limit");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, pd_pitch_2pd) == 344, "pd_pitch_2pd");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, lens_min) == 348, "lens_min");
ORVANE_STATIC_ASSERT(offsetof(cal_settings, lens_max) == 352, "lens_max");

ORVANE_STATIC_ASSERT(sizeof(sensor_cfg) == 2072, "sensor_cfg is 2,072 bytes");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, image_width) == 4, "image_width");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, black_level) == 8, "black_level");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, block_width) == 12, "block_width");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, margin_x) == 16, "margin_x");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, pair_count) == 20, "pair_count");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, left_x) == 22, "left_x");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, left_y) == 278, "left_y");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, right_x) == 534, "right_x");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, right_y) == 790, "right_y");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, v_left_x) == 1046, "v_left_x");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, v_left_y) == 1302, "v_left_y");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, v_right_x) == 1558, "v_right_x");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, v_right_y) == 1814, "v_right_y");
ORVANE_STATIC_ASSERT(offsetof(sensor_cfg, bayer_channel) == 2070, "bayer_channel");

ORVANE_STATIC_ASSERT(sizeof(gainmap) == 2054, "gainmap is 2,054 bytes");
ORVANE_STATIC_ASSERT(offsetof(gainmap, cols) == 2, "cols");
ORVANE_STATIC_ASSERT(offsetof(gainmap, rows) == 4, "rows");
ORVANE_STATIC_ASSERT(offsetof(gainmap, left) == 6, "left");
ORVANE_STATIC_ASSERT(offsetof(gainmap, right) == 518, "right");
ORVANE_STATIC_ASSERT(offsetof(gainmap, left_v) == 1030, "left_v");
ORVANE_STATIC_ASSERT(offsetof(gainmap, right_v) == 1542, "right_v");

ORVANE_STATIC_ASSERT(sizeof(gain_limits) == 8, "gain_limits is 8 bytes");
ORVANE_STATIC_ASSERT(offsetof(gain_limits, level_window) == 6, "level_window");

ORVANE_STATIC_ASSERT(sizeof(dccmap) == 104, "dccmap is 104 bytes");
ORVANE_STATIC_ASSERT(offsetof(dccmap, dcc_shift) == 2, "dcc_shift");
ORVANE_STATIC_ASSERT(offsetof(dccmap, win_cols) == 4, "win_cols");
ORVANE_STATIC_ASSERT(offsetof(dccmap, win_rows) == 6, "win_rows");
ORVANE_STATIC_ASSERT(offsetof(dccmap, dcc) == 8, "dcc");

ORVANE_STATIC_ASSERT(sizeof(zero_pd_map) == 100, "zero_pd_map is 100 bytes");
ORVANE_STATIC_ASSERT(offsetof(zero_pd_map, offset) == 4, "offset");

ORVANE_STATIC_ASSERT(sizeof(pd_map) == 580, "pd_map is 580 bytes");
ORVANE_STATIC_ASSERT(offsetof(pd_map, pd) == 4, "pd");

#endif /* ORVANE_H */
