// `orvane simulate` and `orvane calibrate` as a user runs them: the set the
// simulator writes calibrates to exactly what the demo produces, and bad input
// gives one line, a non-zero exit and leaves earlier outputs alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <string>

#include "io/records.h"
#include "io_support.h"

namespace {

using io_test::quoted;
using io_test::run_cli;
using io_test::scratch_dir;
using orvane_tool::io::json;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace fs = std::filesystem;

// Small enough for the sanitizer build, large enough for a 2 x 2 window grid.
const std::string kSize = "--width 512 --height 384 --seed 7";

const std::vector<std::string> kOutputs = {"calibration_block.bin",
                                           "curve_of_field_block.bin",
                                           "dccmap.json",
                                           "gainmap.json",
                                           "state_dump.bin",
                                           "summary.json",
                                           "truth.json",
                                           "zero_pd_offset_block.bin"};

// The folder after calibrate: its outputs and the verdict on them.
std::vector<std::string> with_verdict(std::vector<std::string> names) {
    names.insert(std::lower_bound(names.begin(), names.end(), "verdict.json"), "verdict.json");
    return names;
}

// The per-window table through the read-back line: everything the two
// commands print that does not depend on timing or on where the frames came from.
std::string report_of(const std::string& out) {
    const size_t from = out.find(" win row col");
    const size_t to = out.find("  block read back:");
    if (from == std::string::npos || to == std::string::npos) return "(no report) " + out;
    return out.substr(from, to - from);
}

size_t lines(const std::string& text) {
    return std::count(text.begin(), text.end(), '\n');
}

// One demo run per layout, shared by the tests.
struct demo_output {
    fs::path dir;
    std::string out;
};

const demo_output& demo_of(const std::string& layout) {
    static scratch_dir root;
    static std::map<std::string, demo_output> runs;
    auto it = runs.find(layout);
    if (it == runs.end()) {
        const fs::path dir = root.path() / layout;
        const io_test::cli_result r =
            run_cli("demo --layout " + layout + " " + kSize + " --out " + quoted(dir.string()));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        it = runs.emplace(layout, demo_output{dir, r.out}).first;
    }
    return it->second;
}

// A capture set written by `orvane simulate` into a fresh folder.
struct simulated {
    scratch_dir dir;
    std::string manifest() const { return dir / "set/manifest.json"; }
    std::string out() const { return dir / "out"; }

