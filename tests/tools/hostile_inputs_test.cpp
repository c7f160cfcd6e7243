// `orvane calibrate` on hostile files: each gives one line on stderr naming
// the file and the reason, exit 1, no output folder, and neither a hang (the
// tool runs under a time limit) nor a memory bomb (the oversized inputs run
// under a cap on the tool's address space).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>

#include "io/records.h"
#include "io_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define HOSTILE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTILE_ASAN 1
#endif
#endif

namespace {

using io_test::quoted;
using io_test::scratch_dir;
using orvane_tool::io::json;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace fs = std::filesystem;

// The address space the tool may take for a refusal: a few times what it
// needs, far below the gigabytes the inputs declare. The sanitizer build
// reserves terabytes of address space up front, so it runs without the cap.
#ifdef HOSTILE_ASAN
constexpr const char* kMemoryCap = "";
#else
constexpr const char* kMemoryCap = "ulimit -v 1048576; ";  // 1 GiB
#endif

io_test::cli_result run_limited(const std::string& args) {
    scratch_dir logs;
    const std::string cmd = std::string("sh -c \"") + kMemoryCap + "exec timeout -s KILL 60 " +
                            ORVANE_CLI + " " + args + "\" >'" + (logs / "out") + "' 2>'" +
                            (logs / "err") + "'";
    const int status = std::system(cmd.c_str());
    io_test::cli_result r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = io_test::read_text(logs / "out");
    r.err = io_test::read_text(logs / "err");
    return r;
}

// A small capture set of `orvane simulate`, to be damaged.
struct capture_set_files {
    scratch_dir dir;
    std::string set(const std::string& name) const { return dir / ("set/" + name); }

