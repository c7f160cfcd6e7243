#include "simulation/tuning.h"

#include <algorithm>
#include <cstdio>

#include "io/settings_defaults.h"

namespace orvane_tool {
namespace {

int8_t clamp_i8(int v) { return static_cast<int8_t>(std::clamp(v, 0, 127)); }

}  // namespace

// The defaults every module of this layout and size gets (io/settings_defaults.h),
// and what the simulated module adds: its chart, its binning, its actuator.
cal_settings tuned_settings(const orvane_sim::sensor_model& m, layout kind) {
    io::module_shape shape;
    if (kind == layout::dual) {
        uint32_t pd_w = 0, pd_h = 0;
        orvane_sim::image_size(m, kind, pd_w, pd_h);
        shape = io::shape_of_dual(pd_w, pd_h, m.dual_binning);
    } else {
        shape = io::shape_of(orvane_sim::make_sensor_cfg(m, kind), kind);
    }
    cal_settings s = io::default_settings(shape);
    // The line-pattern focus measure needs the bar chart; a natural scene takes
    // the absolute sum of the band-passed window.
    s.focus_abs_sum = m.chart == orvane_sim::chart_kind::natural ? 1 : 0;
    s.pd_pitch_2pd = clamp_i8(kind == layout::dual ? m.dual_binning : 1);
    s.lens_min = 0.0f;
    s.lens_max = 1023.0f;  // a 10-bit actuator
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
