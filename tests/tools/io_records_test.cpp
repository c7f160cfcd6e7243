// Records as JSON and as raw bytes: exact round trips and one-line errors
// that name the file and the field.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>

#include "io/records.h"
#include "io_support.h"

namespace {

using namespace orvane_tool;
using io::json;
using ::testing::HasSubstr;
using ::testing::StartsWith;

template <class Record>
bool same_bytes(const Record& a, const Record& b) {
    return std::memcmp(&a, &b, sizeof(Record)) == 0;
}

sensor_cfg sample_cfg() {
    sensor_cfg c{};
    c.reserved0[1] = 7;
    c.image_width = 4032;
    c.image_height = 3024;
    c.black_level = 64;
    c.reserved1 = 0xBEEF;
    c.block_width = 16;
    c.block_height = 16;
    c.margin_x = 24;
    c.margin_y = 8;
    c.pair_count = 5;
    for (int i = 0; i < 5; ++i) {
        c.left_x[i] = static_cast<uint16_t>(2 + 3 * i);
        c.left_y[i] = static_cast<uint16_t>(1 + i);
        c.right_x[i] = static_cast<uint16_t>(3 + 3 * i);
        c.right_y[i] = static_cast<uint16_t>(1 + i);
        c.v_left_x[i] = static_cast<uint16_t>(4 + i);
        c.v_left_y[i] = static_cast<uint16_t>(2 * i);
        c.v_right_x[i] = static_cast<uint16_t>(4 + i);
        c.v_right_y[i] = static_cast<uint16_t>(2 * i + 1);
    }
    c.right_y[9] = 65535;  // beyond pair_count: carried, never read
    c.bayer_channel = 3;
    return c;
}

cal_settings sample_settings() {
    cal_settings s{};
    s.dump_tag = -123;
    s.focus_abs_sum = 1;
    s.gain_rows = 13;
    s.gain_cols = 17;
    s.gain_shift = 9;
    s.win_rows = 6;
    s.win_cols = 8;
    s.dcc_shift = 4;
    s.reserved0[2] = 0x5A;
    const float taps[] = {0.1f, -0.0f, 1e-45f, 3.4028235e38f, -2.5f, 1.0f / 3.0f};
    std::memcpy(s.filter_taps, taps, sizeof taps);
    s.filter_tap_count = 6;
    s.sweep_frames = 12;
    s.max_shift = -1;
    s.trim_frames = 2;
    s.min_pd_range = 127;
    s.win_margin = 0.25f;
    for (int w = 0; w < 48; ++w) s.dcc_dev_limit[w] = 0.05f + 0.001f * static_cast<float>(w);
    s.residual_limit = std::numeric_limits<float>::quiet_NaN();
    s.pd_pitch_2pd = 2;
    s.lens_min = -std::numeric_limits<float>::infinity();
    s.lens_max = std::numeric_limits<float>::infinity();
    return s;
}

// Through text, as a file would carry it.
json via_text(const json& j) { return io::parse_json(io::json_text(j), "test.json"); }

TEST(RecordJson, SensorConfigRoundTripKeepsEveryWord) {
    const sensor_cfg in = sample_cfg();
    const sensor_cfg out = io::sensor_cfg_from_json(via_text(io::to_json(in)), "sensor.json");
    EXPECT_TRUE(same_bytes(in, out));
}

TEST(RecordJson, SensorConfigLeavesOutZeroReservedWordsAndUnusedLayout) {
    sensor_cfg in = sample_cfg();
    in.reserved0[1] = 0;
    in.reserved1 = 0;
    std::memset(in.v_left_x, 0, sizeof in.v_left_x * 4);
    const json j = io::to_json(in);
    EXPECT_FALSE(j.contains("reserved0"));
    EXPECT_FALSE(j.contains("reserved1"));
    EXPECT_FALSE(j.contains("v_left_x"));
    // Tables are written up to the last non-zero entry (index 9 of right_y).
    EXPECT_EQ(j["left_x"].size(), 10u);
    EXPECT_TRUE(same_bytes(in, io::sensor_cfg_from_json(via_text(j), "sensor.json")));
}

TEST(RecordJson, SettingsRoundTripIsBitExact) {
    const cal_settings in = sample_settings();
    const json j = via_text(io::to_json(in));
    EXPECT_EQ(j["residual_limit"], "nan");
    EXPECT_EQ(j["lens_min"], "-inf");
    EXPECT_EQ(j["filter_taps"][0].dump(), "0.1");  // shortest form, not a long double
    const cal_settings out = io::settings_from_json(j, "settings.json");
    EXPECT_TRUE(same_bytes(in, out));
    EXPECT_EQ(std::bit_cast<uint32_t>(out.filter_taps[1]), 0x80000000u);  // -0.0 kept
}

TEST(RecordJson, DecimalTextRoundsOnceToTheNearestFloat) {
    // 0.1 read as double then narrowed would also give 0x3DCCCCCD; this value
    // sits where double rounding differs from rounding once.
    cal_settings s = sample_settings();
    json j = io::to_json(s);
    j["win_margin"] = io::parse_json("1.00000005960464477539062501", "x");
    const cal_settings out = io::settings_from_json(j, "settings.json");
    EXPECT_EQ(std::bit_cast<uint32_t>(out.win_margin), 0x3F800001u);
}

TEST(RecordJson, LimitsGainmapAndDccmapRoundTrip) {
    const gain_limits limits{2048, 100, 900, 0};
    EXPECT_TRUE(same_bytes(limits, io::limits_from_json(via_text(io::to_json(limits)), "l")));

    gainmap gm{};
    gm.version = 4;
    gm.cols = 3;
    gm.rows = 2;
    for (int i = 0; i < 6; ++i) {
        gm.left[i] = static_cast<uint16_t>(512 + i);
        gm.right[i] = static_cast<uint16_t>(600 + i);
        gm.left_v[i] = static_cast<uint16_t>(700 + i);
        gm.right_v[i] = static_cast<uint16_t>(65535 - i);
    }
    const json gj = io::to_json(gm);
    EXPECT_EQ(gj["left"].dump(), "[[512,513,514],[515,516,517]]");
    EXPECT_TRUE(same_bytes(gm, io::gainmap_from_json(via_text(gj), "gainmap.json")));

    dccmap dm{};
    dm.version = 4;
    dm.dcc_shift = 4;
    dm.win_cols = 2;
    dm.win_rows = 2;
    const int16_t dcc[] = {160, -23936, 0, 32767};
    std::memcpy(dm.dcc, dcc, sizeof dcc);
    EXPECT_TRUE(same_bytes(dm, io::dccmap_from_json(via_text(io::to_json(dm)), "dccmap.json")));
}

TEST(RecordJson, GroundTruthRoundTrip) {
    ground_truth t;
    t.win_rows = 2;
    t.win_cols = 3;
    t.lens_step = 10;
    t.dcc = {10.5f, 11.25f, -3.0f, 0.1f, 7.0f, 8.0f};
    t.in_focus_lens = {100.f, 101.5f, 102.f, 99.f, 98.25f, 97.f};
    const ground_truth out = io::ground_truth_from_json(via_text(io::to_json(t)), "truth.json");
    EXPECT_EQ(out.win_rows, 2);
    EXPECT_EQ(out.win_cols, 3);
    EXPECT_EQ(out.lens_step, 10);
    EXPECT_EQ(out.dcc, t.dcc);
    EXPECT_EQ(out.in_focus_lens, t.in_focus_lens);
}

TEST(RecordBytes, RoundTripAndExactSizes) {
    const sensor_cfg cfg = sample_cfg();
    const cal_settings settings = sample_settings();
    EXPECT_EQ(io::to_bytes(cfg).size(), 2072u);
    EXPECT_EQ(io::to_bytes(settings).size(), 356u);
    EXPECT_TRUE(same_bytes(cfg, io::sensor_cfg_from_bytes(io::to_bytes(cfg), "s.bin")));
    EXPECT_TRUE(same_bytes(settings, io::settings_from_bytes(io::to_bytes(settings), "c.bin")));

    std::vector<uint8_t> short_cfg = io::to_bytes(cfg);
    short_cfg.pop_back();
    try {
        io::sensor_cfg_from_bytes(short_cfg, "sensor.bin");
        FAIL();
    } catch (const io::io_error& e) {
        EXPECT_STREQ(e.what(), "sensor.bin: expected 2072 bytes (a sensor_cfg record), got 2071");
    }
}

TEST(RecordFiles, ExtensionChoosesJsonOrRawRecord) {
    io_test::scratch_dir dir;
    const sensor_cfg cfg = sample_cfg();
    io::save_sensor_cfg(dir / "sensor.json", cfg);
    io::save_sensor_cfg(dir / "sensor.bin", cfg);
    EXPECT_EQ(io_test::read_text(dir / "sensor.json").front(), '{');
    EXPECT_EQ(std::filesystem::file_size(dir / "sensor.bin"), 2072u);
    EXPECT_TRUE(same_bytes(cfg, io::load_sensor_cfg(dir / "sensor.json")));
    EXPECT_TRUE(same_bytes(cfg, io::load_sensor_cfg(dir / "sensor.bin")));
    // Only the two files: no temporaries left behind.
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"sensor.bin", "sensor.json"}));

    try {
        io::load_settings(dir / "missing.json");
        FAIL();
    } catch (const io::io_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  dir / "missing.json" + ": cannot open: No such file or directory");
    }
}

