// Loading a capture set checks its records against the library before any
// frame is read: in these sets no frame file exists, so an error that names
// a record field proves the check came first, and the frame error proves
// that records at their limits pass. Also the fields docs/formats.md lets a
// record leave out, and the values they then take.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "io/capture_io.h"
#include "io/records.h"
#include "io_support.h"

namespace {

using io_test::error_of;

using namespace orvane_tool;
using io::json;
using ::testing::HasSubstr;
using ::testing::StartsWith;

json frames_json(int count, int step, bool dual) {
    json frames = json::array();
    for (int k = 0; k < count; ++k) {
        const std::string stem = "f" + std::string(k < 10 ? "0" : "") + std::to_string(k);
        json f = {{"lens_position", 292 + step * k}};
        if (dual) {
            f["left"] = stem + "_left.raw";
            f["right"] = stem + "_right.raw";
        } else {
            f["file"] = stem + ".raw";
        }
        frames.push_back(f);
    }
    return frames;
}

// Records of a 640 x 480 sensor with both layouts (four pairs per 16 x 16
// block, PD pitch 4) and a manifest whose frame files do not exist.
std::map<std::string, json> base_documents(layout kind) {
    std::map<std::string, json> d;
    d["sensor"] = json::parse(R"({
        "image_width": 640, "image_height": 480, "black_level": 64,
        "block_width": 16, "block_height": 16, "margin_x": 16, "margin_y": 16, "pair_count": 4,
        "left_x": [2, 6, 10, 14], "left_y": [4, 4, 4, 4],
        "right_x": [3, 7, 11, 15], "right_y": [4, 4, 4, 4],
        "v_left_x": [4, 4, 4, 4], "v_left_y": [2, 6, 10, 14],
        "v_right_x": [4, 4, 4, 4], "v_right_y": [3, 7, 11, 15],
        "bayer_channel": 0})");
    d["settings"] = json::parse(R"({
        "dump_tag": 0, "focus_abs_sum": 0, "focus_tapered": 0,
        "gain_rows": 6, "gain_cols": 8, "gain_shift": 9,
        "win_rows": 6, "win_cols": 7, "dcc_shift": 10,
        "filter_taps": [0.25, 0.5, 0.25], "filter_tap_count": 3,
        "sweep_frames": 12, "max_shift": 32, "trim_frames": 1, "min_pd_range": 8,
        "win_margin": 0.25, "residual_limit": 0.02, "pd_pitch_2pd": 2,
        "lens_min": 0, "lens_max": 1023})");
    d["settings"]["dcc_dev_limit"] = std::vector<float>(42, 0.05f);
    d["limits"] =
        json::parse(R"({"max_gain": 1536, "min_level": 128, "max_level": 960, "level_window": 8})");
    const bool dual = kind == layout::dual;
    json m = {
        {"layout", layout_name(kind)}, {"settings", "settings.json"}, {"limits", "limits.json"}};
    if (dual) {
        m["width"] = 1000;
        m["height"] = 750;
        m["black_level"] = 64;
        m["flat"] = {
            {"lens_position", 512}, {"left", "flat_left.raw"}, {"right", "flat_right.raw"}};
    } else {
        m["sensor"] = "sensor.json";
        m["flat"] = {{"lens_position", 512}, {"file", "flat.raw"}};
    }
    m["frames"] = frames_json(12, 40, dual);
    d["manifest"] = m;
    return d;
}

struct edit {
    const char* file;  // "sensor", "settings", "limits" or "manifest"
    const char* field;
    json value;
};

// Writes the base set of `kind` with the edits into `dir`; returns the
// manifest's path. A null value removes the field.
std::string write_set(const io_test::scratch_dir& dir, layout kind,
                      const std::vector<edit>& edits) {
    std::map<std::string, json> d = base_documents(kind);
    for (const edit& e : edits) {
        if (e.value.is_null())
            d[e.file].erase(e.field);
        else
            d[e.file][e.field] = e.value;
    }
    for (const auto& [name, doc] : d)
        io_test::write_text(dir / (name + ".json"), io::json_text(doc));
    return dir / "manifest.json";
}

