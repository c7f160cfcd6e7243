#include "simulation/tuning.h"

#include <algorithm>
#include <cstdio>

namespace orvane_tool {
namespace {

// Profile filter: a binomial low-pass that keeps the bar edges (several PD
// samples wide) and takes the pixel noise and the sampling ripple off the SAD
// curve, so its minimum is smooth enough for the parabola.
constexpr float kTaps[] = {1.0f / 16, 4.0f / 16, 6.0f / 16, 4.0f / 16, 1.0f / 16};

constexpr uint32_t kWindowPixels = 192;

int8_t clamp_i8(int v) { return static_cast<int8_t>(std::clamp(v, 0, 127)); }

}  // namespace

cal_settings tuned_settings(const orvane_sim::sensor_model& m, layout kind) {
    cal_settings s{};
    s.dump_tag = 0;
    // The line-pattern focus measure needs the bar chart; a natural scene takes
    // the absolute sum of the band-passed window.
    s.focus_abs_sum = m.chart == orvane_sim::chart_kind::natural ? 1 : 0;
    s.focus_tapered = 0;

    // The application holds the last cell's gain over the last 1/cells of each
    // axis, where the phases' opposite shading along the split is left
    // uncorrected. Vignetting across the split is smooth: the 256 cells go
    // along the split, 64 of them (4 across), never more than one per two PD
    // samples.
    uint32_t pd_w = 0, pd_h = 0;
    orvane_sim::image_size(m, kind, pd_w, pd_h);
    if (kind != layout::dual) {
        const uint32_t blocks_x = (m.width - 2u * m.margin) / m.block_size;
        const uint32_t blocks_y = (m.height - 2u * m.margin) / m.block_size;
        pd_w = kind == layout::vertical ? blocks_x : blocks_x * m.pd_pairs;
        pd_h = kind == layout::vertical ? blocks_y * m.pd_pairs : blocks_y;
    }
    const uint32_t along = kind == layout::vertical ? pd_h : pd_w;
    const int cells = std::clamp(static_cast<int>(along / 2), 4, 64);
    s.gain_rows = static_cast<int8_t>(kind == layout::vertical ? cells : 4);
    s.gain_cols = static_cast<int8_t>(kind == layout::vertical ? 4 : cells);
    s.gain_shift = 9;  // gains as true ratios (unity 512)

    // Windows of about 200 pixels, at most 8 x 6 (the 48 a DCC map holds), each
    // widened by a quarter cell on every side so the correlation sees several bar
    // periods and the focus measure a dozen bars.
    s.win_cols = static_cast<int8_t>(std::clamp(static_cast<int>(m.width / kWindowPixels), 1, 8));
    s.win_rows = static_cast<int8_t>(std::clamp(static_cast<int>(m.height / kWindowPixels), 1, 6));
    s.win_margin = 0.25f;

    // DCC of the module is 13..17 lens units per pixel: 10 fraction bits keep
    // 0.001 resolution and stay below the int16 limit up to 31.9.
    s.dcc_shift = 10;

    constexpr int kTapCount = static_cast<int>(sizeof kTaps / sizeof kTaps[0]);
    std::copy(kTaps, kTaps + kTapCount, s.filter_taps);
    s.filter_tap_count = kTapCount;

    // Twelve lens positions over +-13 pixels of centroid separation; the search
    // range of 32 pixels leaves room for the field's spread of focus and DCC and
    // for the correlation running ahead of the separation as the half-disc
    // blurs grow, while the bar period (64 pixels) keeps its neighbouring minima
    // out of the range.
    const int frames = 12;
    s.sweep_frames = static_cast<int8_t>(frames);
    s.max_shift = 32;
    // The fit takes the central eight frames (about +-9 pixels), where the
    // measured disparity is closest to linear in the lens position: measured
    // over the three layouts, both charts and seeds 1-3, this keeps the one-shot
    // error as low as fitting ten or twelve frames and halves the DCC's bias.
    s.trim_frames = 2;
    s.min_pd_range = 8;  // a window must see at least 8 pixels of disparity change

    // A zero-disparity lens position more than 8% of the sweep away from the
    // focus peak means a window's PD and contrast disagree. The raw layouts'
    // pairs put their two pixels one pixel apart along the split, which alone
    // moves zero disparity by one DCC (13..18 lens units, up to 4% of the sweep).
    for (float& limit : s.dcc_dev_limit) limit = 0.08f;
    s.residual_limit = 0.02f;

    s.pd_pitch_2pd = clamp_i8(kind == layout::dual ? m.dual_binning : 1);
    s.lens_min = 0.0f;
    s.lens_max = 1023.0f;
    return s;
}

gain_limits tuned_limits(const orvane_sim::sensor_model& m, layout) {
    gain_limits l{};
    l.max_gain = 3 * 512;                                     // at most 3x correction
    l.min_level = static_cast<uint16_t>(m.black_level + 64);  // clearly above the black level
    l.max_level = static_cast<uint16_t>(m.white_level - 64);  // clearly below clipping
    l.level_window = 8;
    return l;
}

std::string describe_settings(const cal_settings& s, const gain_limits& l, layout kind) {
    char buf[1024];
    std::string taps;
    for (int i = 0; i < s.filter_tap_count && i < 31; ++i) {
        char t[32];
        std::snprintf(t, sizeof t, "%s%.4g", i ? " " : "", static_cast<double>(s.filter_taps[i]));
        taps += t;
    }
    std::snprintf(buf, sizeof buf,
                  "  window grid      %d x %d (cols x rows), margin %.2f cell\n"
                  "  gain grid        %d x %d (cols x rows), gain shift %d\n"
                  "  gain limits      max gain %u, level %u..%u, level window %u\n"
                  "  profile filter   %d taps [%s]\n"
                  "  search range     %d px%s\n"
                  "  sweep            %d frames, %d trimmed at each end, min PD range %d px\n"
                  "  DCC              shift %d, zero-PD deviation limit %.3g, residual limit %.3g\n"
                  "  focus measure    %s\n",
                  s.win_cols, s.win_rows, static_cast<double>(s.win_margin), s.gain_cols,
                  s.gain_rows, s.gain_shift, l.max_gain, l.min_level, l.max_level, l.level_window,
                  s.filter_tap_count, taps.c_str(), s.max_shift,
                  kind == layout::dual
                      ? (", PD pitch " + std::to_string(s.pd_pitch_2pd) + " px").c_str()
                      : "",
                  s.sweep_frames, s.trim_frames, s.min_pd_range, s.dcc_shift,
                  static_cast<double>(s.dcc_dev_limit[0]), static_cast<double>(s.residual_limit),
                  s.focus_abs_sum == 1   ? "absolute sum"
                  : s.focus_tapered == 1 ? "tapered"
                                         : "line pattern");
    return buf;
}

}  // namespace orvane_tool