// ---- errors ------------------------------------------------------------------

const char* const kSensor = R"({
  "image_width": 64, "image_height": 32, "black_level": 64,
  "block_width": 16, "block_height": 16, "margin_x": 0, "margin_y": 0,
  "pair_count": 2,
  "left_x": [4, 8], "left_y": [6, 6], "right_x": [5, 9], "right_y": [6, 6],
  "bayer_channel": 0
})";

struct bad_field {
    const char* what;
    const char* key;      // field replaced (or added) in the valid sensor record
    const char* value;    // its JSON text; nullptr removes the field
    const char* message;  // the whole error line
};

// Test names show the case, not the record's bytes.
void PrintTo(const bad_field& c, std::ostream* os) { *os << c.what << " " << c.key; }

class SensorJsonErrors : public ::testing::TestWithParam<bad_field> {};

TEST_P(SensorJsonErrors, GiveOneLineNamingFileAndField) {
    const bad_field& p = GetParam();
    json j = io::parse_json(kSensor, "x");
    if (p.value == nullptr)
        j.erase(p.key);
    else
        j[p.key] = io::parse_json(p.value, "x");
    try {
        io::sensor_cfg_from_json(j, "sensor.json");
        FAIL() << p.what;
    } catch (const io::io_error& e) {
        EXPECT_STREQ(e.what(), p.message) << p.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SensorJsonErrors,
    ::testing::Values(
        bad_field{"negative", "block_width", "-3",
                  "sensor.json: field 'block_width': expected an integer 0..65535, got -3"},
        bad_field{"too large", "image_width", "65536",
                  "sensor.json: field 'image_width': expected an integer 0..65535, got 65536"},
        bad_field{"string", "image_height", "\"32\"",
                  "sensor.json: field 'image_height': expected an integer 0..65535, got \"32\""},
        bad_field{"fraction", "margin_x", "1.5",
                  "sensor.json: field 'margin_x': expected an integer 0..65535, got 1.5"},
        bad_field{"missing", "bayer_channel", nullptr,
                  "sensor.json: missing field 'bayer_channel'"},
        bad_field{"unknown", "block_widht", "16", "sensor.json: unknown field 'block_widht'"},
        bad_field{"pairs beyond the tables", "pair_count", "129",
                  "sensor.json: field 'pair_count': expected an integer 0..128, got 129"},
        bad_field{"table entry", "left_x", "[4, 70000]",
                  "sensor.json: field 'left_x[1]': expected an integer 0..65535, got 70000"},
        bad_field{"table not an array", "left_y", "6",
                  "sensor.json: field 'left_y': expected an array of at most 128 integers, got 6"},
        bad_field{"unequal tables", "right_x", "[5, 9, 13]",
                  "sensor.json: field 'right_x': has 3 entries, 'left_x' has 2"},
        bad_field{"table half given", "right_y", nullptr,
                  "sensor.json: field 'right_y': missing, while 'left_x' is given"},
        bad_field{"fewer pairs than pair_count", "pair_count", "3",
                  "sensor.json: field 'left_x': has 2 entries, fewer than pair_count (3)"}));

TEST(RecordJsonErrors, TableLongerThanItsCapacity) {
    json j = io::parse_json(kSensor, "x");
    j["left_x"] = json(std::vector<int>(129, 1));
    try {
        io::sensor_cfg_from_json(j, "sensor.json");
        FAIL();
    } catch (const io::io_error& e) {
        EXPECT_STREQ(e.what(),
                     "sensor.json: field 'left_x': expected at most 128 entries, got 129");
    }
}

std::string settings_error(const char* key, const char* value) {
    json j = io::to_json(sample_settings());
    j[key] = io::parse_json(value, "x");
    try {
        io::settings_from_json(j, "settings.json");
    } catch (const io::io_error& e) {
        return e.what();
    }
    return "no error";
}

TEST(RecordJsonErrors, SettingsFieldsAreCheckedAgainstTheirTypes) {
    EXPECT_EQ(settings_error("dump_tag", "128"),
              "settings.json: field 'dump_tag': expected an integer -128..127, got 128");
    EXPECT_EQ(settings_error("focus_abs_sum", "-1"),
              "settings.json: field 'focus_abs_sum': expected an integer 0..255, got -1");
    EXPECT_EQ(settings_error("win_margin", "\"wide\""),
              "settings.json: field 'win_margin': expected a number (or \"nan\", \"inf\", "
              "\"-inf\"), got \"wide\"");
    EXPECT_EQ(settings_error("filter_taps", "[1, true]"),
              "settings.json: field 'filter_taps[1]': expected a number (or \"nan\", \"inf\", "
              "\"-inf\"), got true");
    EXPECT_EQ(settings_error("filter_tap_count", "32"),
              "settings.json: field 'filter_tap_count': expected an integer 0..31, got 32");
    EXPECT_EQ(settings_error("filter_tap_count", "7"),
              "settings.json: field 'filter_tap_count': 7 taps used, but filter_taps has 6 "
              "entries");
    EXPECT_EQ(settings_error("dcc_dev_limit", "[0.1, 0.1]"),
              "settings.json: field 'dcc_dev_limit': has 2 entries, fewer than the 48 windows "
              "of the grid");
    EXPECT_EQ(settings_error("lens_max", "null"),
              "settings.json: field 'lens_max': expected a number (or \"nan\", \"inf\", "
              "\"-inf\"), got null");
}

TEST(RecordJsonErrors, MalformedJsonIsOneLineWithItsPosition) {
    try {
        io::parse_json("{\n  \"max_gain\": 2048,\n}", "limits.json");
        FAIL();
    } catch (const io::io_error& e) {
        const std::string what = e.what();
        EXPECT_THAT(what, StartsWith("limits.json: invalid JSON: parse error at line 3, column 1"));
        EXPECT_EQ(what.find('\n'), std::string::npos);
    }
    try {
        io::parse_json("[1e39]", "limits.json");
        FAIL();
    } catch (const io::io_error& e) {
        EXPECT_STREQ(e.what(), "limits.json: invalid JSON: number overflow parsing '1e39'");
    }
    try {
        io::limits_from_json(io::parse_json("[1, 2]", "x"), "limits.json");
        FAIL();
    } catch (const io::io_error& e) {
        EXPECT_STREQ(e.what(), "limits.json: expected a JSON object, got [1,2]");
    }
}

TEST(RecordJsonErrors, GainmapGridShapeIsChecked) {
    gainmap gm{};
    gm.cols = 2;
    gm.rows = 2;
    json j = io::to_json(gm);
    j["right"] = io::parse_json("[[1, 2], [3]]", "x");
    try {
        io::gainmap_from_json(j, "gainmap.json");
        FAIL();
    } catch (const io::io_error& e) {
        EXPECT_STREQ(e.what(), "gainmap.json: field 'right[1]': expected 2 entries, got 1");
    }
    j = io::to_json(gm);
    j["cols"] = 17;
    j["rows"] = 16;
    try {
        io::gainmap_from_json(j, "gainmap.json");
        FAIL();
    } catch (const io::io_error& e) {
        EXPECT_THAT(e.what(), HasSubstr("17 x 16 cells exceed the 256"));
    }
}

}  // namespace