    simulated(const std::string& layout, const std::string& format) {
        const io_test::cli_result r =
            run_cli("simulate --layout " + layout + " " + kSize + " --format " + format +
                    " --out " + quoted(dir / "set"));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
    io_test::cli_result calibrate(const std::string& extra = "") const {
        return run_cli("calibrate " + quoted(manifest()) + " --out " + quoted(out()) + " " + extra);
    }
    void edit_manifest(const std::function<void(json&)>& edit) const {
        json m = orvane_tool::io::read_json_file(manifest());
        edit(m);
        io_test::write_text(manifest(), orvane_tool::io::json_text(m));
    }
};

struct layout_format {
    std::string layout;
    std::string format;
};

// Test names show the case, not the record's bytes.
void PrintTo(const layout_format& c, std::ostream* os) { *os << c.layout << "_" << c.format; }

class SimulateThenCalibrate : public ::testing::TestWithParam<layout_format> {};

TEST_P(SimulateThenCalibrate, ReproducesTheDemoByteForByte) {
    const layout_format p = GetParam();
    const simulated set(p.layout, p.format);
    const json manifest = orvane_tool::io::read_json_file(set.manifest());
    EXPECT_EQ(manifest["format"], p.format);
    EXPECT_EQ(manifest["frames"].size(), 12u);

    const io_test::cli_result r = set.calibrate();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(r.out, HasSubstr("frame 12/12"));
    EXPECT_THAT(r.out, HasSubstr("true DCC"));
    EXPECT_THAT(r.out, HasSubstr("window grid      2 x 2"));

    const demo_output& demo = demo_of(p.layout);
    EXPECT_EQ(report_of(r.out), report_of(demo.out));
    EXPECT_EQ(scratch_dir::entries_of(set.out()), with_verdict(kOutputs));
    for (const std::string& name : kOutputs) {
        EXPECT_EQ(io_test::read_text(set.out() + "/" + name),
                  io_test::read_text((demo.dir / name).string()))
            << name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    LayoutsAndFormats, SimulateThenCalibrate,
    ::testing::Values(layout_format{"horizontal", "raw10"}, layout_format{"vertical", "png"},
                      layout_format{"dual", "raw10"}, layout_format{"dual", "png"},
                      layout_format{"horizontal", "pgm"}),
    [](const auto& info) { return info.param.layout + "_" + info.param.format; });

TEST(Calibrate, WithoutTruthShowsNoTrueColumnsAndWritesNoTruth) {
    const simulated set("vertical", "raw16");
    set.edit_manifest([](json& m) { m.erase("truth"); });
    const io_test::cli_result r = set.calibrate();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(" win row col        DCC    peak  conf  flags\n"));
    EXPECT_THAT(r.out, Not(HasSubstr("true DCC")));
    EXPECT_THAT(r.out, Not(HasSubstr("Accuracy")));
    EXPECT_THAT(r.out, HasSubstr("no ground truth"));
    EXPECT_FALSE(fs::exists(set.out() + "/truth.json"));
    const json summary = orvane_tool::io::read_json_file(set.out() + "/summary.json");
    EXPECT_FALSE(summary.contains("accuracy"));
    EXPECT_EQ(summary["peak_lens"].size(), 2u);
    // The calibration itself does not depend on the truth.
    const demo_output& demo = demo_of("vertical");
    EXPECT_EQ(io_test::read_text(set.out() + "/calibration_block.bin"),
              io_test::read_text((demo.dir / "calibration_block.bin").string()));
}

TEST(Calibrate, TakesRawBinaryRecordsAndOverridesFromTheCommandLine) {
    const simulated set("horizontal", "raw16");
    const std::string folder = set.dir / "set";
    const auto settings = orvane_tool::io::load_settings(folder + "/settings.json");
    const auto sensor = orvane_tool::io::load_sensor_cfg(folder + "/sensor.json");
    orvane_tool::io::save_settings(folder + "/settings.bin", settings);
    orvane_tool::io::save_sensor_cfg(set.dir / "sensor.bin", sensor);
    set.edit_manifest([](json& m) {
        m["settings"] = "settings.bin";
        m.erase("sensor");  // given on the command line
    });
    const io_test::cli_result r = set.calibrate("--sensor " + quoted(set.dir / "sensor.bin"));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(io_test::read_text(set.out() + "/state_dump.bin"),
              io_test::read_text((demo_of("horizontal").dir / "state_dump.bin").string()));

    // Other settings: one window, so the truth's 2 x 2 grid no longer applies.
    auto one_window = settings;
    one_window.win_rows = 1;
    one_window.win_cols = 1;
    orvane_tool::io::save_settings(set.dir / "one.json", one_window);
    const io_test::cli_result o = set.calibrate("--sensor " + quoted(set.dir / "sensor.bin") +
                                                " --settings " + quoted(set.dir / "one.json"));
    ASSERT_EQ(o.exit_code, 0) << o.err;
    EXPECT_THAT(o.out, HasSubstr("window grid      1 x 1"));
    EXPECT_THAT(o.out, HasSubstr("Ground truth left aside: its 2 x 2 window grid is not the "
                                 "settings' 1 x 1\n"));
    EXPECT_FALSE(fs::exists(set.out() + "/truth.json"));
    EXPECT_EQ(fs::file_size(set.out() + "/curve_of_field_block.bin"), 6u + 2 + 1);
}

// Every case breaks a good set, runs calibrate into a folder holding earlier
// outputs, and expects one line naming the culprit, exit 1, and the earlier
// outputs untouched.
struct bad_input {
    const char* name;
    std::function<void(const simulated&)> damage;
    std::string expected;  // on stderr after "orvane: <set folder>/"
};

void PrintTo(const bad_input& c, std::ostream* os) { *os << c.name; }

class CalibrateRefuses : public ::testing::TestWithParam<bad_input> {};

TEST_P(CalibrateRefuses, WithOneLineAndKeepsEarlierOutputs) {
    const simulated set("horizontal", "raw16");
    ASSERT_EQ(set.calibrate().exit_code, 0);
    std::map<std::string, std::string> before;
    for (const std::string& name : kOutputs)
        before[name] = io_test::read_text(set.out() + "/" + name);

    GetParam().damage(set);
    const io_test::cli_result r = set.calibrate();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_THAT(r.err, StartsWith("orvane: "));
    EXPECT_THAT(r.err, HasSubstr(GetParam().expected));
    EXPECT_EQ(scratch_dir::entries_of(set.out()), with_verdict(kOutputs));  // no temporaries either
    for (const std::string& name : kOutputs)
        EXPECT_EQ(io_test::read_text(set.out() + "/" + name), before[name]) << name;
}

void set_setting(const simulated& set, const char* field, int value) {
    const std::string path = set.dir / "set/settings.json";
    json s = orvane_tool::io::read_json_file(path);
    s[field] = value;
    io_test::write_text(path, orvane_tool::io::json_text(s));
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, CalibrateRefuses,
    ::testing::Values(
        bad_input{"MissingFrame", [](const simulated& s) { fs::remove(s.dir / "set/f04.raw"); },
                  "set/f04.raw: cannot open: No such file or directory"},
        bad_input{"TruncatedFrame",
                  [](const simulated& s) { fs::resize_file(s.dir / "set/f11.raw", 4096); },
                  "set/f11.raw: expected 512x384 16-bit samples (393216 bytes), got 4096 bytes"},
        bad_input{"BadJson",
                  [](const simulated& s) {
                      io_test::write_text(s.dir / "set/limits.json", "{\"max_gain\": 1536,,}");
                  },
                  "set/limits.json: invalid JSON: "},
        bad_input{"OutOfRangeField", [](const simulated& s) { set_setting(s, "win_rows", 200); },
                  "set/settings.json: field 'win_rows': expected an integer -128..127, got 200"},
        bad_input{"WrongFrameSize",
                  [](const simulated& s) { s.edit_manifest([](json& m) { m["width"] = 640; }); },
                  "set/manifest.json: field 'width': is 640, but the sensor's image_width is 512"},
        bad_input{"GridBeyondTheLibrary",
                  [](const simulated& s) { set_setting(s, "win_rows", 100); },
                  "set/settings.json: field 'win_rows': 2 x 100 windows (win_cols x win_rows) "
                  "exceed the 48 of a DCC map"},
        bad_input{"TruncatedRecord",
                  [](const simulated& s) {
                      io_test::write_bytes(s.dir / "set/sensor.bin", std::vector<uint8_t>(2000));
                      s.edit_manifest([](json& m) { m["sensor"] = "sensor.bin"; });
                  },
                  "set/sensor.bin: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Calibrate, MissingManifestWritesNothing) {
    scratch_dir dir;
    const io_test::cli_result r =
        run_cli("calibrate " + quoted(dir / "none.json") + " --out " + quoted(dir / "out/sub"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err,
              "orvane: " + (dir / "none.json") + ": cannot open: No such file or directory\n");
    EXPECT_TRUE(dir.entries().empty());
}

TEST(Calibrate, OutputFolderThatCannotBeMadeIsOneLine) {
    const simulated set("dual", "raw16");
    io_test::write_text(set.dir / "file", "x");
    const io_test::cli_result r =
        run_cli("calibrate " + quoted(set.manifest()) + " --out " + quoted(set.dir / "file/out"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "orvane: " + (set.dir / "file/out") +
                         ": cannot create the folder: Not a "
                         "directory\n");
    EXPECT_THAT(r.out, HasSubstr("Accuracy"));  // the calibration ran; only the writing failed
}

TEST(Calibrate, RefusesToWriteIntoTheCaptureSetsFolder) {
    const simulated set("horizontal", "raw16");
    const auto before = scratch_dir::entries_of(set.dir / "set");
    const io_test::cli_result r =
        run_cli("calibrate " + quoted(set.manifest()) + " --out " + quoted(set.dir / "set/."));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "orvane: " + (set.dir / "set/.") +
                         ": is the capture set's folder; give the outputs their own\n");
    EXPECT_EQ(scratch_dir::entries_of(set.dir / "set"), before);
}

TEST(Simulate, UsageErrorsExitWithTwoAndOneLine) {
    scratch_dir dir;
    for (const std::string& args :
         {std::string("simulate"), "simulate --out " + quoted(dir / "s") + " --format tiff",
          "simulate --out " + quoted(dir / "s") + " --width 513",
          "simulate --out " + quoted(dir / "s") + " --layout diagonal", std::string("calibrate")}) {
        const io_test::cli_result r = run_cli(args);
        EXPECT_EQ(r.exit_code, 2) << args;
        EXPECT_EQ(lines(r.err), 1u) << r.err;
        EXPECT_THAT(r.err, StartsWith("orvane " + args.substr(0, args.find(' ')) + ": "))
            << args;
    }
    EXPECT_TRUE(dir.entries().empty());
}

TEST(Simulate, DualSetHasLeftAndRightFilesAndNoSensor) {
    scratch_dir dir;
    const io_test::cli_result r =
        run_cli("simulate --layout dual --width 256 --height 192 --format pgm --out " +
                quoted(dir / "set"));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("128 x 96 left and right images"));
    const json m = orvane_tool::io::read_json_file(dir / "set/manifest.json");
    EXPECT_EQ(m["layout"], "dual");
    EXPECT_FALSE(m.contains("sensor"));
    EXPECT_EQ(m["black_level"], 64);
    EXPECT_EQ(m["flat"].dump(),
              R"({"lens_position":512,"left":"flat_left.pgm","right":"flat_right.pgm"})");
    EXPECT_EQ(m["frames"][11]["lens_position"], 336 + 11 * 32);
    EXPECT_EQ(m["truth"], "truth.json");
    EXPECT_EQ(scratch_dir::entries_of(dir / "set").size(), 2u * 13 + 4);
}

}  // namespace
