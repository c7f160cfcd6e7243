// What a newcomer meets first: messages for a mistyped command or option, the
// version, frame files checked before any is processed, a capture-set folder
// for calibrate, and a sweep captured far to near.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>

#include "io/json.h"
#include "io_support.h"

namespace {

using io_test::quoted;
using io_test::run_cli;
using io_test::scratch_dir;
using orvane_tool::io::json;
using ::testing::HasSubstr;

namespace fs = std::filesystem;

// A simulated capture set in SET, calibrated into OUT by the case's command.
struct newcomer_case {
    const char* name;
    std::function<void(const fs::path& set)> prepare;  // may be empty
    std::string args;                                  // {SET} and {OUT} replaced
    int exit_code;
    std::string err;  // a part of stderr ("" for none at all)
    std::string out;  // a part of stdout ("" for none at all)
};

std::string with_paths(std::string args, const fs::path& set, const fs::path& out) {
    for (const auto& [key, value] : {std::pair{"{SET}", set}, std::pair{"{OUT}", out}})
        for (size_t at; (at = args.find(key)) != std::string::npos;)
            args.replace(at, 5, quoted(value.string()));
    return args;
}

void truncate_to(const fs::path& file, size_t bytes) {
    fs::resize_file(file, bytes);
}

class Newcomer : public ::testing::TestWithParam<newcomer_case> {};

TEST_P(Newcomer, GetsAMessageThatSaysWhatIsWrong) {
    const newcomer_case& c = GetParam();
    scratch_dir dir;
    const fs::path set = dir.path() / "set", out = dir.path() / "out";
    ASSERT_EQ(run_cli("simulate --width 512 --height 384 --out " + quoted(set.string())).exit_code,
              0);
    if (c.prepare) c.prepare(set);
    const io_test::cli_result r = run_cli(with_paths(c.args, set, out));
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    if (c.err.empty())
        EXPECT_EQ(r.err, "");
    else
        EXPECT_THAT(r.err, HasSubstr(c.err));
    if (c.out.empty())
        EXPECT_EQ(r.out, "");
    else
        EXPECT_THAT(r.out, HasSubstr(c.out));
    if (c.exit_code != 0) EXPECT_FALSE(fs::exists(out)) << "a refused run wrote outputs";
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Newcomer,
    ::testing::Values(
        newcomer_case{"MistypedCommand",
                      {},
                      "calibrat {SET}",
                      2,
                      "orvane: unknown command 'calibrat'; did you mean 'calibrate'?",
                      ""},
        newcomer_case{"MistypedOption",
                      {},
                      "calibrate {SET} --sensr x --out {OUT}",
                      2,
                      "orvane calibrate: unknown option '--sensr'; did you mean '--sensor'? "
                      "(see orvane calibrate --help)\n",
                      ""},
        newcomer_case{"BatchTakesCalibratesRecords",
                      {},
                      "batch {SET} --limts x --out {OUT}",
                      2,
                      "unknown option '--limts'; did you mean '--limits'?",
                      ""},
        newcomer_case{"Version", {}, "--version", 0, "", "orvane 0.1.0\nlibrary: Orvane"},
        newcomer_case{"MissingFrameFile", [](const fs::path& set) { fs::remove(set / "f11.raw"); },
                      "calibrate {SET} --out {OUT}", 1, "f11.raw: cannot open", ""},
        newcomer_case{
            "ShortFrameFile", [](const fs::path& set) { truncate_to(set / "f07.raw", 1000); },
            "calibrate {SET}/manifest.json --out {OUT}", 1,
            "f07.raw: expected 512x384 16-bit samples (393216 bytes), got 1000 bytes", ""},
        newcomer_case{
            "CaptureSetFolder", {}, "calibrate {SET} --out {OUT}", 0, "", "12 sweep frames"}),
    [](const auto& info) { return std::string(info.param.name); });

// The same frames listed far to near calibrate to the same bytes.
TEST(FallingSweep, CalibratesToTheRisingSweepsOutputs) {
    scratch_dir dir;
    const fs::path set = dir.path() / "set";
    ASSERT_EQ(run_cli("simulate --width 512 --height 384 --out " + quoted(set.string())).exit_code,
              0);
    json m = orvane_tool::io::read_json_file((set / "manifest.json").string());
    std::reverse(m["frames"].begin(), m["frames"].end());
    io_test::write_text((set / "falling.json").string(), orvane_tool::io::json_text(m));

    const io_test::cli_result rising =
        run_cli("calibrate " + quoted((set / "manifest.json").string()) + " --out " +
                quoted(dir / "rising"));
    const io_test::cli_result falling =
        run_cli("calibrate " + quoted((set / "falling.json").string()) + " --out " +
                quoted(dir / "falling"));
    ASSERT_EQ(rising.exit_code, 0) << rising.err;
    ASSERT_EQ(falling.exit_code, 0) << falling.err;
    EXPECT_THAT(falling.out, HasSubstr("captured far to near (lens positions falling): its "
                                       "frames are fed in rising order"));
    EXPECT_THAT(rising.out, ::testing::Not(HasSubstr("far to near")));
    const auto names = scratch_dir::entries_of(dir.path() / "rising");
    ASSERT_EQ(names, scratch_dir::entries_of(dir.path() / "falling"));
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names)
        EXPECT_EQ(io_test::read_text(dir / ("rising/" + name)),
                  io_test::read_text(dir / ("falling/" + name)))
            << name;
}

}  // namespace