    capture_set_files(const std::string& layout, const std::string& format) {
        const io_test::cli_result r =
            io_test::run_cli("simulate --layout " + layout + " --width 256 --height 192 --format " +
                             format + " --out " + quoted(dir / "set"));
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }
    json read(const std::string& name) const { return orvane_tool::io::read_json_file(set(name)); }
    void write(const std::string& name, const json& j) const {
        io_test::write_text(set(name), orvane_tool::io::json_text(j));
    }
    void edit(const std::string& name, const std::function<void(json&)>& change) const {
        json j = read(name);
        change(j);
        write(name, j);
    }
    // Replaces the text of `key`'s value in `name` by `value` as it stands.
    void splice(const std::string& name, const std::string& key, const std::string& value) const {
        std::string text = io_test::read_text(set(name));
        const size_t at = text.find("\"" + key + "\": ");
        ASSERT_NE(at, std::string::npos) << key;
        const size_t from = at + key.size() + 4;
        size_t to = from;
        int depth = 0;
        for (; to < text.size(); ++to) {
            const char c = text[to];
            if (c == '[' || c == '{') ++depth;
            if (c == ']' || c == '}') --depth;
            if (depth < 0 || (depth == 0 && (c == ',' || c == '\n'))) break;
        }
        text.replace(from, to - from, value);
        io_test::write_text(set(name), text);
    }
    void make_fifo(const std::string& name) const {
        fs::remove(set(name));
        ASSERT_EQ(::mkfifo(set(name).c_str(), 0600), 0);
    }
    // A sparse file of `bytes`: no disk space taken.
    void inflate(const std::string& name, uint64_t bytes) const {
        fs::resize_file(set(name), bytes);
    }
};

struct hostile {
    const char* name;
    const char* layout;
    const char* format;
    std::function<void(const capture_set_files&)> damage;
    std::string culprit;  // file in the set the message starts with
    std::string reason;
};

// Test names show the case, not the record's bytes.
void PrintTo(const hostile& c, std::ostream* os) { *os << c.name; }

void expect_refusal(const hostile& h, const capture_set_files& files,
                    const io_test::cli_result& r) {
    EXPECT_EQ(r.exit_code, 1) << h.name << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << h.name << ": " << r.err;
    EXPECT_THAT(r.err, StartsWith("orvane: " + files.set(h.culprit) + ": ")) << h.name;
    EXPECT_THAT(r.err, HasSubstr(h.reason)) << h.name;
    EXPECT_LT(r.err.size(), 1000u) << h.name;  // values quoted in excerpts
    EXPECT_FALSE(fs::exists(files.dir / "out")) << h.name;
}

std::string nested(int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

class HostileFiles : public ::testing::TestWithParam<hostile> {};

TEST_P(HostileFiles, AreRefusedWithOneLine) {
    const hostile& h = GetParam();
    const capture_set_files files(h.layout, h.format);
    h.damage(files);
    const io_test::cli_result r = run_limited("calibrate " + quoted(files.set("manifest.json")) +
                                              " --out " + quoted(files.dir / "out"));
    expect_refusal(h, files, r);
}

INSTANTIATE_TEST_SUITE_P(
    ManifestsAndRecords, HostileFiles,
    ::testing::Values(hostile{"NestedLayout", "horizontal", "raw16",
                              [](const capture_set_files& f) {
                                  f.splice("manifest.json", "layout", nested(100000));
                              },
                              "manifest.json", "invalid JSON: nested more than 16 levels deep"},
                      hostile{"NestedFrames", "dual", "raw16",
                              [](const capture_set_files& f) {
                                  f.splice("manifest.json", "frames", nested(100000));
                              },
                              "manifest.json", "invalid JSON: nested more than 16 levels deep"},
                      hostile{"NestedObjectsInARecord", "horizontal", "raw16",
                              [](const capture_set_files& f) {
                                  std::string deep;
                                  for (int i = 0; i < 50000; ++i) deep += "{\"a\": ";
                                  f.splice("settings.json", "filter_taps",
                                           deep + "1" + std::string(50000, '}'));
                              },
                              "settings.json", "invalid JSON: nested more than 16 levels deep"},
                      hostile{"ManifestIsAPipe", "horizontal", "raw16",
                              [](const capture_set_files& f) { f.make_fifo("manifest.json"); },
                              "manifest.json", "not a regular file"},
                      hostile{"RecordIsAPipe", "horizontal", "raw16",
                              [](const capture_set_files& f) { f.make_fifo("settings.json"); },
                              "settings.json", "not a regular file"},
                      hostile{"RawRecordIsAPipe", "horizontal", "raw16",
                              [](const capture_set_files& f) {
                                  f.make_fifo("limits.bin");
                                  f.edit("manifest.json",
                                         [](json& m) { m["limits"] = "limits.bin"; });
                              },
                              "limits.bin", "not a regular file"},
                      hostile{"DuplicateFrames", "horizontal", "raw16",
                              [](const capture_set_files& f) {
                                  f.splice("manifest.json", "truth",
                                           "\"truth.json\",\n  \"frames\": [{\"lens_position\": 1, "
                                           "\"file\": \"f00.raw\"}]");
                              },
                              "manifest.json", "invalid JSON: duplicate key 'frames'"},
                      hostile{"DuplicateGridSize", "horizontal", "raw16",
                              [](const capture_set_files& f) {
                                  f.splice("settings.json", "win_rows", "1, \"win_rows\": 2");
                              },
                              "settings.json", "invalid JSON: duplicate key 'win_rows'"},
                      hostile{"NulInAFileName", "horizontal", "raw16",
                              [](const capture_set_files& f) {
                                  f.edit("manifest.json", [](json& m) {
                                      m["frames"][3]["file"] = std::string("f03.raw\0.png", 12);
                                  });
                              },
                              "manifest.json",
                              "frames[3]: field 'file': expected a string without NUL characters"},
                      hostile{"OverlongLayoutName", "dual", "raw16",
                [](const capture_set_files& f) {
                    f.edit("manifest.json", [](json& m) { m["layout"] = std::string(1 << 20, 'h'); });
                },
                "manifest.json", "field 'layout': expected a string of at most 4096 bytes, got "},
        hostile{"OverlongFileName", "horizontal", "raw16",
                [](const capture_set_files& f) {
                    f.edit("manifest.json",
                           [](json& m) { m["frames"][2]["file"] = std::string(5000, 'f'); });
                },
                "manifest.json", "frames[2]: field 'file': expected a string of at most 4096"},
        hostile{"NewlineInAFieldName", "dual", "raw16",
                              [](const capture_set_files& f) {
                                  f.edit("limits.json", [](json& m) { m["max\ngain"] = 1; });
                              },
                              "limits.json", "unknown field 'max\\ngain'"}),
    [](const auto& info) { return std::string(info.param.name); });

constexpr uint64_t k3GiB = uint64_t{3} << 30;

INSTANTIATE_TEST_SUITE_P(
    Oversized, HostileFiles,
    ::testing::Values(
        hostile{"Raw16Frame", "horizontal", "raw16",
                [](const capture_set_files& f) { f.inflate("f03.raw", k3GiB); }, "f03.raw",
                "expected 256x192 16-bit samples (98304 bytes), got 3221225472 bytes"},
        hostile{"Raw10Frame", "horizontal", "raw10",
                [](const capture_set_files& f) { f.inflate("f03.raw10", k3GiB); }, "f03.raw10",
                "(61440 bytes), got 3221225472 bytes"},
        hostile{"PgmFrame", "vertical", "pgm",
                [](const capture_set_files& f) { f.inflate("flat.pgm", k3GiB); }, "flat.pgm",
                "3221225472 bytes, more than a 256x192 pgm frame may have"},
        hostile{"PngFrame", "dual", "png",
                [](const capture_set_files& f) { f.inflate("f07_right.png", k3GiB); },
                "f07_right.png", "3221225472 bytes, more than a 128x96 png frame may have"},
        hostile{"Manifest", "dual", "png",
                [](const capture_set_files& f) { f.inflate("manifest.json", k3GiB); },
                "manifest.json", "3221225472 bytes, more than a JSON file may have (4194304)"},
        hostile{"JsonRecord", "horizontal", "raw16",
                [](const capture_set_files& f) { f.inflate("sensor.json", k3GiB); }, "sensor.json",
                "3221225472 bytes, more than a JSON file may have"},
        hostile{"RawRecord", "horizontal", "raw16",
                [](const capture_set_files& f) {
                    io_test::write_text(f.set("settings.bin"), "");
                    f.inflate("settings.bin", k3GiB);
                    f.edit("manifest.json", [](json& m) { m["settings"] = "settings.bin"; });
                },
                "settings.bin", "3221225472 bytes, more than a cal_settings record may have (356)"},
        hostile{"DualImagesBeyondTheLibrary", "dual", "png",
                [](const capture_set_files& f) {
                    f.edit("manifest.json", [](json& m) {
                        m["width"] = 20000;
                        m["height"] = 20000;
                    });
                },
                "manifest.json", "field 'width'"},
        hostile{"RawFramesBeyondTheTool", "horizontal", "png",
                [](const capture_set_files& f) {
                    // Margins keep the library's images small; the frames are not.
                    f.edit("sensor.json", [](json& s) {
                        s["image_width"] = 60000;
                        s["image_height"] = 60000;
                        s["margin_x"] = 29872;
                        s["margin_y"] = 29904;
                    });
                    f.edit("manifest.json", [](json& m) {
                        m.erase("width");
                        m.erase("height");
                    });
                },
                "sensor.json",
                "field 'image_width': 60000 x 60000 frames have more than the "
                "100000000 samples the tool reads"}),
    [](const auto& info) { return std::string(info.param.name); });

// Two frames, none trimmed: the per-window checks read the library's
// direction slots, one of them past the sweep, and explain every flag.
TEST(HostileSettings, TwoFrameSweepWithoutTrimCalibrates) {
    const capture_set_files files("horizontal", "raw16");
    files.edit("settings.json", [](json& s) {
        s["sweep_frames"] = 2;
        s["trim_frames"] = 0;
    });
    files.edit("manifest.json", [](json& m) {
        m["frames"] = json::array({m["frames"][4], m["frames"][7]});
        m.erase("truth");
    });
    const io_test::cli_result r = run_limited("calibrate " + quoted(files.set("manifest.json")) +
                                              " --out " + quoted(files.dir / "out"));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const json summary = orvane_tool::io::read_json_file(files.dir / "out/summary.json");
    EXPECT_EQ(summary["unexplained_flags"], 0);
    uint32_t fit = 0;
    for (const json& row : summary["fit_flags"])
        for (const json& w : row) fit |= w.get<uint32_t>();
    const uint32_t checks =
        ORVANE_NOT_MONOTONIC | ORVANE_PD_RANGE_LOW | ORVANE_DCC_DEVIATION | ORVANE_PEAK_AT_END;
    EXPECT_EQ(fit, summary["dcc_status"].get<uint32_t>() & checks);
}

// summary.json carries what each window's DCC map checks compared, so that a
// reader can show why a window is flagged without redoing the checks: every
// flag follows from the values written beside it.
TEST(SummaryFitChecks, EachWindowsFlagsFollowFromTheValuesWritten) {
    const capture_set_files files("horizontal", "raw16");
    files.edit("settings.json", [](json& s) {
        s["min_pd_range"] = 20;  // some windows' spread falls short
        for (json& limit : s["dcc_dev_limit"]) limit = 0.02f;
    });
    const io_test::cli_result r = run_limited("calibrate " + quoted(files.set("manifest.json")) +
                                              " --out " + quoted(files.dir / "out"));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json summary = orvane_tool::io::read_json_file(files.dir / "out/summary.json");
    const json& c = summary["fit_checks"];
    const json& lens = summary["lens_positions"];
    uint32_t seen = 0;
    for (size_t row = 0; row < summary["fit_flags"].size(); ++row) {
        for (size_t col = 0; col < summary["fit_flags"][row].size(); ++col) {
            const uint32_t flags = summary["fit_flags"][row][col].get<uint32_t>();
            const auto at = [&](const char* key) { return c[key][row][col].get<double>(); };
            const int peak = summary["peak_lens"][row][col].get<int>();
            SCOPED_TRACE("window " + std::to_string(row) + "," + std::to_string(col));
            EXPECT_EQ((flags & ORVANE_PD_RANGE_LOW) != 0,
                      c["min_pd_range"].get<double>() > at("pd_range"));
            EXPECT_EQ((flags & ORVANE_DCC_DEVIATION) != 0,
                      std::fabs(at("zero_pd_offset_norm")) > at("dcc_dev_limit"));
            EXPECT_EQ((flags & ORVANE_PEAK_AT_END) != 0,
                      peak <= lens.front().get<int>() || peak >= lens.back().get<int>());
            if (flags & ORVANE_NOT_MONOTONIC)
                EXPECT_GT(at("fit_residual"), c["residual_limit"].get<double>());
            seen |= flags;
        }
    }
    // Both edited checks fired somewhere, and the map's status is their OR.
    EXPECT_TRUE(seen & ORVANE_PD_RANGE_LOW);
    EXPECT_TRUE(seen & ORVANE_DCC_DEVIATION);
    EXPECT_EQ(seen, summary["dcc_status"].get<uint32_t>() &
                        (ORVANE_NOT_MONOTONIC | ORVANE_PD_RANGE_LOW | ORVANE_DCC_DEVIATION |
                         ORVANE_PEAK_AT_END));
}

}  // namespace
