// `orvane demo` as a user runs it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

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
using ::testing::Not;

TEST(DemoCommand, WritesEveryOutputAndReportsPassingTargets) {
    scratch_dir dir;
    const std::string out = dir / "demo";
    const io_test::cli_result r =
        run_cli("demo --layout dual --width 640 --height 480 --seed 3 --out " + quoted(out));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(r.out, HasSubstr("frame 12/12"));
    EXPECT_THAT(r.out, HasSubstr("window grid      3 x 2"));
    EXPECT_THAT(r.out, HasSubstr("true DCC"));
    EXPECT_THAT(r.out, Not(HasSubstr("FAIL")));
    // A good module passes the default acceptance, its verification included.
    EXPECT_THAT(r.out, HasSubstr("Verdict: PASS"));
    EXPECT_THAT(r.out, Not(HasSubstr("verification.one_shot")));  // it ran, and passed

    EXPECT_EQ(scratch_dir::entries_of(out),
              (std::vector<std::string>{"calibration_block.bin", "curve_of_field_block.bin",
                                        "dccmap.json", "gainmap.json", "state_dump.bin",
                                         "summary.json", "truth.json", "verdict.json", "verify.json",
                                         "zero_pd_offset_block.bin"}));
    EXPECT_EQ(std::filesystem::file_size(out + "/state_dump.bin"), ORVANE_STATE_DUMP_SIZE);
    // 3 x 2 windows, 64 x 4 gain cells: 12 + 4 * 256 + 2 * 6 bytes and the checksum.
    EXPECT_EQ(std::filesystem::file_size(out + "/calibration_block.bin"),
              12u + 4 * 256 + 2 * 6 + 1);
    EXPECT_EQ(std::filesystem::file_size(out + "/curve_of_field_block.bin"), 6u + 2 * 6 + 1);
    EXPECT_EQ(std::filesystem::file_size(out + "/zero_pd_offset_block.bin"), 6u + 2 * 6 + 1);

    // The records as the file layer writes them: they read back.
    const json dcc = read_json_file(out + "/dccmap.json");
    const dccmap dm = orvane_tool::io::dccmap_from_json(dcc, "dccmap.json");
    EXPECT_EQ(dm.win_cols, 3);
    EXPECT_EQ(dm.win_rows, 2);
    EXPECT_EQ(dcc["dcc"].size(), 2u);
    const json gains = read_json_file(out + "/gainmap.json");
    const gainmap gm = orvane_tool::io::gainmap_from_json(gains, "gainmap.json");
    EXPECT_EQ(gm.cols, 64);  // cells along the split
    EXPECT_EQ(gm.rows, 4);
    EXPECT_GT(gm.left[0], 0);
    const orvane_tool::ground_truth truth =
        orvane_tool::io::ground_truth_from_json(read_json_file(out + "/truth.json"), "truth.json");
    EXPECT_EQ(truth.dcc.size(), 6u);

    const json summary = read_json_file(out + "/summary.json");
    EXPECT_EQ(summary["layout"], "dual");
    EXPECT_TRUE(summary["accuracy"]["pass"].get<bool>());
    EXPECT_TRUE(summary["block_read_back_equal"].get<bool>());
    EXPECT_EQ(summary["peak_lens"].size(), 2u);
    EXPECT_EQ(summary["peak_lens"][0].size(), 3u);

    // The closed loop on a second sweep: verdict printed and written.
    EXPECT_THAT(r.out, HasSubstr("  PASS  one-shot prediction with the zero-PD offset"));
    const json verify = read_json_file(out + "/verify.json");
    EXPECT_EQ(verify["layout"], "dual");
    EXPECT_EQ(verify["samples"].size(), 6u * 12);
    EXPECT_TRUE(verify["summary"]["pass"].get<bool>());
}

TEST(DemoCommand, RejectsAnUnknownLayoutWithAUsageError) {
    scratch_dir dir;
    const io_test::cli_result r = run_cli("demo --layout diagonal --out " + quoted(dir / "demo"));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err,
              "orvane demo: --layout: diagonal not in {horizontal,vertical,dual} (see orvane demo "
              "--help)\n");
    EXPECT_TRUE(dir.entries().empty());
}

}  // namespace

namespace {

// Values that used to wrap or to resolve to the current folder are usage
// errors (exit 2) that write nothing.
TEST(CommandLine, OutOfRangeSeedsAndEmptyOutputFoldersAreUsageErrors) {
    scratch_dir dir;
    const std::string out = quoted(dir / "out");
    const std::string missing = quoted(dir / "none/manifest.json");
    const std::vector<std::string> cases = {
        "demo --seed -1 --out " + out,
        "demo --seed 18446744073709551616 --out " + out,
        "demo --seed 123456789012345678901 --out " + out,
        "simulate --seed 1x --out " + out,
        "demo --out ''",
        "simulate --out ''",
        "calibrate " + missing + " --out ''",
        "verify " + quoted(dir.path().string()) + " " + missing + " --out ''",
    };
    for (const std::string& args : cases) {
        SCOPED_TRACE(args);
        const io_test::cli_result r = run_cli(args);
        EXPECT_EQ(r.exit_code, 2) << r.err;
        EXPECT_THAT(r.err, ::testing::AnyOf(HasSubstr("--seed"), HasSubstr("--out")));
        EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    }
    // The largest seed is still accepted.
    const io_test::cli_result r = run_cli(
        "simulate --width 256 --height 192 --seed 18446744073709551615 --out " + out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

}  // namespace
