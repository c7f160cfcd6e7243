// `orvane demo` as a user runs it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct demo_run {
    int exit_code;
    std::string output;
    fs::path dir;
};

demo_run run_demo(const std::string& name, const std::string& args) {
    const fs::path dir = fs::path(::testing::TempDir()) / ("orvane-demo-test-" + name);
    fs::remove_all(dir);
    const fs::path log = dir.string() + ".log";
    const std::string cmd = std::string(ORVANE_CLI) + " demo " + args + " --out '" + dir.string() +
                            "' > '" + log.string() + "' 2>&1";
    const int status = std::system(cmd.c_str());
    return {status, slurp(log), dir};
}

TEST(DemoCommand, WritesEveryOutputAndReportsPassingTargets) {
    const demo_run r = run_demo("dual", "--layout dual --width 640 --height 480 --seed 3");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("frame 12/12"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("window grid"), std::string::npos);
    EXPECT_EQ(r.output.find("FAIL"), std::string::npos) << r.output;

    EXPECT_EQ(fs::file_size(r.dir / "state_dump.bin"), 726292u);
    // 3 x 2 windows: 12 + 4 * 221 + 2 * 6 bytes and the checksum.
    EXPECT_EQ(fs::file_size(r.dir / "calibration_block.bin"), 12u + 4 * 221 + 2 * 6 + 1);
    EXPECT_EQ(fs::file_size(r.dir / "curve_of_field_block.bin"), 6u + 2 * 6 + 1);

    const auto dcc = nlohmann::json::parse(slurp(r.dir / "dccmap.json"));
    EXPECT_EQ(dcc["win_cols"], 3);
    EXPECT_EQ(dcc["win_rows"], 2);
    EXPECT_EQ(dcc["dcc"].size(), 6u);
    const auto truth = nlohmann::json::parse(slurp(r.dir / "ground_truth.json"));
    EXPECT_EQ(truth["dcc"].size(), 6u);
    EXPECT_EQ(truth["layout"], "dual");
    const auto gains = nlohmann::json::parse(slurp(r.dir / "gainmap.json"));
    EXPECT_EQ(gains["left"].size(), 221u);
    const auto summary = nlohmann::json::parse(slurp(r.dir / "summary.json"));
    EXPECT_TRUE(summary["pass"].get<bool>());
    EXPECT_TRUE(summary["block_read_back_equal"].get<bool>());
}

TEST(DemoCommand, RejectsAnUnknownLayout) {
    const demo_run r = run_demo("bad", "--layout diagonal");
    EXPECT_NE(r.exit_code, 0);
    EXPECT_FALSE(fs::exists(r.dir / "calibration_block.bin"));
}

}  // namespace
