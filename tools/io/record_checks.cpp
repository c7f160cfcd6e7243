#include "io/record_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

#include "io/fields.h"

namespace orvane_tool::io {

namespace {

// Capacities of the library's working buffers that orvane.h does not name.
constexpr int kMaxShiftRange = (ORVANE_SAD_CURVE_LEN - 1) / 2;  // PD samples each way
constexpr uint32_t kProfileCapacity = 6000;                     // entries per window profile
constexpr uint32_t kMaxImageSide = 65535;                       // image sizes are 16-bit
constexpr int kMaxGainShift = 15;  // peak << gain_shift must leave a gain that fits 16 bits
constexpr int kMaxDccShift = 30;   // 1 << 31 is no longer a positive scale

[[noreturn]] void refuse(const std::string& source, const std::string& field,
                         const std::string& why) {
    throw io_error(source + ": field '" + field + "': " + why);
}

std::string num(int64_t v) {
    return std::to_string(v);
}
std::string decimal(float v) {
    return shown(float_json(v));
}

// Thousands separated, as docs/library.md writes the capacities.
std::string count(uint64_t v) {
    const std::string digits = std::to_string(v);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// ---- window grid -----------------------------------------------------------------

// The library's window rectangle and cut-out size, in its order of
// operations: a window's size is a truncated product of single-precision
// fractions, so a reassociated form would move the limits.
float clamp01(float x) {
    if (x > 0.0f && x < 1.0f) return x;
    if (x >= 1.0f) return 1.0f;
    return 0.0f;  // x <= 0 or NaN
}

struct extent {
    uint32_t cols = 0;
    uint32_t rows = 0;
};

extent window_extent(uint32_t i, uint32_t j, uint32_t rows, uint32_t cols, float margin,
                     uint32_t image_width, uint32_t image_height) {
    const float fr = float(rows);
    const float fc = float(cols);
    const float mr = margin / fr;
    const float mc = margin / fc;
    const float top = clamp01(float(i) / fr - mr);
    const float bottom = clamp01(float(i + 1) / fr + mr);
    const float left = clamp01(float(j) / fc - mc);
    const float right = clamp01(float(j + 1) / fc + mc);
    const float width = clamp01(right - left);
    const float height = clamp01(bottom - top);
    // Fractions are in [0, 1] and sides at most 65535: no truncation wraps.
    return {static_cast<uint32_t>(float(image_width) * width),
            static_cast<uint32_t>(float(image_height) * height)};
}

// The largest columns, rows and samples of any window of the grid.
struct grid_extent {
    uint32_t cols = 0;
    uint32_t rows = 0;
    uint64_t samples = 0;
    extent largest;
};

grid_extent largest_windows(const cal_settings& s, uint32_t image_width, uint32_t image_height) {
    const auto rows = static_cast<uint32_t>(s.win_rows);
    const auto cols = static_cast<uint32_t>(s.win_cols);
    grid_extent g;
    for (uint32_t i = 0; i < rows; ++i) {
        for (uint32_t j = 0; j < cols; ++j) {
            const extent e =
                window_extent(i, j, rows, cols, s.win_margin, image_width, image_height);
            g.cols = std::max(g.cols, e.cols);
            g.rows = std::max(g.rows, e.rows);
            const uint64_t samples = uint64_t{e.cols} * e.rows;
            if (samples > g.samples) {
                g.samples = samples;
                g.largest = e;
            }
        }
    }
    return g;
}

std::string grid_of(const cal_settings& s) {
    return num(s.win_cols) + " x " + num(s.win_rows) + " grid with win_margin " +
           decimal(s.win_margin);
}

// Windows of one image: every cut-out within its buffer and, on the PD
// images, every profile within its buffer.
void check_windows(const cal_settings& s, const std::string& source, uint32_t width,
                   uint32_t height, const std::string& image, const char* profile_axis) {
    const grid_extent g = largest_windows(s, width, height);
    if (g.samples > ORVANE_ROI_CAPACITY)
        refuse(source, "win_rows",
               "a " + grid_of(s) + " cuts windows of up to " + num(g.largest.cols) + " x " +
                   num(g.largest.rows) + " samples out of the " + num(width) + " x " + num(height) +
                   " " + image + ", more than the " + count(ORVANE_ROI_CAPACITY) +
                   " of a window cut-out");
    if (profile_axis == nullptr) return;
    const bool by_rows = std::string(profile_axis) == "rows";
    const uint32_t longest = by_rows ? g.rows : g.cols;
    if (longest > kProfileCapacity)
        refuse(source, by_rows ? "win_rows" : "win_cols",
               "a " + grid_of(s) + " makes windows of up to " + num(longest) + " " + profile_axis +
                   " of the " + num(width) + " x " + num(height) + " " + image +
                   ", more than the " + count(kProfileCapacity) + " of a window profile");
}

// ---- settings on their own ----------------------------------------------------------

void check_settings(const cal_settings& s, layout kind, const std::string& src) {
    if (s.gain_rows < 1)
        refuse(src, "gain_rows", "is " + num(s.gain_rows) + ", expected 1 or more");
    if (s.gain_cols < 1)
        refuse(src, "gain_cols", "is " + num(s.gain_cols) + ", expected 1 or more");
    if (s.gain_rows * s.gain_cols > ORVANE_MAX_GAIN_CELLS)
        refuse(src, "gain_rows",
               num(s.gain_cols) + " x " + num(s.gain_rows) +
                   " cells (gain_cols x gain_rows) exceed the " + num(ORVANE_MAX_GAIN_CELLS) +
                   " of the gain tables");
    if (s.gain_shift < 0 || s.gain_shift > kMaxGainShift)
        refuse(
            src, "gain_shift",
            "is " + num(s.gain_shift) + ", expected 0.." + num(kMaxGainShift) +
                " (a unity gain of 1 << gain_shift must fit 16 bits; 9 makes gains true ratios)");

    if (s.win_rows < 1) refuse(src, "win_rows", "is " + num(s.win_rows) + ", expected 1 or more");
    if (s.win_cols < 1) refuse(src, "win_cols", "is " + num(s.win_cols) + ", expected 1 or more");
    if (s.win_rows * s.win_cols > ORVANE_MAX_DCC_WINDOWS)
        refuse(src, "win_rows",
               num(s.win_cols) + " x " + num(s.win_rows) +
                   " windows (win_cols x win_rows) exceed the " + num(ORVANE_MAX_DCC_WINDOWS) +
                   " of a DCC map");
    if (!std::isfinite(s.win_margin))
        refuse(src, "win_margin", "expected a finite number, got " + decimal(s.win_margin));
    if (s.dcc_shift < 0 || s.dcc_shift > kMaxDccShift)
        refuse(src, "dcc_shift", "is " + num(s.dcc_shift) + ", expected 0.." + num(kMaxDccShift));

    if (s.filter_tap_count < 1)
        refuse(src, "filter_tap_count",
               "is 0: without taps every profile is 0 and nothing is measured");
    bool any_tap = false;
    for (int k = 0; k < s.filter_tap_count && k < ORVANE_MAX_FILTER_TAPS; ++k) {
        if (!std::isfinite(s.filter_taps[k]))
            refuse(src, "filter_taps[" + num(k) + "]",
                   "expected a finite number, got " + decimal(s.filter_taps[k]));
        any_tap = any_tap || s.filter_taps[k] != 0.0f;
    }
    if (!any_tap)
        refuse(
            src, "filter_taps",
            "the " + num(s.filter_tap_count) + " taps in use are all 0: every profile would be 0");

    if (s.sweep_frames < 2 || s.sweep_frames > ORVANE_FRAME_SLOTS)
        refuse(src, "sweep_frames",
               "is " + num(s.sweep_frames) + ", expected 2 to " + num(ORVANE_FRAME_SLOTS) +
                   " (the frame slots; a DCC fit needs two frames)");
    const int fitted = s.sweep_frames - 2 * s.trim_frames;
    if (s.trim_frames < 0 || fitted < 2)
        refuse(src, "trim_frames",
               "is " + num(s.trim_frames) + ": of " + num(s.sweep_frames) +
                   " sweep frames, 2 or more must remain for the DCC fit after trimming each end");
    if (s.max_shift < 0) refuse(src, "max_shift", "is " + num(s.max_shift) + ", expected 0..127");

    if (kind == layout::dual) {
        if (s.pd_pitch_2pd < 1)
            refuse(src, "pd_pitch_2pd", "is " + num(s.pd_pitch_2pd) + ", expected 1..127");
        if (std::isnan(s.lens_min)) refuse(src, "lens_min", "expected a number, got \"nan\"");
        if (std::isnan(s.lens_max)) refuse(src, "lens_max", "expected a number, got \"nan\"");
        if (s.lens_min > s.lens_max)
            refuse(src, "lens_max",
                   "is " + decimal(s.lens_max) + ", below lens_min " + decimal(s.lens_min) +
                       ": every lens position would be out of range");
    }
}

void check_limits(const gain_limits& l, const cal_settings& s, const record_names& names) {
    if (l.min_level > l.max_level)
        refuse(names.limits, "max_level",
               "is " + num(l.max_level) + ", below min_level " + num(l.min_level) +
                   ": every flat field would be flagged");
    const int64_t unity = int64_t{1} << s.gain_shift;
    if (l.max_gain < unity)
        refuse(names.limits, "max_gain",
               "is " + num(l.max_gain) + ", below the unity gain " + num(unity) + " of " +
                   names.settings + "'s gain_shift " + num(s.gain_shift) +
                   ": every gain map would be flagged");
}

// ---- the sensor's PD layout -----------------------------------------------------

// What the library derives from a usable layout.
struct pd_geometry {
    uint32_t width = 0;  // PD images
    uint32_t height = 0;
    uint32_t pitch = 0;          // sensor pixels per PD sample along the shift
    uint32_t channel_width = 0;  // image of the focus measure: one Bayer channel
    uint32_t channel_height = 0;
};

// Block sizes that are not a power of two use the next larger one.
uint32_t block_shift(uint32_t size) {
    uint32_t s = 0;
    while ((uint32_t{1} << s) < size) ++s;
    return s;
}

// Mean of the first two gaps between the distinct values of the sorted
// table, the fallback when there are fewer than two.
uint32_t pd_pitch(std::vector<uint16_t> keys, uint32_t fallback) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    if (keys.size() < 2) return fallback;
    const uint32_t d1 = uint32_t{keys[1]} - keys[0];
    if (keys.size() == 2) return d1;
    return (d1 + (uint32_t{keys[2]} - keys[1])) / 2;
}

pd_geometry check_sensor(const sensor_cfg& c, layout kind, const std::string& src) {
    const bool vertical = kind == layout::vertical;
    const char* const names[4] = {
        vertical ? "v_left_x" : "left_x", vertical ? "v_left_y" : "left_y",
        vertical ? "v_right_x" : "right_x", vertical ? "v_right_y" : "right_y"};
    const uint16_t* const tables[4] = {
        vertical ? c.v_left_x : c.left_x, vertical ? c.v_left_y : c.left_y,
        vertical ? c.v_right_x : c.right_x, vertical ? c.v_right_y : c.right_y};
    const char* const layout_text = vertical ? "vertical" : "horizontal";
    const uint32_t n = c.pair_count;
    if (n == 0) refuse(src, "pair_count", "is 0: there are no PD pixels to extract");
    if (n > ORVANE_MAX_PD_PAIRS)
        refuse(src, "pair_count",
               "is " + num(n) + ", expected at most " + num(ORVANE_MAX_PD_PAIRS));
    if (c.block_width == 0) refuse(src, "block_width", "is 0, expected 1 or more");
    if (c.block_height == 0) refuse(src, "block_height", "is 0, expected 1 or more");

    const uint32_t w = c.image_width;
    const uint32_t h = c.image_height;
    if (2 * uint32_t{c.margin_x} > w)
        refuse(src, "margin_x",
               "is " + num(c.margin_x) + ", more than half the image_width " + num(w));
    if (2 * uint32_t{c.margin_y} > h)
        refuse(src, "margin_y",
               "is " + num(c.margin_y) + ", more than half the image_height " + num(h));
    const uint32_t shx = block_shift(c.block_width);
    const uint32_t shy = block_shift(c.block_height);
    const uint32_t block_cols = (w - 2 * uint32_t{c.margin_x}) >> shx;
    const uint32_t block_rows = (h - 2 * uint32_t{c.margin_y}) >> shy;
    if (block_cols == 0)
        refuse(src, "block_width",
               "a block " + num(uint32_t{1} << shx) +
                   " pixels wide (the power of two the library "
                   "rounds " +
                   num(c.block_width) + " up to) does not fit the " +
                   num(w - 2 * uint32_t{c.margin_x}) + " columns between the margins");
    if (block_rows == 0)
        refuse(src, "block_height",
               "a block " + num(uint32_t{1} << shy) +
                   " pixels high (the power of two the library "
                   "rounds " +
                   num(c.block_height) + " up to) does not fit the " +
                   num(h - 2 * uint32_t{c.margin_y}) + " rows between the margins");

    bool given = false;
    for (const uint16_t* t : tables)
        for (uint32_t i = 0; i < n; ++i) given = given || t[i] != 0;
    if (!given)
        refuse(src, names[0],
               std::string("the ") + layout_text + " layout's tables (" + names[0] + ", " +
                   names[1] + ", " + names[2] + ", " + names[3] +
                   ") are not given or all 0, but the capture set's layout is " + layout_text);
    // Coordinates are offsets within a block; then every PD pixel of every
    // block lies inside the frame.
    for (int t = 0; t < 4; ++t) {
        const bool x = t % 2 == 0;
        const uint32_t limit = x ? c.block_width : c.block_height;
        for (uint32_t i = 0; i < n; ++i) {
            if (tables[t][i] >= limit)
                refuse(src, std::string(names[t]) + "[" + num(i) + "]",
                       "is " + num(tables[t][i]) + ", outside the block (" +
                           (x ? "block_width " : "block_height ") + num(limit) + ")");
        }
    }
    std::set<std::pair<uint16_t, uint16_t>> first_pixels;
    for (uint32_t i = 0; i < n; ++i) first_pixels.insert({tables[0][i], tables[1][i]});
    for (uint32_t i = 0; i < n; ++i) {
        if (first_pixels.count({tables[2][i], tables[3][i]}) != 0)
            refuse(src, std::string(names[2]) + "[" + num(i) + "]",
                   "pixel (" + num(tables[2][i]) + ", " + num(tables[3][i]) + ") is listed in " +
                       names[0] + "/" + names[1] + " as well: a PD pixel cannot be both phases");
    }

    // PD samples: pairs sharing a left column (vertical: a first-pixel row)
    // are averaged into one.
    const uint16_t* key = vertical ? c.v_left_y : c.left_x;
    const std::vector<uint16_t> keys(key, key + n);
    const uint32_t groups =
        static_cast<uint32_t>(std::set<uint16_t>(keys.begin(), keys.end()).size());
    pd_geometry g;
    const uint64_t pd_width = vertical ? block_cols : uint64_t{block_cols} * groups;
    const uint64_t pd_height = vertical ? uint64_t{block_rows} * groups : block_rows;
    if (pd_width > kMaxImageSide || pd_height > kMaxImageSide ||
        pd_width * pd_height > ORVANE_IMAGE_CAPACITY)
        refuse(src, "image_width",
               num(w) + " x " + num(h) + " pixels in blocks of " + num(uint32_t{1} << shx) + " x " +
                   num(uint32_t{1} << shy) + " with " + num(groups) +
                   " PD samples each make PD images of " + num(pd_width) + " x " + num(pd_height) +
                   " samples, beyond the library's " + count(kMaxImageSide) + " per side and " +
                   count(ORVANE_IMAGE_CAPACITY) + " in all");
    g.width = static_cast<uint32_t>(pd_width);
    g.height = static_cast<uint32_t>(pd_height);
    g.pitch = pd_pitch(keys, vertical ? c.block_height : c.block_width);

    g.channel_width = (w - 2 * uint32_t{c.margin_x}) / 2;
    g.channel_height = (h - 2 * uint32_t{c.margin_y}) / 2;
    if (uint64_t{g.channel_width} * g.channel_height > ORVANE_IMAGE_CAPACITY)
        refuse(src, "image_width",
               num(w) + " x " + num(h) + " pixels make a focus image of one Bayer channel of " +
                   num(g.channel_width) + " x " + num(g.channel_height) +
                   " samples, beyond the library's " + count(ORVANE_IMAGE_CAPACITY));

    // Detection picks a Bayer phase that holds no PD pixel.
    if (c.bayer_channel < 1 || c.bayer_channel > 4) {
        unsigned phases = 0;
        for (uint32_t i = 0; i < n; ++i) {
            phases |= 1u << ((tables[0][i] & 1) + 2 * (tables[1][i] & 1));
            phases |= 1u << ((tables[2][i] & 1) + 2 * (tables[3][i] & 1));
        }
        if (phases == 0xF)
            refuse(src, "bayer_channel",
                   "is " + num(c.bayer_channel) +
                       " (detect), but PD pixels sit on all four Bayer phases, so detection "
                       "finds none; name the channel (1..4)");
    }
    return g;
}

}  // namespace

void check_records(const capture_set& set, const record_names& names) {
    const cal_settings& s = set.settings;
    check_settings(s, set.kind, names.settings);
    check_limits(set.limits, s, names);

    pd_geometry g;
    std::string pitch_source;
    if (set.kind == layout::dual) {
        if (uint64_t{set.width} * set.height > ORVANE_IMAGE_CAPACITY)
            refuse(names.manifest, "width",
                   num(set.width) + " x " + num(set.height) + " images exceed the library's " +
                       count(ORVANE_IMAGE_CAPACITY) + " samples");
        g.width = g.channel_width = set.width;
        g.height = g.channel_height = set.height;
        g.pitch = static_cast<uint32_t>(s.pd_pitch_2pd);
        pitch_source = "pd_pitch_2pd " + num(g.pitch);
    } else {
        g = check_sensor(set.cfg, set.kind, names.sensor);
        pitch_source = "the PD pitch " + num(g.pitch) + " of " + names.sensor;
    }

    // Search range in PD samples each way; the SAD curve holds 2 x 50 + 1.
    const uint32_t range = static_cast<uint32_t>(s.max_shift) / g.pitch;
    if (range == 0)
        refuse(names.settings, "max_shift",
               "is " + num(s.max_shift) + " pixels, less than one PD sample at " + pitch_source +
                   ": no search range, every disparity would be 0");
    if (range > static_cast<uint32_t>(kMaxShiftRange))
        refuse(names.settings, "max_shift",
               "is " + num(s.max_shift) + " pixels, a search range of " + num(range) +
                   " PD samples at " + pitch_source + ", more than the library's " +
                   num(kMaxShiftRange));

    const bool vertical = set.kind == layout::vertical;
    check_windows(s, names.settings, g.width, g.height, "PD images", vertical ? "rows" : "columns");
    check_windows(s, names.settings, g.channel_width, g.channel_height,
                  set.kind == layout::dual ? "focus image" : "focus image (one Bayer channel)",
                  nullptr);
}

}  // namespace orvane_tool::io