std::string load_error(const io_test::scratch_dir& dir, layout kind,
                       const std::vector<edit>& edits) {
    const std::string manifest = write_set(dir, kind, edits);
    return error_of([&] { io::load_capture_set(manifest); });
}

// What loading says when the records pass: the flat field is the first frame read.
std::string frames_missing(const io_test::scratch_dir& dir, layout kind) {
    const std::string flat = kind == layout::dual ? "flat_left.raw" : "flat.raw";
    return (dir / flat) + ": cannot open: No such file or directory";
}

struct bad_record {
    const char* name;
    layout kind;
    std::vector<edit> edits;
    std::string expected;  // after "<set folder>/"
};

// Test names show the case, not the record's bytes.
void PrintTo(const bad_record& c, std::ostream* os) { *os << c.name; }

class RecordChecks : public ::testing::TestWithParam<bad_record> {};

TEST_P(RecordChecks, RefuseNamingFileAndFieldBeforeAnyFrameIsRead) {
    const bad_record& p = GetParam();
    io_test::scratch_dir dir;
    EXPECT_EQ(load_error(dir, p.kind, {}), frames_missing(dir, p.kind));
    const std::string error = load_error(dir, p.kind, p.edits);
    EXPECT_THAT(error, StartsWith(dir / p.expected)) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
}

constexpr layout H = layout::horizontal;
constexpr layout V = layout::vertical;
constexpr layout D = layout::dual;

