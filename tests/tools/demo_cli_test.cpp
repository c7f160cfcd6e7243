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

    EXPECT_EQ(scratch_dir::entries_of(out),
              (std::vector<std::string>{"calibration_block.bin", "curve_of_field_block.bin",
                                        "dccmap.json", "gainmap.json", "state_dump.bin",
                                        "summary.json", "truth.json"}));
    EXPECT_EQ(std::filesystem::file_size(out + "/state_dump.bin"), ORVANE_STATE_DUMP_SIZE);
    // 3 x 2 windows: 12 + 4 * 221 + 2 * 6 bytes and the checksum.
    EXPECT_EQ(std::filesystem::file_size(out + "/calibration_block.bin"),
              12u + 4 * 221 + 2 * 6 + 1);
    EXPECT_EQ(std::filesystem::file_size(out + "/curve_of_field_block.bin"), 6u + 2 * 6 + 1);

    // The records as the file layer writes them: they read back.
    const json dcc = read_json_file(out + "/dccmap.json");
    const dccmap dm = orvane_tool::io::dccmap_from_json(dcc, "dccmap.json");
    EXPECT_EQ(dm.win_cols, 3);
    EXPECT_EQ(dm.win_rows, 2);
    EXPECT_EQ(dcc["dcc"].size(), 2u);
    const json gains = read_json_file(out + "/gainmap.json");
    const gainmap gm = orvane_tool::io::gainmap_from_json(gains, "gainmap.json");
    EXPECT_EQ(gm.cols, 17);
    EXPECT_EQ(gm.rows, 13);
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
}

TEST(DemoCommand, RejectsAnUnknownLayoutWithAUsageError) {
    scratch_dir dir;
    const io_test::cli_result r = run_cli("demo --layout diagonal --out " + quoted(dir / "demo"));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err,
              "orvane: --layout: diagonal not in {horizontal,vertical,dual} (see orvane --help)\n");
    EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
