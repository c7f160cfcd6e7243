// Capture sets on disk: save and load give back the same set, a failed save
// leaves nothing behind, and bad manifests give one clear line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

#include "io/capture_io.h"
#include "io/records.h"
#include "io_support.h"

namespace {

using io_test::error_of;

using namespace orvane_tool;
using io::frame_format;
using io::json;
using ::testing::HasSubstr;

constexpr uint32_t kWidth = 12, kHeight = 6;

std::vector<uint16_t> image(uint32_t seed) {
    std::vector<uint16_t> v(size_t{kWidth} * kHeight);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint16_t>((i * 37 + seed * 101) % 1024);
    return v;
}

capture_set sample_set(layout kind) {
    capture_set s;
    s.kind = kind;
    // Small, but a set the library can calibrate: loading checks that.
    s.settings.gain_rows = 2;
    s.settings.gain_cols = 3;
    s.settings.gain_shift = 9;
    s.settings.win_rows = 2;
    s.settings.win_cols = 3;
    s.settings.filter_taps[0] = 1.0f;
    s.settings.filter_tap_count = 1;
    s.settings.sweep_frames = 3;
    s.settings.max_shift = 8;
    s.settings.pd_pitch_2pd = 1;
    for (int w = 0; w < 6; ++w) s.settings.dcc_dev_limit[w] = 0.1f;
    s.settings.lens_min = 0.0f;
    s.settings.lens_max = 1023.0f;
    s.limits = {4096, 50, 1000, 0};
    s.width = kWidth;
    s.height = kHeight;
    if (kind == layout::dual) {
        s.black_level = 64;
    } else {
        s.cfg.image_width = kWidth;
        s.cfg.image_height = kHeight;
        s.cfg.black_level = 64;
        s.cfg.block_width = 4;
        s.cfg.block_height = 3;
        s.cfg.pair_count = 1;
        s.cfg.left_x[0] = 1;
        s.cfg.right_x[0] = 2;
        s.cfg.v_left_x[0] = 1;
        s.cfg.v_right_x[0] = 1;
        s.cfg.v_right_y[0] = 1;
        s.black_level = 64;
    }
    const auto fill = [&](frame& f, int32_t lens, uint32_t seed) {
        f.lens_position = lens;
        if (kind == layout::dual) {
            f.left = image(seed);
            f.right = image(seed + 1000);
        } else {
            f.raw = image(seed);
        }
    };
    fill(s.flat, 300, 1);
    s.sweep.resize(3);
    for (int k = 0; k < 3; ++k) fill(s.sweep[k], 100 + 50 * k, static_cast<uint32_t>(k + 2));
    return s;
}

ground_truth sample_truth() {
    ground_truth t;
    t.win_rows = 2;
    t.win_cols = 3;
    t.lens_step = 50;
    t.dcc = {10, 11, 12, 13, 14, 15.5f};
    t.in_focus_lens = {150, 151, 152, 153, 154, 155.25f};
    t.zero_pd_offset = {13, 13.5f, 14, -1, 0, 2.75f};
    return t;
}

void expect_same(const capture_set& a, const capture_set& b) {
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(std::memcmp(&a.settings, &b.settings, sizeof a.settings), 0);
    EXPECT_EQ(std::memcmp(&a.cfg, &b.cfg, sizeof a.cfg), 0);
    EXPECT_EQ(std::memcmp(&a.limits, &b.limits, sizeof a.limits), 0);
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    EXPECT_EQ(a.black_level, b.black_level);
    const auto same_frame = [](const frame& x, const frame& y) {
        EXPECT_EQ(x.lens_position, y.lens_position);
        EXPECT_EQ(x.raw, y.raw);
        EXPECT_EQ(x.left, y.left);
        EXPECT_EQ(x.right, y.right);
    };
    same_frame(a.flat, b.flat);
    ASSERT_EQ(a.sweep.size(), b.sweep.size());
    for (size_t k = 0; k < a.sweep.size(); ++k) same_frame(a.sweep[k], b.sweep[k]);
}

struct round_trip_case {
    layout kind;
    frame_format format;
};

// Test names show the case, not the record's bytes.
void PrintTo(const round_trip_case& c, std::ostream* os) {
    *os << layout_name(c.kind) << "_" << io::frame_format_name(c.format);
}

class CaptureRoundTrip : public ::testing::TestWithParam<round_trip_case> {};

TEST_P(CaptureRoundTrip, LoadGivesBackTheSavedSet) {
    const round_trip_case p = GetParam();
    io_test::scratch_dir dir;
    const capture_set in = sample_set(p.kind);
    const ground_truth truth = sample_truth();
    io::save_capture_set(in, dir / "set", &truth, p.format);

    std::optional<ground_truth> loaded_truth;
    const capture_set out = io::load_capture_set(dir / "set/manifest.json", loaded_truth);
    expect_same(in, out);
    ASSERT_TRUE(loaded_truth.has_value());
    EXPECT_EQ(loaded_truth->dcc, truth.dcc);
    EXPECT_EQ(loaded_truth->in_focus_lens, truth.in_focus_lens);
    EXPECT_EQ(loaded_truth->zero_pd_offset, truth.zero_pd_offset);

    // Every file in place, no temporary left.
    for (const std::string& name : io_test::scratch_dir::entries_of(dir / "set"))
        EXPECT_NE(name.front(), '.') << name;
    const json manifest = io::read_json_file(dir / "set/manifest.json");
    EXPECT_EQ(manifest["layout"], layout_name(p.kind));
    EXPECT_EQ(manifest["frames"].size(), 3u);
    EXPECT_EQ(manifest["format"], io::frame_format_name(p.format));
}

INSTANTIATE_TEST_SUITE_P(LayoutsAndFormats, CaptureRoundTrip,
                         ::testing::Values(round_trip_case{layout::horizontal, frame_format::raw16},
                                           round_trip_case{layout::vertical, frame_format::raw10},
                                           round_trip_case{layout::horizontal, frame_format::pgm},
                                           round_trip_case{layout::dual, frame_format::png},
                                           round_trip_case{layout::dual, frame_format::raw16}));

TEST(CaptureFiles, SavedFilesAreTheManifestNames) {
    io_test::scratch_dir dir;
    io::save_capture_set(sample_set(layout::dual), dir / "set", nullptr, frame_format::raw16);
    EXPECT_EQ(io_test::scratch_dir::entries_of(dir / "set"),
              (std::vector<std::string>{"f00_left.raw", "f00_right.raw", "f01_left.raw",
                                        "f01_right.raw", "f02_left.raw", "f02_right.raw",
                                        "flat_left.raw", "flat_right.raw", "limits.json",
                                        "manifest.json", "settings.json"}));
    const json m = io::read_json_file(dir / "set/manifest.json");
    EXPECT_EQ(m["frames"][1].dump(),
              R"({"lens_position":150,"left":"f01_left.raw","right":"f01_right.raw"})");
    EXPECT_EQ(m["black_level"], 64);
    EXPECT_FALSE(m.contains("sensor"));
}

TEST(CaptureFiles, FailedSaveKeepsTheEarlierSetAndLeavesNoFile) {
    io_test::scratch_dir dir;
    const capture_set good = sample_set(layout::horizontal);
    io::save_capture_set(good, dir / "set", nullptr, frame_format::raw10);
    const auto before = io_test::scratch_dir::entries_of(dir / "set");

    capture_set bad = sample_set(layout::horizontal);
    for (auto& f : bad.sweep) f.lens_position += 1;
    bad.sweep[2].raw[5] = 4000;  // cannot be packed as RAW10, found after other files
    EXPECT_EQ(
        error_of([&] { io::save_capture_set(bad, dir / "set", nullptr, frame_format::raw10); }),
        dir / "set/f02.raw10" + ": sample 4000 at (5, 0) does not fit in 10 bits");
    EXPECT_EQ(io_test::scratch_dir::entries_of(dir / "set"), before);
    expect_same(good, io::load_capture_set(dir / "set/manifest.json"));

    EXPECT_EQ(
        error_of([&] { io::save_capture_set(bad, dir / "fresh", nullptr, frame_format::raw10); }),
        dir / "fresh/f02.raw10" + ": sample 4000 at (5, 0) does not fit in 10 bits");
    EXPECT_TRUE(io_test::scratch_dir::entries_of(dir / "fresh").empty());
}

TEST(CaptureFiles, InconsistentSetIsRefusedBeforeWriting) {
    io_test::scratch_dir dir;
    capture_set s = sample_set(layout::horizontal);
    s.sweep[1].raw.pop_back();
    EXPECT_EQ(error_of([&] { io::save_capture_set(s, dir / "set"); }),
              "capture set: sweep frame 1 raw frame has 71 samples, expected 72");
    s = sample_set(layout::horizontal);
    s.cfg.image_width = 13;
    EXPECT_EQ(error_of([&] { io::save_capture_set(s, dir / "set"); }),
              "capture set: frame size 12x6 differs from the sensor configuration's 13x6");
    s = sample_set(layout::dual);
    s.flat.lens_position = 40000;
    EXPECT_EQ(error_of([&] { io::save_capture_set(s, dir / "set"); }),
              "capture set: flat field lens position 40000 is outside -32768..32767");
    EXPECT_FALSE(std::filesystem::exists(dir / "set/manifest.json"));
}

// A saved horizontal set whose manifest each case then edits.
class ManifestErrors : public ::testing::Test {
protected:
    void SetUp() override {
        io::save_capture_set(sample_set(layout::horizontal), dir / "set");
        manifest_path = dir / "set/manifest.json";
        manifest = io::read_json_file(manifest_path);
    }
    std::string load_error(const json& m) {
        io_test::write_text(manifest_path, io::json_text(m));
        return error_of([&] { io::load_capture_set(manifest_path); });
    }
    io_test::scratch_dir dir;
    std::string manifest_path;
    json manifest;
};

TEST_F(ManifestErrors, NameTheManifestFieldOrTheFrameFile) {
    json m = manifest;
    m["layout"] = "diagonal";
    EXPECT_EQ(load_error(m), manifest_path +
                                 ": field 'layout': unknown layout 'diagonal' "
                                 "(horizontal, vertical or dual)");
    m = manifest;
    m["frames"][0]["lens"] = 3;
    EXPECT_EQ(load_error(m), manifest_path + ": frames[0]: unknown field 'lens'");
    m = manifest;
    m["frames"][1]["lens_position"] = 40000;
    EXPECT_EQ(load_error(m), manifest_path +
                                 ": frames[1]: field 'lens_position': expected an "
                                 "integer -32768..32767, got 40000");
    m = manifest;
    m["frames"] = json::array();
    for (int k = 0; k < 13; ++k) m["frames"].push_back(manifest["frames"][0]);
    EXPECT_EQ(load_error(m), manifest_path + ": field 'frames': expected 1 to 12 frames, got 13");
    m = manifest;
    m["width"] = 16;
    EXPECT_EQ(load_error(m),
              manifest_path + ": field 'width': is 16, but the sensor's image_width is 12");
    m = manifest;
    m["black_level"] = 64;
    EXPECT_EQ(load_error(m), manifest_path +
                                 ": field 'black_level': only for the dual layout "
                                 "(raw layouts take the sensor's)");
    m = manifest;
    m["frames"][2]["file"] = "gone.raw";
    EXPECT_EQ(load_error(m), dir / "set/gone.raw" + ": cannot open: No such file or directory");
    m = manifest;
    m["format"] = "raw10";
    EXPECT_EQ(load_error(m), dir / "set/flat.raw" +
                                 ": expected 12x6 RAW10 pixels with a 15-byte stride (90 bytes), "
                                 "got 144 bytes");
    m = manifest;
    m["raw10_stride"] = 16;
    EXPECT_EQ(load_error(m),
              manifest_path + ": field 'raw10_stride': only with \"format\": \"raw10\"");
}

TEST_F(ManifestErrors, BrokenRecordsAndFramesAreReportedByFile) {
    io_test::write_text(dir / "set/limits.json", "{\"max_gain\": 4096, \"min_level\": -1}");
    EXPECT_EQ(
        error_of([&] { io::load_capture_set(manifest_path); }),
        dir / "set/limits.json" + ": field 'min_level': expected an integer 0..65535, got -1");
    io::save_capture_set(sample_set(layout::horizontal), dir / "set");
    std::filesystem::resize_file(dir / "set/f01.raw", 100);
    EXPECT_EQ(error_of([&] { io::load_capture_set(manifest_path); }),
              dir / "set/f01.raw" + ": expected 12x6 16-bit samples (144 bytes), got 100 bytes");
    io_test::write_text(manifest_path, "{\"layout\": \"horizontal\",");
    EXPECT_THAT(error_of([&] { io::load_capture_set(manifest_path); }),
                HasSubstr(manifest_path + ": invalid JSON: "));
}

TEST(CaptureFiles, DualFlatNeedsItsLensPosition) {
    io_test::scratch_dir dir;
    io::save_capture_set(sample_set(layout::dual), dir / "set");
    json m = io::read_json_file(dir / "set/manifest.json");
    m["flat"].erase("lens_position");
    io_test::write_text(dir / "set/manifest.json", io::json_text(m));
    EXPECT_EQ(error_of([&] { io::load_capture_set(dir / "set/manifest.json"); }),
              dir / "set/manifest.json" + ": flat: missing field 'lens_position'");
}

TEST(CaptureFiles, RecordsGivenInsteadOfTheManifestsOnes) {
    io_test::scratch_dir dir;
    io::save_capture_set(sample_set(layout::horizontal), dir / "set");
    capture_set other = sample_set(layout::horizontal);
    other.settings.max_shift = 9;
    other.limits.max_gain = 777;
    io::save_settings(dir / "settings.bin", other.settings);
    io::save_limits(dir / "limits.json", other.limits);
    json m = io::read_json_file(dir / "set/manifest.json");
    m.erase("settings");  // not needed when given
    io_test::write_text(dir / "set/manifest.json", io::json_text(m));

    std::optional<ground_truth> truth;
    const capture_set loaded = io::load_capture_set(
        dir / "set/manifest.json", truth, {"", dir / "settings.bin", dir / "limits.json"});
    EXPECT_EQ(std::memcmp(&loaded.settings, &other.settings, sizeof other.settings), 0);
    EXPECT_EQ(loaded.limits.max_gain, 777);
    EXPECT_EQ(loaded.cfg.image_width, kWidth);
    EXPECT_EQ(error_of([&] { io::load_capture_set(dir / "set/manifest.json"); }),
              dir / "set/manifest.json" + ": missing field 'settings'");

    io::save_capture_set(sample_set(layout::dual), dir / "dual");
    EXPECT_EQ(error_of([&] {
                  io::load_capture_set(dir / "dual/manifest.json", truth, {dir / "s.json", "", ""});
              }),
              dir / "s.json" + ": the dual layout takes no sensor configuration");
}

TEST(StagedFiles, AppearTogetherOnCommitAndLeaveNothingOtherwise) {
    io_test::scratch_dir dir;
    {
        io::staged_files out(dir / "a/b");
        out.add("one.bin", std::vector<uint8_t>{1, 2});
        out.add("two.json", std::string("{}\n"));
        EXPECT_EQ(io_test::scratch_dir::entries_of(dir / "a/b").size(), 2u);  // temporaries
    }
    EXPECT_TRUE(dir.entries().empty());  // the folders made for them went too

    io::staged_files out(dir / "a/b/");
    out.add("one.bin", std::vector<uint8_t>{1, 2});
    out.add("two.json", std::string("{}\n"));
    out.commit();
    EXPECT_EQ(io_test::scratch_dir::entries_of(dir / "a/b"),
              (std::vector<std::string>{"one.bin", "two.json"}));
    EXPECT_EQ(io_test::read_text(dir / "a/b/two.json"), "{}\n");
}

TEST(StagedFiles, FolderInTheWayStopsTheCommitBeforeAnyRename) {
    io_test::scratch_dir dir;
    io_test::write_text(dir / "one.bin", "old");
    std::filesystem::create_directory(dir / "two.json");
    EXPECT_EQ(error_of([&] {
                  io::staged_files out(dir.path().string());
                  out.add("one.bin", std::string("new"));
                  out.add("two.json", std::string("{}"));
                  out.commit();
              }),
              dir / "two.json" + ": is a folder, not a file");
    EXPECT_EQ(io_test::read_text(dir / "one.bin"), "old");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"one.bin", "two.json"}));

    io_test::write_text(dir / "file", "x");
    EXPECT_EQ(error_of([&] { io::staged_files out(dir / "file/sub"); }),
              dir / "file/sub" + ": cannot create the folder: Not a directory");
}

}  // namespace