INSTANTIATE_TEST_SUITE_P(
    Refused, RecordChecks,
    ::testing::Values(
        bad_record{"WindowGrid7x7",
                   H,
                   {{"settings", "win_rows", 7}},
                   "settings.json: field 'win_rows': 7 x 7 windows (win_cols x win_rows) exceed "
                   "the 48 of a DCC map"},
        bad_record{"NoWindowColumn",
                   V,
                   {{"settings", "win_cols", 0}},
                   "settings.json: field 'win_cols': is 0, expected 1 or more"},
        bad_record{"NegativeWindowRows",
                   D,
                   {{"settings", "win_rows", -1}},
                   "settings.json: field 'win_rows': is -1"},
        bad_record{"NoGainRow",
                   H,
                   {{"settings", "gain_rows", 0}},
                   "settings.json: field 'gain_rows': is 0"},
        bad_record{"GainGrid",
                   D,
                   {{"settings", "gain_cols", 43}},
                   "settings.json: field 'gain_rows': 43 x 6 cells (gain_cols x gain_rows) exceed "
                   "the 256"},
        bad_record{"GainShift",
                   H,
                   {{"settings", "gain_shift", 16}},
                   "settings.json: field 'gain_shift': is 16, expected 0..15"},
        bad_record{"DccShiftHigh",
                   H,
                   {{"settings", "dcc_shift", 31}},
                   "settings.json: field 'dcc_shift': is 31, expected 0..30"},
        bad_record{"NoTaps",
                   H,
                   {{"settings", "filter_tap_count", 0}},
                   "settings.json: field 'filter_tap_count': is 0"},
        bad_record{"ZeroTaps",
                   D,
                   {{"settings", "filter_taps", {0, 0, 0, 1}}},
                   "settings.json: field 'filter_taps': the 3 taps in use are all 0"},
        bad_record{"NanTap",
                   H,
                   {{"settings", "filter_taps", {0.25, "nan", 0.25}}},
                   "settings.json: field 'filter_taps[1]': expected a finite number, got \"nan\""},
        bad_record{"NanMargin",
                   V,
                   {{"settings", "win_margin", "nan"}},
                   "settings.json: field 'win_margin': expected a finite number"},
        bad_record{"ThirteenFrames",
                   H,
                   {{"settings", "sweep_frames", 13}},
                   "settings.json: field 'sweep_frames': is 13, expected 2 to 12"},
        bad_record{"TrimmedAway",
                   H,
                   {{"settings", "trim_frames", 6}},
                   "settings.json: field 'trim_frames': is 6: of 12 sweep frames, 2 or more must "
                   "remain"},
        bad_record{"NoSearchRange",
                   H,
                   {{"settings", "max_shift", 3}},
                   "settings.json: field 'max_shift': is 3 pixels, less than one PD sample at the "
                   "PD pitch 4 of "},
        bad_record{"NegativeSearch",
                   V,
                   {{"settings", "max_shift", -5}},
                   "settings.json: field 'max_shift': is -5"},
        bad_record{"SearchRangeBeyond50",
                   D,
                   {{"settings", "max_shift", 102}},
                   "settings.json: field 'max_shift': is 102 pixels, a search range of 51 PD "
                   "samples at pd_pitch_2pd 2, more than the library's 50"},
        bad_record{"DualPitch",
                   D,
                   {{"settings", "pd_pitch_2pd", 0}},
                   "settings.json: field 'pd_pitch_2pd': is 0"},
        bad_record{"LensRange",
                   D,
                   {{"settings", "lens_max", -1}},
                   "settings.json: field 'lens_max': is -1.0, below lens_min 0.0"},
        bad_record{"FewDeviationLimits",
                   H,
                   {{"settings", "dcc_dev_limit", {0.05}}},
                   "settings.json: field 'dcc_dev_limit': has 1 entries, fewer than the 42"},
        bad_record{"DualWindowCutOut",
                   D,
                   {{"manifest", "width", 3000},
                    {"manifest", "height", 2000},
                    {"settings", "win_margin", 3}},
                   "settings.json: field 'win_rows': a 7 x 6 grid with win_margin 3.0 cuts windows "
                   "of up to 3000 x 2000 samples out of the 3000 x 2000 PD images, more than the "
                   "2,000,000 of a window cut-out"},
        bad_record{
            "DualProfile",
            D,
            {{"manifest", "width", 6500}, {"manifest", "height", 300}, {"settings", "win_cols", 1}},
            "settings.json: field 'win_cols': a 1 x 6 grid with win_margin 0.25 makes "
            "windows of up to 6500 columns"},
        bad_record{"FocusWindowCutOut",
                   H,
                   {{"sensor", "image_width", 4000},
                    {"sensor", "image_height", 3000},
                    {"settings", "win_cols", 1},
                    {"settings", "win_rows", 1},
                    {"settings", "dcc_dev_limit", {0.05}}},
                   "settings.json: field 'win_rows': a 1 x 1 grid with win_margin 0.25 cuts "
                   "windows of up to 1984 x 1484 samples out of the 1984 x 1484 focus image (one "
                   "Bayer channel)"},
        bad_record{"DualImageSize",
                   D,
                   {{"manifest", "width", 5000}, {"manifest", "height", 5000}},
                   "manifest.json: field 'width': 5000 x 5000 images exceed the library's "
                   "20,000,000 samples"},
        bad_record{
            "NoPairs", H, {{"sensor", "pair_count", 0}}, "sensor.json: field 'pair_count': is 0"},
        bad_record{"NoBlockWidth",
                   V,
                   {{"sensor", "block_width", 0}},
                   "sensor.json: field 'block_width': is 0"},
        bad_record{"Margins",
                   H,
                   {{"sensor", "margin_x", 321}},
                   "sensor.json: field 'margin_x': is 321, more than half the image_width 640"},
        bad_record{"BlockBeyondFrame",
                   V,
                   {{"sensor", "block_height", 500}},
                   "sensor.json: field 'block_height': a block 512 pixels high"},
        bad_record{"OutsideTheBlock",
                   H,
                   {{"sensor", "left_x", {2, 6, 10, 16}}},
                   "sensor.json: field 'left_x[3]': is 16, outside the block (block_width 16)"},
        bad_record{"BothPhases",
                   H,
                   {{"sensor", "right_x", {14, 10, 6, 2}}, {"sensor", "right_y", {4, 4, 4, 4}}},
                   "sensor.json: field 'right_x[0]': pixel (14, 4) is listed in left_x/left_y as "
                   "well"},
        bad_record{"LayoutNotGiven",
                   V,
                   {{"sensor", "v_left_x", nullptr},
                    {"sensor", "v_left_y", nullptr},
                    {"sensor", "v_right_x", nullptr},
                    {"sensor", "v_right_y", nullptr}},
                   "sensor.json: field 'v_left_x': the vertical layout's tables"},
        bad_record{"NoBayerPhaseLeft",
                   H,
                   {{"sensor", "left_y", {4, 5, 4, 5}}, {"sensor", "right_y", {4, 5, 4, 5}}},
                   "sensor.json: field 'bayer_channel': is 0 (detect), but PD pixels sit on all "
                   "four Bayer phases"},
        bad_record{"PdImageSize",
                   H,
                   {{"sensor", "image_width", 65535}, {"sensor", "image_height", 65535}},
                   "sensor.json: field 'image_width': 65535 x 65535 pixels in blocks of 16 x 16 "
                   "with 4 PD samples each make PD images of 16372 x 4093 samples"},
        bad_record{"FocusImageSize",
                   V,
                   {{"sensor", "image_width", 10000}, {"sensor", "image_height", 10000}},
                   "sensor.json: field 'image_width': 10000 x 10000 pixels make a focus image of "
                   "one Bayer channel of 4984 x 4984 samples"},
        bad_record{"LevelRange",
                   H,
                   {{"limits", "max_level", 127}},
                   "limits.json: field 'max_level': is 127, below min_level 128"},
        bad_record{"GainLimit",
                   D,
                   {{"limits", "max_gain", 511}},
                   "limits.json: field 'max_gain': is 511, below the unity gain 512"},
        bad_record{"FramesShort",
                   H,
                   {{"manifest", "frames", frames_json(11, 40, false)}},
                   "manifest.json: field 'frames': has 11 frames, but "},
        bad_record{"FramesNotRising",
                   D,
                   {{"manifest", "frames", frames_json(12, 0, true)}},
                   "manifest.json: frames[1]: field 'lens_position': 292 does not rise above "
                   "frames[0]'s 292"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every limit the checks draw, at the limit (one row per check): the set
// passes and the frames are read.
TEST(RecordChecks, AcceptRecordsAtEveryLimit) {
    const std::vector<std::pair<layout, std::vector<edit>>> cases = {
        {H,
         {{"settings", "win_rows", 8},
          {"settings", "win_cols", 6},
          {"settings", "dcc_dev_limit", std::vector<float>(48, 0.05f)}}},
        {H, {{"settings", "gain_rows", 16}, {"settings", "gain_cols", 16}}},
        {V, {{"settings", "gain_rows", 1}, {"settings", "gain_cols", 1}}},
        {H, {{"settings", "gain_shift", 15}, {"limits", "max_gain", 32768}}},
        {V, {{"settings", "dcc_shift", 30}}},
        {H, {{"settings", "filter_tap_count", 1}, {"settings", "filter_taps", {1, 0}}}},
        {H,
         {{"settings", "sweep_frames", 2},
          {"settings", "trim_frames", 0},
          {"manifest", "frames", frames_json(2, 40, false)}}},
        {H, {{"settings", "max_shift", 4}}},    // one PD sample at pitch 4
        {D, {{"settings", "max_shift", 101}}},  // 50 samples at pitch 2
        {D, {{"settings", "lens_max", 0}}},
        {H, {{"limits", "min_level", 960}}},
        {H, {{"sensor", "margin_x", 312}}},  // one 16-pixel block between the margins
        {V, {{"sensor", "margin_y", 232}}},
        {H, {{"sensor", "left_x", {2, 6, 10, 15}}, {"sensor", "right_x", {3, 7, 11, 14}}}},
        {H, {{"sensor", "pair_count", 1}}},  // pitch falls back to the block width
        {H,
         {{"sensor", "left_y", {4, 5, 4, 5}},
          {"sensor", "right_y", {4, 5, 4, 5}},
          {"sensor", "bayer_channel", 4}}},
        // 20,000,000 samples exactly, windows of 2,000,000 exactly.
        {D,
         {{"manifest", "width", 5000},
          {"manifest", "height", 4000},
          {"settings", "win_margin", 0},
          {"settings", "win_rows", 2},
          {"settings", "win_cols", 5},
          {"settings", "dcc_dev_limit", std::vector<float>(10, 0.05f)}}},
        // Windows with profiles of 6000 samples exactly.
        {D,
         {{"manifest", "width", 6000},
          {"manifest", "height", 300},
          {"settings", "win_margin", 0},
          {"settings", "win_cols", 1},
          {"settings", "dcc_dev_limit", std::vector<float>(6, 0.05f)}}},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        io_test::scratch_dir dir;
        EXPECT_EQ(load_error(dir, cases[k].first, cases[k].second),
                  frames_missing(dir, cases[k].first))
            << "case " << k;
    }
}

// ---- what a record may leave out -------------------------------------------------

// docs/formats.md: reserved words may be left out, and so may a layout's four
// coordinate tables together; tables, filter_taps and dcc_dev_limit may be
// shorter than the record's arrays. Everything left out is 0.
TEST(RecordDefaults, MinimalRecordsAreAcceptedAndLeaveZeros) {
    io_test::scratch_dir dir;
    // The base documents are minimal already: no reserved words, no vertical
    // tables in this sensor, short arrays.
    const std::string manifest = write_set(dir, H,
                                           {{"sensor", "v_left_x", nullptr},
                                            {"sensor", "v_left_y", nullptr},
                                            {"sensor", "v_right_x", nullptr},
                                            {"sensor", "v_right_y", nullptr}});
    EXPECT_EQ(error_of([&] { io::load_capture_set(manifest); }), frames_missing(dir, H));

    sensor_cfg cfg{};
    cfg.image_width = 640;
    cfg.image_height = 480;
    cfg.black_level = 64;
    cfg.block_width = 16;
    cfg.block_height = 16;
    cfg.margin_x = 16;
    cfg.margin_y = 16;
    cfg.pair_count = 4;
    for (uint16_t i = 0; i < 4; ++i) {
        cfg.left_x[i] = static_cast<uint16_t>(2 + 4 * i);
        cfg.left_y[i] = 4;
        cfg.right_x[i] = static_cast<uint16_t>(3 + 4 * i);
        cfg.right_y[i] = 4;
    }
    const sensor_cfg loaded_cfg = io::load_sensor_cfg(dir / "sensor.json");
    EXPECT_EQ(std::memcmp(&loaded_cfg, &cfg, sizeof cfg), 0);

    cal_settings s{};
    s.gain_rows = 6;
    s.gain_cols = 8;
    s.gain_shift = 9;
    s.win_rows = 6;
    s.win_cols = 7;
    s.dcc_shift = 10;
    s.filter_taps[0] = 0.25f;
    s.filter_taps[1] = 0.5f;
    s.filter_taps[2] = 0.25f;
    s.filter_tap_count = 3;
    s.sweep_frames = 12;
    s.max_shift = 32;
    s.trim_frames = 1;
    s.min_pd_range = 8;
    s.win_margin = 0.25f;
    for (int w = 0; w < 42; ++w) s.dcc_dev_limit[w] = 0.05f;
    s.residual_limit = 0.02f;
    s.pd_pitch_2pd = 2;
    s.lens_min = 0.0f;
    s.lens_max = 1023.0f;
    const cal_settings loaded = io::load_settings(dir / "settings.json");
    EXPECT_EQ(std::memcmp(&loaded, &s, sizeof s), 0);

    // The manifest's optional entries of a raw layout.
    const std::string bare = write_set(dir, V, {});
    json m = io::read_json_file(bare);
    m["flat"].erase("lens_position");
    io_test::write_text(bare, io::json_text(m));
    EXPECT_EQ(error_of([&] { io::load_capture_set(bare); }), frames_missing(dir, V));
}

// Every other field is required, and leaving it out names it (settings: those
// without a default, settings_defaults_test.cpp).
TEST(RecordDefaults, EveryOtherFieldIsRequired) {
    const std::map<std::string, std::vector<std::string>> required = {
        {"settings", {"lens_min", "lens_max"}},
        {"sensor",
         {"image_width", "image_height", "black_level", "block_width", "block_height", "margin_x",
          "margin_y", "pair_count", "bayer_channel", "left_x", "right_y"}},
        {"limits", {"max_gain", "min_level", "max_level", "level_window"}},
        {"manifest", {"layout", "sensor", "settings", "limits", "flat", "frames"}},
    };
    for (const auto& [file, fields] : required) {
        for (const std::string& field : fields) {
            io_test::scratch_dir dir;
            const std::string error = load_error(dir, H, {{file.c_str(), field.c_str(), nullptr}});
            EXPECT_THAT(error, StartsWith(dir / (file + ".json: ")));
            EXPECT_THAT(error, HasSubstr("'" + field + "'"));
        }
    }
}

}  // namespace
