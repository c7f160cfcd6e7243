#include "io/settings_defaults.h"

#include <algorithm>
#include <iterator>

namespace orvane_tool::io {
namespace {

// Profile filter: a binomial low-pass that keeps the bar edges (several PD
// samples wide) and takes the pixel noise and the sampling ripple off the SAD
// curve, so its minimum is smooth enough for the parabola.
constexpr float kTaps[] = {1.0f / 16, 4.0f / 16, 6.0f / 16, 4.0f / 16, 1.0f / 16};

constexpr uint32_t kWindowPixels = 192;

constexpr setting_default kDefaults[] = {
    {"dump_tag", default_kind::value, "0", "tag written into the state dump"},
    {"focus_abs_sum", default_kind::value, "0",
     "1: focus measure as the absolute sum of the band-passed window (a natural scene); 0: the "
     "line-pattern measure of the bar chart"},
    {"focus_tapered", default_kind::value, "0", "1: the tapered focus measure"},
    {"gain_rows", default_kind::value, "4 across the split; vertical: as gain_cols",
     "rows of the gain map"},
    {"gain_cols", default_kind::value, "half the PD samples along the split, 4..64; vertical: 4",
     "columns of the gain map"},
    {"gain_shift", default_kind::value, "9", "fraction bits of a gain (9: 512 is unity)"},
    {"win_rows", default_kind::value, "sensor height / 192, 1..6", "rows of AF windows"},
    {"win_cols", default_kind::value, "sensor width / 192, 1..8", "columns of AF windows"},
    {"dcc_shift", default_kind::value, "10",
     "fraction bits of the stored DCC (10: DCCs up to 31.9 lens units per pixel)"},
    {"filter_taps", default_kind::value, "[1, 4, 6, 4, 1] / 16",
     "profile filter taps (give filter_tap_count with them)"},
    {"filter_tap_count", default_kind::value, "5", "taps of filter_taps in use"},
    {"sweep_frames", default_kind::value, "12", "frames of the calibration sweep"},
    {"max_shift", default_kind::value, "32", "largest disparity searched, in PD samples, each way"},
    {"trim_frames", default_kind::value, "2",
     "frames left out of the DCC fit at each end of the sweep"},
    {"min_pd_range", default_kind::value, "8",
     "least disparity change over the fitted frames, in pixels, for a window to count"},
    {"win_margin", default_kind::value, "0.25",
     "widening of each window on every side, in window cells"},
    {"dcc_dev_limit", default_kind::value, "0.08 per window",
     "largest distance of zero disparity from the focus peak, as a share of the sweep"},
    {"residual_limit", default_kind::value, "0.02",
     "fit residual above which a disparity curve that steps back is flagged"},
    {"pd_pitch_2pd", default_kind::required_dual, "1 (dual: required)",
     "sensor pixels per PD sample of the dual layout's images"},
    {"lens_min", default_kind::required, "required",
     "the actuator's smallest lens code (lens units)"},
    {"lens_max", default_kind::required, "required",
     "the actuator's largest lens code (lens units, e.g. 1023 for a 10-bit actuator)"},
};

}  // namespace

module_shape shape_of(const sensor_cfg& c, layout kind) {
    module_shape s{kind, c.image_width, c.image_height, 1, 0};
    if (kind == layout::vertical) {
        if (c.block_height > 0 && c.image_height > 2 * c.margin_y)
            s.pd_along = (c.image_height - 2u * c.margin_y) / c.block_height * c.pair_count;
    } else if (c.block_width > 0 && c.image_width > 2 * c.margin_x) {
        s.pd_along = (c.image_width - 2u * c.margin_x) / c.block_width * c.pair_count;
    }
    return s;
}

module_shape shape_of_dual(uint32_t image_width, uint32_t image_height, uint32_t pd_pitch) {
    return {layout::dual, image_width, image_height, pd_pitch, image_width};
}

std::span<const setting_default> setting_defaults() {
    return kDefaults;
}

cal_settings default_settings(const module_shape& m) {
    cal_settings s{};
    // The application holds the last cell's gain over the last 1/cells of each
    // axis, where the phases' opposite shading along the split is left
    // uncorrected. Vignetting across the split is smooth: the cells go along
    // the split, 4 across, never more than one per two PD samples.
    const int cells = std::clamp(static_cast<int>(m.pd_along / 2), 4, 64);
    s.gain_rows = static_cast<int8_t>(m.kind == layout::vertical ? cells : 4);
    s.gain_cols = static_cast<int8_t>(m.kind == layout::vertical ? 4 : cells);
    s.gain_shift = 9;

    // Windows of about 200 pixels, at most 8 x 6 (the 48 a DCC map holds), each
    // widened by a quarter cell on every side so the correlation sees several bar
    // periods and the focus measure a dozen bars.
    s.win_cols =
        static_cast<int8_t>(std::clamp(static_cast<int>(m.width * m.pitch / kWindowPixels), 1, 8));
    s.win_rows =
        static_cast<int8_t>(std::clamp(static_cast<int>(m.height * m.pitch / kWindowPixels), 1, 6));
    s.win_margin = 0.25f;

    // 10 fraction bits keep 0.001 resolution and stay below the int16 limit
    // up to 31.9 lens units per pixel.
    s.dcc_shift = 10;

    std::copy(std::begin(kTaps), std::end(kTaps), s.filter_taps);
    s.filter_tap_count = static_cast<uint8_t>(std::size(kTaps));

    // Twelve lens positions over +-13 pixels of centroid separation; the search
    // range of 32 pixels leaves room for the field's spread of focus and DCC and
    // for the correlation running ahead of the separation as the blurs grow,
    // while the bar period (64 pixels) keeps its neighbouring minima out of it.
    s.sweep_frames = 12;
    s.max_shift = 32;
    // The fit takes the central eight frames (about +-9 pixels), where the
    // measured disparity is closest to linear in the lens position: measured
    // over the three layouts, both charts and seeds 1-3, this keeps the one-shot
    // error as low as fitting ten or twelve frames and halves the DCC's bias.
    s.trim_frames = 2;
    s.min_pd_range = 8;

    // A zero-disparity lens position more than 8% of the sweep away from the
    // focus peak means a window's PD and contrast disagree. The raw layouts'
    // pairs put their two pixels one pixel apart along the split, which alone
    // moves zero disparity by one DCC (13..18 lens units, up to 4% of the sweep).
    std::fill(std::begin(s.dcc_dev_limit), std::end(s.dcc_dev_limit), 0.08f);
    s.residual_limit = 0.02f;
    if (m.kind != layout::dual) s.pd_pitch_2pd = 1;
    return s;
}

}  // namespace orvane_tool::io
