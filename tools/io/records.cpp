#include "io/records.h"

#include <algorithm>
#include <array>
#include <bit>
#include <iterator>
#include <string_view>
#include <cstring>
#include <optional>
#include <set>

#include "io/fields.h"
#include "io/record_fields.h"
#include "io/settings_defaults.h"

namespace orvane_tool::io {

static_assert(std::endian::native == std::endian::little,
              "records are stored as little-endian bytes");

namespace {

// One layout's four coordinate tables: omitted together, or all given with
// the same length and at least pair_count entries.
struct layout_tables {
    const char* names[4];
    uint16_t* tables[4];
};

void read_layout(const field_reader& f, uint16_t pair_count, const layout_tables& t) {
    int given = 0;
    for (const char* name : t.names) given += f.has(name) ? 1 : 0;
    if (given == 0) return;
    size_t length[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (!f.has(t.names[i])) {
            const char* other = f.has(t.names[0]) ? t.names[0] : t.names[1];
            f.fail(t.names[i], std::string("missing, while '") + other + "' is given");
        }
        length[i] = f.get_array(t.names[i], t.tables[i], ORVANE_MAX_PD_PAIRS);
    }
    for (int i = 0; i < 4; ++i) {
        if (length[i] != length[0])
            f.fail(t.names[i], "has " + std::to_string(length[i]) + " entries, '" + t.names[0] +
                                   "' has " + std::to_string(length[0]));
        if (length[i] < pair_count)
            f.fail(t.names[i], "has " + std::to_string(length[i]) +
                                   " entries, fewer than pair_count (" +
                                   std::to_string(pair_count) + ")");
    }
}

// Tables are written up to the last non-zero entry, and at least up to
// pair_count; a layout that is all zero is left out.
void write_layout(json& j, uint16_t pair_count, const char* const names[4],
                  const uint16_t* const tables[4]) {
    size_t used = 0;
    for (int i = 0; i < 4; ++i)
        for (size_t k = 0; k < ORVANE_MAX_PD_PAIRS; ++k)
            if (tables[i][k] != 0) used = std::max(used, k + 1);
    if (used == 0) return;
    used = std::max<size_t>(used, std::min<size_t>(pair_count, ORVANE_MAX_PD_PAIRS));
    for (int i = 0; i < 4; ++i)
        j[names[i]] = json(std::vector<uint16_t>(tables[i], tables[i] + used));
}

bool nonzero_bits(float v) { return std::bit_cast<uint32_t>(v) != 0; }

// Floats up to the last entry with non-zero bits, and at least `minimum`.
json float_list(const float* values, size_t capacity, size_t minimum) {
    size_t used = std::min(minimum, capacity);
    for (size_t k = 0; k < capacity; ++k)
        if (nonzero_bits(values[k])) used = std::max(used, k + 1);
    json list = json::array();
    for (size_t k = 0; k < used; ++k) list.push_back(float_json(values[k]));
    return list;
}

size_t cells_of(uint32_t cols, uint32_t rows) { return size_t{cols} * size_t{rows}; }

template <class Record>
std::vector<uint8_t> record_bytes(const Record& r) {
    std::vector<uint8_t> bytes(sizeof(Record));
    std::memcpy(bytes.data(), &r, sizeof(Record));
    return bytes;
}

template <class Record>
Record record_from(std::span<const uint8_t> bytes, const std::string& source, const char* name) {
    if (bytes.size() != sizeof(Record))
        throw io_error(source + ": expected " + std::to_string(sizeof(Record)) + " bytes (a " +
                       name + " record), got " + std::to_string(bytes.size()));
    Record r{};
    std::memcpy(&r, bytes.data(), sizeof(Record));
    return r;
}

bool is_json_name(const std::string& path) { return extension_of(path) == ".json"; }

}  // namespace

// ---- One table of fields per record (record_fields.h) --------------------------

namespace {

using namespace record_fields;

// ---- sensor_cfg ------------------------------------------------------------

const char* const kHorizontalNames[4] = {"left_x", "left_y", "right_x", "right_y"};
const char* const kVerticalNames[4] = {"v_left_x", "v_left_y", "v_right_x", "v_right_y"};

const field<sensor_cfg> kSensorFields[] = {
    reserved_words<&sensor_cfg::reserved0>("reserved0"),
    integer<&sensor_cfg::image_width>("image_width"),
    integer<&sensor_cfg::image_height>("image_height"),
    integer<&sensor_cfg::black_level>("black_level"),
    reserved<&sensor_cfg::reserved1>("reserved1"),
    integer<&sensor_cfg::block_width>("block_width"),
    integer<&sensor_cfg::block_height>("block_height"),
    integer<&sensor_cfg::margin_x>("margin_x"),
    integer<&sensor_cfg::margin_y>("margin_y"),
    integer_in<&sensor_cfg::pair_count, 0, ORVANE_MAX_PD_PAIRS>("pair_count"),
    {{kHorizontalNames[0], kHorizontalNames[1], kHorizontalNames[2], kHorizontalNames[3]},
     [](json& j, const sensor_cfg& c, const char*) {
         const uint16_t* const t[4] = {c.left_x, c.left_y, c.right_x, c.right_y};
         write_layout(j, c.pair_count, kHorizontalNames, t);
     },
     [](const field_reader& f, sensor_cfg& c, const char*) {
         read_layout(f, c.pair_count,
                     {{kHorizontalNames[0], kHorizontalNames[1], kHorizontalNames[2],
                       kHorizontalNames[3]},
                      {c.left_x, c.left_y, c.right_x, c.right_y}});
     }},
    {{kVerticalNames[0], kVerticalNames[1], kVerticalNames[2], kVerticalNames[3]},
     [](json& j, const sensor_cfg& c, const char*) {
         const uint16_t* const t[4] = {c.v_left_x, c.v_left_y, c.v_right_x, c.v_right_y};
         write_layout(j, c.pair_count, kVerticalNames, t);
     },
     [](const field_reader& f, sensor_cfg& c, const char*) {
         read_layout(f, c.pair_count,
                     {{kVerticalNames[0], kVerticalNames[1], kVerticalNames[2], kVerticalNames[3]},
                      {c.v_left_x, c.v_left_y, c.v_right_x, c.v_right_y}});
     }},
    integer<&sensor_cfg::bayer_channel>("bayer_channel"),
};

// ---- cal_settings -----------------------------------------------------------

size_t windows_of(const cal_settings& s) {
    return static_cast<size_t>(std::max(0, int{s.win_rows}) * std::max(0, int{s.win_cols}));
}

const field<cal_settings> kSettingsFields[] = {
    integer<&cal_settings::dump_tag>("dump_tag"),
    integer<&cal_settings::focus_abs_sum>("focus_abs_sum"),
    integer<&cal_settings::focus_tapered>("focus_tapered"),
    integer<&cal_settings::gain_rows>("gain_rows"),
    integer<&cal_settings::gain_cols>("gain_cols"),
    integer<&cal_settings::gain_shift>("gain_shift"),
    integer<&cal_settings::win_rows>("win_rows"),
    integer<&cal_settings::win_cols>("win_cols"),
    integer<&cal_settings::dcc_shift>("dcc_shift"),
    reserved_words<&cal_settings::reserved0>("reserved0"),
    {{"filter_taps"},
     [](json& j, const cal_settings& s, const char* n) {
         j[n] = float_list(s.filter_taps, ORVANE_MAX_FILTER_TAPS, s.filter_tap_count);
     },
     [](const field_reader& f, cal_settings& s, const char* n) {
         std::fill(std::begin(s.filter_taps), std::end(s.filter_taps), 0.0f);
         f.get_float_array(n, s.filter_taps, ORVANE_MAX_FILTER_TAPS);
     }},
    {{"filter_tap_count"},
     [](json& j, const cal_settings& s, const char* n) { j[n] = s.filter_tap_count; },
     [](const field_reader& f, cal_settings& s, const char* n) {
         s.filter_tap_count = f.get<uint8_t>(n, 0, ORVANE_MAX_FILTER_TAPS);
         const size_t taps = f.at("filter_taps").size();
         if (s.filter_tap_count > taps)
             f.fail(n, std::to_string(s.filter_tap_count) + " taps used, but filter_taps has " +
                           std::to_string(taps) + " entries");
     }},
    integer<&cal_settings::sweep_frames>("sweep_frames"),
    integer<&cal_settings::max_shift>("max_shift"),
    integer<&cal_settings::trim_frames>("trim_frames"),
    integer<&cal_settings::min_pd_range>("min_pd_range"),
    reserved_words<&cal_settings::reserved1>("reserved1"),
    real<&cal_settings::win_margin>("win_margin"),
    {{"dcc_dev_limit"},
     [](json& j, const cal_settings& s, const char* n) {
         j[n] = float_list(s.dcc_dev_limit, ORVANE_MAX_DCC_WINDOWS, windows_of(s));
     },
     [](const field_reader& f, cal_settings& s, const char* n) {
         std::fill(std::begin(s.dcc_dev_limit), std::end(s.dcc_dev_limit), 0.0f);
         const size_t limits = f.get_float_array(n, s.dcc_dev_limit, ORVANE_MAX_DCC_WINDOWS);
         // A grid beyond the record's 48 limits is refused by the capture-set
         // checks, which name the grid rather than the limits.
         if (s.win_rows > 0 && s.win_cols > 0) {
             const size_t windows = size_t(s.win_rows) * size_t(s.win_cols);
             if (windows <= ORVANE_MAX_DCC_WINDOWS && limits < windows)
                 f.fail(n, "has " + std::to_string(limits) + " entries, fewer than the " +
                               std::to_string(windows) + " windows of the grid");
         }
     }},
    real<&cal_settings::residual_limit>("residual_limit"),
    integer<&cal_settings::pd_pitch_2pd>("pd_pitch_2pd"),
    reserved_words<&cal_settings::reserved2>("reserved2"),
    real<&cal_settings::lens_min>("lens_min"),
    real<&cal_settings::lens_max>("lens_max"),
};

// ---- gain_limits --------------------------------------------------------------

const field<gain_limits> kLimitsFields[] = {
    integer<&gain_limits::max_gain>("max_gain"),
    integer<&gain_limits::min_level>("min_level"),
    integer<&gain_limits::max_level>("max_level"),
    integer<&gain_limits::level_window>("level_window"),
};

// ---- gainmap and dccmap ---------------------------------------------------------

// A table of the map's cols x rows cells, as a grid.
template <auto M>
field<gainmap> gain_table(const char* name) {
    return {{name},
            [](json& j, const gainmap& m, const char* n) {
                j[n] = grid_json(m.*M, m.cols, m.rows, [](uint16_t v) { return v; });
            },
            [](const field_reader& f, gainmap& m, const char* n) {
                f.get_grid(n, m.*M, m.cols, m.rows);
            }};
}

const field<gainmap> kGainmapFields[] = {
    integer<&gainmap::version>("version"),
    reserved<&gainmap::reserved>("reserved"),
    integer<&gainmap::cols>("cols"),
    {{"rows"},
     [](json& j, const gainmap& m, const char* n) { j[n] = m.rows; },
     [](const field_reader& f, gainmap& m, const char* n) {
         m.rows = f.get<uint16_t>(n);
         if (cells_of(m.cols, m.rows) > ORVANE_MAX_GAIN_CELLS)
             f.fail(n, std::to_string(m.cols) + " x " + std::to_string(m.rows) +
                           " cells exceed the " + std::to_string(ORVANE_MAX_GAIN_CELLS) +
                           " of the tables");
     }},
    gain_table<&gainmap::left>("left"),
    gain_table<&gainmap::right>("right"),
    // The vertical tables are optional together.
    {{"left_v", "right_v"},
     [](json& j, const gainmap& m, const char*) {
         const auto same = [](uint16_t v) { return v; };
         j["left_v"] = grid_json(m.left_v, m.cols, m.rows, same);
         j["right_v"] = grid_json(m.right_v, m.cols, m.rows, same);
     },
     [](const field_reader& f, gainmap& m, const char*) {
         if (f.has("left_v") || f.has("right_v")) {
             f.get_grid("left_v", m.left_v, m.cols, m.rows);
             f.get_grid("right_v", m.right_v, m.cols, m.rows);
         }
     }},
};

const field<dccmap> kDccmapFields[] = {
    integer<&dccmap::version>("version"),
    reserved<&dccmap::reserved>("reserved"),
    integer<&dccmap::dcc_shift>("dcc_shift"),
    integer<&dccmap::win_cols>("win_cols"),
    {{"win_rows"},
     [](json& j, const dccmap& m, const char* n) { j[n] = m.win_rows; },
     [](const field_reader& f, dccmap& m, const char* n) {
         m.win_rows = f.get<uint16_t>(n);
         if (cells_of(m.win_cols, m.win_rows) > ORVANE_MAX_DCC_WINDOWS)
             f.fail(n, std::to_string(m.win_cols) + " x " + std::to_string(m.win_rows) +
                           " windows exceed the " + std::to_string(ORVANE_MAX_DCC_WINDOWS) +
                           " of the record");
     }},
    {{"dcc"},
     [](json& j, const dccmap& m, const char* n) {
         j[n] = grid_json(m.dcc, m.win_cols, m.win_rows, [](int16_t v) { return v; });
     },
     [](const field_reader& f, dccmap& m, const char* n) {
         f.get_grid(n, m.dcc, m.win_cols, m.win_rows);
     }},
};

// ---- ground truth ------------------------------------------------------------------

// A grid of the truth's window grid, of floats.
template <auto M>
field<ground_truth> truth_grid(const char* name) {
    return {{name},
            [](json& j, const ground_truth& t, const char* n) {
                j[n] = grid_json((t.*M).data(), size_t(t.win_cols), size_t(t.win_rows),
                                 [](float v) { return float_json(v); });
            },
            [](const field_reader& f, ground_truth& t, const char* n) {
                auto& values = t.*M;
                values.resize(size_t(t.win_rows) * size_t(t.win_cols));
                f.get_float_grid(n, values.data(), size_t(t.win_cols), size_t(t.win_rows));
            }};
}

const field<ground_truth> kTruthFields[] = {
    integer_in<&ground_truth::win_rows, 0, ORVANE_MAX_WINDOWS>("win_rows"),
    {{"win_cols"},
     [](json& j, const ground_truth& t, const char* n) { j[n] = t.win_cols; },
     [](const field_reader& f, ground_truth& t, const char* n) {
         t.win_cols = f.get<int>(n, 0, ORVANE_MAX_WINDOWS);
         if (t.win_rows * t.win_cols > ORVANE_MAX_WINDOWS)
             f.fail(n, std::to_string(t.win_cols) + " x " + std::to_string(t.win_rows) +
                           " windows exceed " + std::to_string(ORVANE_MAX_WINDOWS));
     }},
    integer<&ground_truth::lens_step>("lens_step"),
    truth_grid<&ground_truth::dcc>("dcc"),
    truth_grid<&ground_truth::in_focus_lens>("in_focus_lens"),
    // Absent from truths written before it was recorded.
    {{"zero_pd_offset"},
     [](json& j, const ground_truth& t, const char* n) {
         if (t.zero_pd_offset.size() == t.dcc.size())
             j[n] = grid_json(t.zero_pd_offset.data(), size_t(t.win_cols), size_t(t.win_rows),
                              [](float v) { return float_json(v); });
     },
     [](const field_reader& f, ground_truth& t, const char* n) {
         if (!f.has(n)) return;
         t.zero_pd_offset.resize(size_t(t.win_rows) * size_t(t.win_cols));
         f.get_float_grid(n, t.zero_pd_offset.data(), size_t(t.win_cols), size_t(t.win_rows));
     }},
};

}  // namespace

json to_json(const sensor_cfg& c) { return write_fields(c, kSensorFields); }
sensor_cfg sensor_cfg_from_json(const json& value, const std::string& source) {
    return read_fields(value, source, kSensorFields);
}

json to_json(const cal_settings& s) { return write_fields(s, kSettingsFields); }
cal_settings settings_from_json(const json& value, const std::string& source,
                                const module_shape* shape) {
    if (shape == nullptr) return read_fields(value, source, kSettingsFields);
    if (value.is_object()) {
        for (const setting_default& d : setting_defaults()) {
            const bool required =
                d.kind == default_kind::required ||
                (d.kind == default_kind::required_dual && shape->kind == layout::dual);
            if (required && !value.contains(d.name))
                throw io_error(source + ": missing field '" + d.name + "': " + d.meaning +
                               "; it has no default");
        }
        if (value.contains("filter_taps") != value.contains("filter_tap_count"))
            throw io_error(source +
                           ": give filter_taps and filter_tap_count together, or "
                           "leave both out for the default filter");
    }
    module_shape given = *shape;
    // The dual layout's sensor size follows from the pitch the settings give
    // (a pitch out of range is refused by the reading below).
    if (given.kind == layout::dual && value.is_object() && value.contains("pd_pitch_2pd")) {
        const json& pitch = value["pd_pitch_2pd"];
        if (pitch.is_number_integer() && pitch.get<int64_t>() >= 1 && pitch.get<int64_t>() <= 127)
            given.pitch = pitch.get<uint32_t>();
    }
    const cal_settings defaults = default_settings(given);
    return read_fields(value, source, kSettingsFields, &defaults);
}

json to_json(const gain_limits& l) { return write_fields(l, kLimitsFields); }
gain_limits limits_from_json(const json& value, const std::string& source) {
    return read_fields(value, source, kLimitsFields);
}

json to_json(const gainmap& m) {
    if (cells_of(m.cols, m.rows) > ORVANE_MAX_GAIN_CELLS)
        throw io_error("gain map: " + std::to_string(m.cols) + " x " + std::to_string(m.rows) +
                       " cells exceed the " + std::to_string(ORVANE_MAX_GAIN_CELLS) +
                       " of its tables");
    return write_fields(m, kGainmapFields);
}
gainmap gainmap_from_json(const json& value, const std::string& source) {
    return read_fields(value, source, kGainmapFields);
}

json to_json(const dccmap& m) {
    if (cells_of(m.win_cols, m.win_rows) > ORVANE_MAX_DCC_WINDOWS)
        throw io_error("DCC map: " + std::to_string(m.win_cols) + " x " +
                       std::to_string(m.win_rows) + " windows exceed the " +
                       std::to_string(ORVANE_MAX_DCC_WINDOWS) + " of the record");
    return write_fields(m, kDccmapFields);
}
dccmap dccmap_from_json(const json& value, const std::string& source) {
    return read_fields(value, source, kDccmapFields);
}

json to_json(const ground_truth& t) {
    const size_t windows = cells_of(static_cast<uint32_t>(std::max(0, t.win_cols)),
                                    static_cast<uint32_t>(std::max(0, t.win_rows)));
    if (t.win_rows < 0 || t.win_cols < 0 || t.dcc.size() != windows ||
        t.in_focus_lens.size() != windows)
        throw io_error("ground truth: " + std::to_string(t.dcc.size()) + " DCC and " +
                       std::to_string(t.in_focus_lens.size()) + " lens values for a " +
                       std::to_string(t.win_cols) + " x " + std::to_string(t.win_rows) +
                       " window grid");
    return write_fields(t, kTruthFields);
}
ground_truth ground_truth_from_json(const json& value, const std::string& source) {
    return read_fields(value, source, kTruthFields);
}

// ---- raw records and files -----------------------------------------------------------

std::vector<uint8_t> to_bytes(const sensor_cfg& cfg) { return record_bytes(cfg); }
std::vector<uint8_t> to_bytes(const cal_settings& settings) { return record_bytes(settings); }
std::vector<uint8_t> to_bytes(const gain_limits& limits) { return record_bytes(limits); }

sensor_cfg sensor_cfg_from_bytes(std::span<const uint8_t> bytes, const std::string& source) {
    return record_from<sensor_cfg>(bytes, source, "sensor_cfg");
}
cal_settings settings_from_bytes(std::span<const uint8_t> bytes, const std::string& source) {
    return record_from<cal_settings>(bytes, source, "cal_settings");
}
gain_limits limits_from_bytes(std::span<const uint8_t> bytes, const std::string& source) {
    return record_from<gain_limits>(bytes, source, "gain_limits");
}

sensor_cfg load_sensor_cfg(const std::string& path) {
    if (is_json_name(path)) return sensor_cfg_from_json(read_json_file(path), path);
    return sensor_cfg_from_bytes(read_file(path, sizeof(sensor_cfg), "a sensor_cfg record"), path);
}
cal_settings load_settings(const std::string& path, const module_shape* shape) {
    if (is_json_name(path)) return settings_from_json(read_json_file(path), path, shape);
    return settings_from_bytes(read_file(path, sizeof(cal_settings), "a cal_settings record"),
                               path);
}
gain_limits load_limits(const std::string& path) {
    if (is_json_name(path)) return limits_from_json(read_json_file(path), path);
    return limits_from_bytes(read_file(path, sizeof(gain_limits), "a gain_limits record"), path);
}

void save_sensor_cfg(const std::string& path, const sensor_cfg& cfg) {
    if (is_json_name(path)) return write_json_file(path, to_json(cfg));
    write_file_atomic(path, to_bytes(cfg));
}
void save_settings(const std::string& path, const cal_settings& settings) {
    if (is_json_name(path)) return write_json_file(path, to_json(settings));
    write_file_atomic(path, to_bytes(settings));
}
void save_limits(const std::string& path, const gain_limits& limits) {
    if (is_json_name(path)) return write_json_file(path, to_json(limits));
    write_file_atomic(path, to_bytes(limits));
}

}  // namespace orvane_tool::io
