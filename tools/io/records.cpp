#include "io/records.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <set>

#include "io/fields.h"

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

template <class T>
json list_of(const T* values, size_t n) {
    json list = json::array();
    for (size_t k = 0; k < n; ++k) list.push_back(values[k]);
    return list;
}

bool any_nonzero(const uint8_t* bytes, size_t n) {
    return std::any_of(bytes, bytes + n, [](uint8_t b) { return b != 0; });
}

template <class T>
void reserved_bytes(const field_reader& f, const char* name, T (&out)[3]) {
    if (f.has(name)) f.get_array(name, out, 3);
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

// ---- sensor_cfg ------------------------------------------------------------

namespace {
const char* const kHorizontalNames[4] = {"left_x", "left_y", "right_x", "right_y"};
const char* const kVerticalNames[4] = {"v_left_x", "v_left_y", "v_right_x", "v_right_y"};
}  // namespace

json to_json(const sensor_cfg& c) {
    json j = json::object();
    if (c.reserved0[0] != 0 || c.reserved0[1] != 0) j["reserved0"] = list_of(c.reserved0, 2);
    j["image_width"] = c.image_width;
    j["image_height"] = c.image_height;
    j["black_level"] = c.black_level;
    if (c.reserved1 != 0) j["reserved1"] = c.reserved1;
    j["block_width"] = c.block_width;
    j["block_height"] = c.block_height;
    j["margin_x"] = c.margin_x;
    j["margin_y"] = c.margin_y;
    j["pair_count"] = c.pair_count;
    const uint16_t* const h[4] = {c.left_x, c.left_y, c.right_x, c.right_y};
    const uint16_t* const v[4] = {c.v_left_x, c.v_left_y, c.v_right_x, c.v_right_y};
    write_layout(j, c.pair_count, kHorizontalNames, h);
    write_layout(j, c.pair_count, kVerticalNames, v);
    j["bayer_channel"] = c.bayer_channel;
    return j;
}

sensor_cfg sensor_cfg_from_json(const json& value, const std::string& source) {
    const field_reader f(
        value, source,
        {"reserved0", "image_width", "image_height", "black_level", "reserved1", "block_width",
         "block_height", "margin_x", "margin_y", "pair_count", "left_x", "left_y", "right_x",
         "right_y", "v_left_x", "v_left_y", "v_right_x", "v_right_y", "bayer_channel"});
    sensor_cfg c{};
    if (f.has("reserved0")) f.get_array("reserved0", c.reserved0, 2);
    c.image_width = f.get<uint16_t>("image_width");
    c.image_height = f.get<uint16_t>("image_height");
    c.black_level = f.get<uint16_t>("black_level");
    if (f.has("reserved1")) c.reserved1 = f.get<uint16_t>("reserved1");
    c.block_width = f.get<uint16_t>("block_width");
    c.block_height = f.get<uint16_t>("block_height");
    c.margin_x = f.get<uint16_t>("margin_x");
    c.margin_y = f.get<uint16_t>("margin_y");
    c.pair_count = f.get<uint16_t>("pair_count", 0, ORVANE_MAX_PD_PAIRS);
    read_layout(
        f, c.pair_count,
        {{kHorizontalNames[0], kHorizontalNames[1], kHorizontalNames[2], kHorizontalNames[3]},
         {c.left_x, c.left_y, c.right_x, c.right_y}});
    read_layout(f, c.pair_count,
                {{kVerticalNames[0], kVerticalNames[1], kVerticalNames[2], kVerticalNames[3]},
                 {c.v_left_x, c.v_left_y, c.v_right_x, c.v_right_y}});
    c.bayer_channel = f.get<uint16_t>("bayer_channel");
    return c;
}

// ---- cal_settings -----------------------------------------------------------

json to_json(const cal_settings& s) {
    json j = json::object();
    j["dump_tag"] = s.dump_tag;
    j["focus_abs_sum"] = s.focus_abs_sum;
    j["focus_tapered"] = s.focus_tapered;
    j["gain_rows"] = s.gain_rows;
    j["gain_cols"] = s.gain_cols;
    j["gain_shift"] = s.gain_shift;
    j["win_rows"] = s.win_rows;
    j["win_cols"] = s.win_cols;
    j["dcc_shift"] = s.dcc_shift;
    if (any_nonzero(s.reserved0, 3)) j["reserved0"] = list_of(s.reserved0, 3);
    j["filter_taps"] = float_list(s.filter_taps, ORVANE_MAX_FILTER_TAPS, s.filter_tap_count);
    j["filter_tap_count"] = s.filter_tap_count;
    j["sweep_frames"] = s.sweep_frames;
    j["max_shift"] = s.max_shift;
    j["trim_frames"] = s.trim_frames;
    j["min_pd_range"] = s.min_pd_range;
    if (any_nonzero(s.reserved1, 3)) j["reserved1"] = list_of(s.reserved1, 3);
    j["win_margin"] = float_json(s.win_margin);
    const int windows = std::max(0, int{s.win_rows}) * std::max(0, int{s.win_cols});
    j["dcc_dev_limit"] =
        float_list(s.dcc_dev_limit, ORVANE_MAX_DCC_WINDOWS, static_cast<size_t>(windows));
    j["residual_limit"] = float_json(s.residual_limit);
    j["pd_pitch_2pd"] = s.pd_pitch_2pd;
    if (any_nonzero(s.reserved2, 3)) j["reserved2"] = list_of(s.reserved2, 3);
    j["lens_min"] = float_json(s.lens_min);
    j["lens_max"] = float_json(s.lens_max);
    return j;
}

cal_settings settings_from_json(const json& value, const std::string& source) {
    const field_reader f(
        value, source,
        {"dump_tag",     "focus_abs_sum",    "focus_tapered", "gain_rows",     "gain_cols",
         "gain_shift",   "win_rows",         "win_cols",      "dcc_shift",     "reserved0",
         "filter_taps",  "filter_tap_count", "sweep_frames",  "max_shift",     "trim_frames",
         "min_pd_range", "reserved1",        "win_margin",    "dcc_dev_limit", "residual_limit",
         "pd_pitch_2pd", "reserved2",        "lens_min",      "lens_max"});
    cal_settings s{};
    s.dump_tag = f.get<int8_t>("dump_tag");
    s.focus_abs_sum = f.get<uint8_t>("focus_abs_sum");
    s.focus_tapered = f.get<uint8_t>("focus_tapered");
    s.gain_rows = f.get<int8_t>("gain_rows");
    s.gain_cols = f.get<int8_t>("gain_cols");
    s.gain_shift = f.get<int8_t>("gain_shift");
    s.win_rows = f.get<int8_t>("win_rows");
    s.win_cols = f.get<int8_t>("win_cols");
    s.dcc_shift = f.get<int8_t>("dcc_shift");
    reserved_bytes(f, "reserved0", s.reserved0);
    const size_t taps = f.get_float_array("filter_taps", s.filter_taps, ORVANE_MAX_FILTER_TAPS);
    s.filter_tap_count = f.get<uint8_t>("filter_tap_count", 0, ORVANE_MAX_FILTER_TAPS);
    if (s.filter_tap_count > taps)
        f.fail("filter_tap_count", std::to_string(s.filter_tap_count) +
                                       " taps used, but filter_taps has " + std::to_string(taps) +
                                       " entries");
    s.sweep_frames = f.get<int8_t>("sweep_frames");
    s.max_shift = f.get<int8_t>("max_shift");
    s.trim_frames = f.get<int8_t>("trim_frames");
    s.min_pd_range = f.get<int8_t>("min_pd_range");
    reserved_bytes(f, "reserved1", s.reserved1);
    s.win_margin = f.get_float("win_margin");
    const size_t limits =
        f.get_float_array("dcc_dev_limit", s.dcc_dev_limit, ORVANE_MAX_DCC_WINDOWS);
    // A grid beyond the record's 48 limits is refused by the capture-set
    // checks, which name the grid rather than the limits.
    if (s.win_rows > 0 && s.win_cols > 0) {
        const size_t windows = size_t(s.win_rows) * size_t(s.win_cols);
        if (windows <= ORVANE_MAX_DCC_WINDOWS && limits < windows)
            f.fail("dcc_dev_limit", "has " + std::to_string(limits) + " entries, fewer than the " +
                                        std::to_string(windows) + " windows of the grid");
    }
    s.residual_limit = f.get_float("residual_limit");
    s.pd_pitch_2pd = f.get<int8_t>("pd_pitch_2pd");
    reserved_bytes(f, "reserved2", s.reserved2);
    s.lens_min = f.get_float("lens_min");
    s.lens_max = f.get_float("lens_max");
    return s;
}

// ---- gain_limits --------------------------------------------------------------

json to_json(const gain_limits& l) {
    json j = json::object();
    j["max_gain"] = l.max_gain;
    j["min_level"] = l.min_level;
    j["max_level"] = l.max_level;
    j["level_window"] = l.level_window;
    return j;
}

gain_limits limits_from_json(const json& value, const std::string& source) {
    const field_reader f(value, source, {"max_gain", "min_level", "max_level", "level_window"});
    gain_limits l{};
    l.max_gain = f.get<uint16_t>("max_gain");
    l.min_level = f.get<uint16_t>("min_level");
    l.max_level = f.get<uint16_t>("max_level");
    l.level_window = f.get<uint16_t>("level_window");
    return l;
}

// ---- gainmap and dccmap ---------------------------------------------------------

json to_json(const gainmap& m) {
    const size_t cells = cells_of(m.cols, m.rows);
    if (cells > ORVANE_MAX_GAIN_CELLS)
        throw io_error("gain map: " + std::to_string(m.cols) + " x " + std::to_string(m.rows) +
                       " cells exceed the " + std::to_string(ORVANE_MAX_GAIN_CELLS) +
                       " of its tables");
    const auto same = [](uint16_t v) { return v; };
    json j = json::object();
    j["version"] = m.version;
    if (m.reserved != 0) j["reserved"] = m.reserved;
    j["cols"] = m.cols;
    j["rows"] = m.rows;
    j["left"] = grid_json(m.left, m.cols, m.rows, same);
    j["right"] = grid_json(m.right, m.cols, m.rows, same);
    j["left_v"] = grid_json(m.left_v, m.cols, m.rows, same);
    j["right_v"] = grid_json(m.right_v, m.cols, m.rows, same);
    return j;
}

gainmap gainmap_from_json(const json& value, const std::string& source) {
    const field_reader f(
        value, source,
        {"version", "reserved", "cols", "rows", "left", "right", "left_v", "right_v"});
    gainmap m{};
    m.version = f.get<uint8_t>("version");
    if (f.has("reserved")) m.reserved = f.get<uint8_t>("reserved");
    m.cols = f.get<uint16_t>("cols");
    m.rows = f.get<uint16_t>("rows");
    if (cells_of(m.cols, m.rows) > ORVANE_MAX_GAIN_CELLS)
        f.fail("rows", std::to_string(m.cols) + " x " + std::to_string(m.rows) +
                           " cells exceed the " + std::to_string(ORVANE_MAX_GAIN_CELLS) +
                           " of the tables");
    f.get_grid("left", m.left, m.cols, m.rows);
    f.get_grid("right", m.right, m.cols, m.rows);
    if (f.has("left_v") || f.has("right_v")) {
        f.get_grid("left_v", m.left_v, m.cols, m.rows);
        f.get_grid("right_v", m.right_v, m.cols, m.rows);
    }
    return m;
}

json to_json(const dccmap& m) {
    const size_t windows = cells_of(m.win_cols, m.win_rows);
    if (windows > ORVANE_MAX_DCC_WINDOWS)
        throw io_error("DCC map: " + std::to_string(m.win_cols) + " x " +
                       std::to_string(m.win_rows) + " windows exceed the " +
                       std::to_string(ORVANE_MAX_DCC_WINDOWS) + " of the record");
    json j = json::object();
    j["version"] = m.version;
    if (m.reserved != 0) j["reserved"] = m.reserved;
    j["dcc_shift"] = m.dcc_shift;
    j["win_cols"] = m.win_cols;
    j["win_rows"] = m.win_rows;
    j["dcc"] = grid_json(m.dcc, m.win_cols, m.win_rows, [](int16_t v) { return v; });
    return j;
}

dccmap dccmap_from_json(const json& value, const std::string& source) {
    const field_reader f(value, source,
                         {"version", "reserved", "dcc_shift", "win_cols", "win_rows", "dcc"});
    dccmap m{};
    m.version = f.get<uint8_t>("version");
    if (f.has("reserved")) m.reserved = f.get<uint8_t>("reserved");
    m.dcc_shift = f.get<uint16_t>("dcc_shift");
    m.win_cols = f.get<uint16_t>("win_cols");
    m.win_rows = f.get<uint16_t>("win_rows");
    if (cells_of(m.win_cols, m.win_rows) > ORVANE_MAX_DCC_WINDOWS)
        f.fail("win_rows", std::to_string(m.win_cols) + " x " + std::to_string(m.win_rows) +
                               " windows exceed the " + std::to_string(ORVANE_MAX_DCC_WINDOWS) +
                               " of the record");
    f.get_grid("dcc", m.dcc, m.win_cols, m.win_rows);
    return m;
}

// ---- ground truth ------------------------------------------------------------------

json to_json(const ground_truth& t) {
    const size_t windows = cells_of(static_cast<uint32_t>(std::max(0, t.win_cols)),
                                    static_cast<uint32_t>(std::max(0, t.win_rows)));
    if (t.win_rows < 0 || t.win_cols < 0 || t.dcc.size() != windows ||
        t.in_focus_lens.size() != windows)
        throw io_error("ground truth: " + std::to_string(t.dcc.size()) + " DCC and " +
                       std::to_string(t.in_focus_lens.size()) + " lens values for a " +
                       std::to_string(t.win_cols) + " x " + std::to_string(t.win_rows) +
                       " window grid");
    const auto as_json = [](float v) { return float_json(v); };
    json j = json::object();
    j["win_rows"] = t.win_rows;
    j["win_cols"] = t.win_cols;
    j["lens_step"] = t.lens_step;
    j["dcc"] = grid_json(t.dcc.data(), size_t(t.win_cols), size_t(t.win_rows), as_json);
    j["in_focus_lens"] =
        grid_json(t.in_focus_lens.data(), size_t(t.win_cols), size_t(t.win_rows), as_json);
    if (t.zero_pd_offset.size() == windows) {
        j["zero_pd_offset"] =
            grid_json(t.zero_pd_offset.data(), size_t(t.win_cols), size_t(t.win_rows), as_json);
    }
    return j;
}

ground_truth ground_truth_from_json(const json& value, const std::string& source) {
    const field_reader f(value, source,
                         {"win_rows", "win_cols", "lens_step", "dcc", "in_focus_lens",
                          "zero_pd_offset"});
    ground_truth t;
    t.win_rows = f.get<int>("win_rows", 0, ORVANE_MAX_WINDOWS);
    t.win_cols = f.get<int>("win_cols", 0, ORVANE_MAX_WINDOWS);
    if (t.win_rows * t.win_cols > ORVANE_MAX_WINDOWS)
        f.fail("win_cols", std::to_string(t.win_cols) + " x " + std::to_string(t.win_rows) +
                               " windows exceed " + std::to_string(ORVANE_MAX_WINDOWS));
    t.lens_step = f.get<int>("lens_step");
    const auto windows = static_cast<size_t>(t.win_rows * t.win_cols);
    t.dcc.resize(windows);
    t.in_focus_lens.resize(windows);
    f.get_float_grid("dcc", t.dcc.data(), size_t(t.win_cols), size_t(t.win_rows));
    f.get_float_grid("in_focus_lens", t.in_focus_lens.data(), size_t(t.win_cols),
                     size_t(t.win_rows));
    if (f.has("zero_pd_offset")) {  // absent from truths written before it was recorded
        t.zero_pd_offset.resize(windows);
        f.get_float_grid("zero_pd_offset", t.zero_pd_offset.data(), size_t(t.win_cols),
                         size_t(t.win_rows));
    }
    return t;
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
cal_settings load_settings(const std::string& path) {
    if (is_json_name(path)) return settings_from_json(read_json_file(path), path);
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
