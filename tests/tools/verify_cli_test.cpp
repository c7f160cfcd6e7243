// `orvane verify` closing the loop on simulated modules: a module's own
// calibration lands its one-shot predictions in focus, a calibration with a
// wrong DCC misses by a share of the distance from focus, and a calibration
// that does not belong to the set is refused with one line naming the file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "io/records.h"
#include "io_support.h"
#include "orvane.h"

namespace {

using io_test::quoted;
using io_test::run_cli;
using io_test::scratch_dir;
using orvane_tool::io::json;
using orvane_tool::io::read_json_file;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace fs = std::filesystem;

// Small frames: a 2 x 2 window grid, twelve frames each way.
const std::string kSize = "--width 512 --height 384 --seed 7";
const std::vector<std::string> kLayouts = {"horizontal", "vertical", "dual"};

// Per layout: the calibration set, its calibration and the verification set.
struct module_run {
    fs::path dir;
    std::string cal() const { return (dir / "cal").string(); }
    std::string manifest() const { return (dir / "vset/manifest.json").string(); }
};

const module_run& module_of(const std::string& layout) {
    static scratch_dir root;
    static std::map<std::string, module_run> runs;
    auto it = runs.find(layout);
    if (it != runs.end()) return it->second;
    const fs::path dir = root.path() / layout;
    const std::string sim = "simulate --layout " + layout + " " + kSize;
    io_test::cli_result r = run_cli(sim + " --out " + quoted((dir / "set").string()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = run_cli(sim + " --verify --out " + quoted((dir / "vset").string()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = run_cli("calibrate " + quoted((dir / "set/manifest.json").string()) + " --out " +
                quoted((dir / "cal").string()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return runs.emplace(layout, module_run{dir}).first->second;
}

struct verify_run {
    io_test::cli_result cli;
    json report;
};

verify_run verify(const std::string& cal, const std::string& manifest, const std::string& out) {
    verify_run v;
    v.cli = run_cli("verify " + quoted(cal) + " " + quoted(manifest) + " --out " + quoted(out));
    EXPECT_EQ(v.cli.exit_code, 0) << v.cli.err;
    EXPECT_EQ(v.cli.err, "");
    if (v.cli.exit_code == 0) v.report = read_json_file(out + "/verify.json");
    return v;
}

// Least-squares slope through the origin of the prediction error over the
// lens position's distance from the reference focus.
double error_slope(const json& report) {
    double sxy = 0.0, sxx = 0.0;
    for (const json& s : report["samples"]) {
        if (s["at_edge"].get<bool>()) continue;
        const double x = s["lens"].get<double>() - s["reference"].get<double>();
        sxy += x * s["error"].get<double>();
        sxx += x * x;
    }
    return sxy / sxx;
}

TEST(VerifyCommand, OwnCalibrationLandsInFocusOnEveryLayout) {
    const std::map<std::string, std::string> readout = {
        {"horizontal", "Orvane_get_raw_pd"},
        {"vertical", "Orvane_add_raw_vertical (intake pass)"},
        {"dual", "Orvane_get_raw_pd_2pd"}};
    for (const std::string& layout : kLayouts) {
        SCOPED_TRACE(layout);
        const module_run& m = module_of(layout);
        scratch_dir out;
        const verify_run v = verify(m.cal(), m.manifest(), out / "v");
        ASSERT_EQ(v.cli.exit_code, 0);
        EXPECT_THAT(v.cli.out, HasSubstr("  PASS  one-shot prediction with the zero-PD offset"));
        const json& j = v.report;
        EXPECT_EQ(j["layout"], layout);
        EXPECT_EQ(j["pd_source"], readout.at(layout));
        EXPECT_EQ(j["reference"], "ground truth");
        EXPECT_EQ(j["lens_step"], 32);
        EXPECT_EQ(j["readout_mismatches"], 0);  // readout and intake measure alike

        // The set: lens positions off the calibration grid (336 + 32 k), not
        // rising, inside the calibration's span 336..688.
        std::vector<int> lens = j["lens_positions"].get<std::vector<int>>();
        ASSERT_EQ(lens.size(), 12u);
        EXPECT_FALSE(std::is_sorted(lens.begin(), lens.end()));
        for (int l : lens) EXPECT_NE(((l - 336) % 32 + 32) % 32, 0) << l;
        EXPECT_GT(*std::min_element(lens.begin(), lens.end()), 336);
        EXPECT_LT(*std::max_element(lens.begin(), lens.end()), 688);

        ASSERT_EQ(j["samples"].size(), 48u);
        const json& s = j["summary"];
        EXPECT_TRUE(s["pass"].get<bool>());
        EXPECT_EQ(s["window_frames"].get<int>() + j["at_edge"].get<int>(), 48);
        EXPECT_GE(s["window_frames"].get<int>(), 40);
        EXPECT_GE(s["share"].get<double>(), 0.9);
        EXPECT_LT(s["median_abs_error"].get<double>(), 10.0);
        // A right DCC leaves no error that grows with the distance from focus.
        EXPECT_LT(std::fabs(error_slope(j)), 0.05);
    }
}

// What a module carries: the blocks alone, no state dump. On sparse pairs the
// zero-PD offset block moves the one-shot predictions from the zero-disparity
// position onto focus; dual photodiodes have next to no offset to correct.
TEST(VerifyCommand, TheZeroPdOffsetBlockLandsSparsePairsOnFocus) {
    for (const std::string& layout : kLayouts) {
        SCOPED_TRACE(layout);
        const module_run& m = module_of(layout);
        scratch_dir dir;
        const fs::path cal = dir.path() / "cal";
        fs::copy(m.cal(), cal, fs::copy_options::recursive);
        fs::remove(cal / "state_dump.bin");
        const verify_run v = verify(cal.string(), m.manifest(), dir / "v");
        ASSERT_EQ(v.cli.exit_code, 0);
        EXPECT_THAT(v.cli.out, HasSubstr("zero-PD offsets from zero_pd_offset_block.bin"));
        const json& j = v.report;
        EXPECT_TRUE(j["zero_pd_offset_corrected"].get<bool>());
        EXPECT_EQ(j["zero_pd_offset_source"], "zero_pd_offset_block.bin");
        const double share = j["summary"]["share"].get<double>();
        const double plain_share = j["uncorrected"]["share"].get<double>();
        const double error = j["summary"]["median_abs_error"].get<double>();
        const double plain_error = j["uncorrected"]["median_abs_error"].get<double>();
        EXPECT_GE(share, 0.9);
        EXPECT_GE(share, plain_share);
        if (layout == "dual") {
            EXPECT_NEAR(error, plain_error, 3.0);
        } else {
            EXPECT_LT(error, 0.5 * plain_error) << plain_error;
        }
    }
}

// Without a truth the reference is the verification sweep's own contrast
// peak; without a zero-PD offset block or state dump the predictions go
// uncorrected.
TEST(VerifyCommand, WithoutTruthOrStateDumpJudgesAgainstTheSweepsContrastPeak) {
    const module_run& m = module_of("vertical");
    scratch_dir dir;
    const fs::path cal = dir.path() / "cal", vset = dir.path() / "vset";
    fs::copy(m.cal(), cal, fs::copy_options::recursive);
    fs::copy(fs::path(m.manifest()).parent_path(), vset, fs::copy_options::recursive);
    fs::remove(cal / "state_dump.bin");
    fs::remove(cal / "zero_pd_offset_block.bin");
    json manifest = read_json_file((vset / "manifest.json").string());
    manifest.erase("truth");
    io_test::write_text((vset / "manifest.json").string(), manifest.dump());

    const verify_run v = verify(cal.string(), (vset / "manifest.json").string(), dir / "v");
    ASSERT_EQ(v.cli.exit_code, 0);
    EXPECT_THAT(v.cli.out, HasSubstr("reference contrast peak of the verification sweep"));
    EXPECT_THAT(v.cli.out, HasSubstr("(no zero-PD offset block or state dump: predictions "
                                     "without the zero-PD offset)"));
    const json& j = v.report;
    EXPECT_EQ(j["reference"], "contrast peak");
    EXPECT_FALSE(j["zero_pd_offset_corrected"].get<bool>());
    EXPECT_EQ(j["lens_step"], 32);  // from summary.json's lens positions
    const json truth =
        read_json_file((fs::path(m.manifest()).parent_path() / "truth.json").string());
    for (size_t w = 0; w < j["windows"].size(); ++w) {
        const json& win = j["windows"][w];
        EXPECT_EQ(win["reference"].get<double>(), win["sweep_peak"].get<double>());
        // The sweep's contrast peak is near the truth and the calibration's.
        EXPECT_NEAR(win["sweep_peak"].get<double>(),
                    truth["in_focus_lens"][w / 2][w % 2].get<double>(), 10.0);
        EXPECT_NEAR(win["sweep_peak"].get<double>(), win["calibration_peak"].get<double>(), 10.0);
        EXPECT_EQ(win["zero_pd_offset"], 0);
    }
    for (const json& s : j["samples"]) EXPECT_EQ(s["predicted"], s["corrected"]);
    EXPECT_TRUE(j["summary"]["pass"].get<bool>());
}

// The calibration block with every DCC value scaled, written by the library.
void scale_dcc(const std::string& block_path, double factor) {
    const std::string text = io_test::read_text(block_path);
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.resize(ORVANE_BLOCK_HV_BUFFER_SIZE, 0);
    gainmap gains{};
    dccmap dcc{};
    ASSERT_EQ(Orvane_read_calibration_block(&gains, &dcc, bytes.data()), 0u);
    for (int w = 0; w < dcc.win_cols * dcc.win_rows; ++w)
        dcc.dcc[w] = static_cast<int16_t>(std::lround(dcc.dcc[w] * factor));
    std::vector<uint8_t> block(ORVANE_BLOCK_BUFFER_SIZE, 0);
    const int32_t end = Orvane_get_calibration_block(&gains, &dcc, block.data());
    block.resize(static_cast<size_t>(end) + 1);
    io_test::write_bytes(block_path, block);
}

TEST(VerifyCommand, DccTooLargeMissesInProportionToTheDistanceFromFocus) {
    for (const std::string& layout : kLayouts) {
        SCOPED_TRACE(layout);
        const module_run& m = module_of(layout);
        scratch_dir dir;
        const std::string scaled = dir / "scaled";
        fs::copy(m.cal(), scaled, fs::copy_options::recursive);
        scale_dcc(scaled + "/calibration_block.bin", 1.3);

        const verify_run own = verify(m.cal(), m.manifest(), dir / "own");
        const verify_run bad = verify(scaled, m.manifest(), dir / "bad");
        ASSERT_EQ(bad.cli.exit_code, 0);
        EXPECT_THAT(bad.cli.out, HasSubstr("  FAIL  one-shot prediction"));
        EXPECT_FALSE(bad.report["summary"]["pass"].get<bool>());
        EXPECT_LT(bad.report["summary"]["share"].get<double>(), 0.85);

        // A DCC 30% too large overshoots by 30% of the way to focus.
        const double slope = error_slope(bad.report);
        EXPECT_NEAR(slope, -0.3, 0.05);
        const json& a = own.report["samples"];
        const json& b = bad.report["samples"];
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) {
            const double lens = a[i]["lens"].get<double>();
            const double to_focus = a[i]["predicted"].get<double>() - lens;
            EXPECT_NEAR(b[i]["error"].get<double>() - a[i]["error"].get<double>(), 0.3 * to_focus,
                        0.05 + 0.002 * std::fabs(to_focus))
                << "sample " << i;
            // Near focus the move is short and still lands; far from it, it misses.
            const double distance = std::fabs(lens - a[i]["reference"].get<double>());
            if (distance < 60.0) EXPECT_LE(std::fabs(b[i]["error"].get<double>()), 32.0) << i;
            if (distance > 150.0) EXPECT_GT(std::fabs(b[i]["error"].get<double>()), 32.0) << i;
        }
    }
}

TEST(VerifyCommand, RefusesACalibrationThatIsNotTheSetsWithOneLineNamingTheFile) {
    struct refusal {
        const char* what;
        std::string cal_layout;  // whose calibration folder is copied
        std::function<void(const fs::path& cal, const fs::path& vset)> spoil;
        std::string file;     // the file the message names
        std::string because;  // and what it says about it
    };
    const std::vector<refusal> cases = {
        {"another layout", "horizontal", [](const fs::path&, const fs::path&) {}, "summary.json",
         "a calibration of the horizontal PD layout; the verification set is vertical"},
        {"another window grid", "vertical",
         [](const fs::path&, const fs::path& vset) {
             json s = read_json_file((vset / "settings.json").string());
             s["win_cols"] = 3;
             io_test::write_text((vset / "settings.json").string(), s.dump());
         },
         "calibration_block.bin", "window grid 2 x 2; the verification set's settings have 3 x 2"},
        {"no calibration block", "vertical",
         [](const fs::path& cal, const fs::path&) { fs::remove(cal / "calibration_block.bin"); },
         "calibration_block.bin", "missing"},
        {"no curve-of-field block", "vertical",
         [](const fs::path& cal, const fs::path&) { fs::remove(cal / "curve_of_field_block.bin"); },
         "curve_of_field_block.bin", "missing"},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        const fs::path cal = dir.path() / "cal", vset = dir.path() / "vset";
        fs::copy(module_of(c.cal_layout).cal(), cal, fs::copy_options::recursive);
        fs::copy(fs::path(module_of("vertical").manifest()).parent_path(), vset,
                 fs::copy_options::recursive);
        c.spoil(cal, vset);
        const io_test::cli_result r =
            run_cli("verify " + quoted(cal.string()) + " " +
                    quoted((vset / "manifest.json").string()) + " --out " + quoted(dir / "out"));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_THAT(r.err, StartsWith("orvane: " + (cal / c.file).string() + ": "));
        EXPECT_THAT(r.err, HasSubstr(c.because));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
}

}  // namespace
