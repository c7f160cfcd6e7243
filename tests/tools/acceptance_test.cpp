// The verdict on a module: limits moved across measured values, flags by
// share, the root cause against its consequences, the acceptance file's
// refusals, and `orvane verify --acceptance` end to end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "acceptance/verdict.h"
#include "io_support.h"

namespace {

using ::testing::HasSubstr;
using io_test::run_cli;
using io_test::scratch_dir;
using orvane_tool::acceptance::check;
using orvane_tool::acceptance::limits;
using orvane_tool::acceptance::module_files;
using orvane_tool::acceptance::outcome;
using orvane_tool::acceptance::stage;
using orvane_tool::acceptance::verdict;
using json = orvane_tool::io::json;
namespace acc = orvane_tool::acceptance;

// One good module, calibrated and verified once by `orvane demo`: 4 x 3
// windows, so the curve of field has a curvature.
struct good_module {
    scratch_dir dir;
    std::string out = dir / "demo";
    module_files files;
    good_module() {
        const io_test::cli_result r =
            run_cli("demo --width 800 --height 600 --seed 7 --out " + io_test::quoted(out));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        files = acc::read_module_files(out, std::filesystem::path(out) / "verify.json");
    }
};

const good_module& module() {
    static good_module m;
    return m;
}

const check& find(const verdict& v, const std::string& name) {
    static const check none;
    for (const check& c : v.checks)
        if (c.name == name) return c;
    ADD_FAILURE() << "no check " << name;
    return none;
}

TEST(Acceptance, ALimitMovedAcrossTheMeasuredValueFlipsTheVerdict) {
    const verdict base = acc::judge(module().files, acc::default_limits(), "defaults");
    ASSERT_TRUE(base.pass) << base.root_text;
    // Nothing it could not measure counts as passed.
    EXPECT_EQ(find(base, "dcc_fit.dcc_range").result, outcome::not_run);
    EXPECT_EQ(find(base, "verification.one_shot").result, outcome::pass);
    module_files unverified = module().files;
    unverified.verify = json();
    EXPECT_EQ(find(acc::judge(unverified, acc::default_limits(), "d"), "verification.one_shot").result,
              outcome::not_run);

    const auto value = [&](const char* name) {
        const check& c = find(base, name);
        EXPECT_TRUE(c.value.has_value()) << name << ": " << c.text;
        return c.value.value_or(0.0);
    };
    const double tilt = std::max(value("focus.field_tilt_x"), value("focus.field_tilt_y"));
    const char* const tilt_check =
        value("focus.field_tilt_x") >= value("focus.field_tilt_y") ? "focus.field_tilt_x"
                                                                   : "focus.field_tilt_y";
    struct flip {
        const char* check;
        stage root;
        double measured;
        bool maximum;  // the limit is an upper one
        std::function<void(limits&, double)> set;
    };
    double dcc_lo = INFINITY, dcc_hi = -INFINITY;
    for (const json& row : module().files.summary["dcc_lens_per_px"])
        for (const json& d : row) dcc_lo = std::min(dcc_lo, d.get<double>()), dcc_hi = std::max(dcc_hi, d.get<double>());
    const std::vector<flip> cases = {
        {"gain_map.gain_max", stage::gain_map, value("gain_map.gain_max"), true,
         [](limits& l, double x) { l.gain_max = x; }},
        {"gain_map.residual", stage::gain_map, value("gain_map.residual"), true,
         [](limits& l, double x) { l.gain_residual_max = x; }},
        {"focus.field_range", stage::focus, value("focus.field_range"), true,
         [](limits& l, double x) { l.field_range_max = x; }},
        {tilt_check, stage::focus, tilt, true, [](limits& l, double x) { l.field_tilt_max = x; }},
        {"focus.field_curvature", stage::focus, value("focus.field_curvature"), true,
         [](limits& l, double x) { l.field_curvature_max = x; }},
        {"dcc_fit.dcc_range", stage::dcc_fit, dcc_hi, true,
         [](limits& l, double x) { l.dcc_max = x; }},
        {"dcc_fit.dcc_range", stage::dcc_fit, dcc_lo, false,
         [](limits& l, double x) { l.dcc_min = x; }},
        {"dcc_fit.dcc_spread", stage::dcc_fit, value("dcc_fit.dcc_spread"), true,
         [](limits& l, double x) { l.dcc_spread_max = x; }},
    };
    for (const flip& c : cases) {
        SCOPED_TRACE(c.check);
        ASSERT_GT(std::fabs(c.measured), 1e-6) << "nothing to move a limit across";
        const double eps = std::fabs(c.measured) * 1e-3;
        limits keep = acc::default_limits(), fail = acc::default_limits();
        c.set(keep, c.maximum ? c.measured + eps : c.measured - eps);
        c.set(fail, c.maximum ? c.measured - eps : c.measured + eps);
        EXPECT_TRUE(acc::judge(module().files, keep, "f").pass);
        const verdict v = acc::judge(module().files, fail, "f");
        ASSERT_FALSE(v.pass);
        EXPECT_EQ(*v.root, c.root);
        EXPECT_EQ(v.root_checks(), std::vector<std::string>{c.check});
        EXPECT_THAT(v.root_text, HasSubstr(find(v, c.check).text));
    }
    // Every window-frame lands (a share of 1 has nothing above it); a
    // tolerance below the prediction errors fails the verification, alone.
    limits tight = acc::default_limits();
    tight.one_shot_tolerance = 0.01;
    const verdict v = acc::judge(module().files, tight, "f");
    ASSERT_FALSE(v.pass);
    EXPECT_EQ(*v.root, stage::verification);
    EXPECT_THAT(find(v, "verification.one_shot").text, HasSubstr("within 0.0 lens units"));
}

// The module with extra flags: `gain` in the gain map's status, `frame` and
// `fit` OR-ed into window 0's grids.
module_files flagged(uint32_t gain, uint32_t frame, uint32_t fit, int window = 0) {
    module_files m = module().files;
    json& s = m.summary;
    s["gain_status"] = gain;
    const int cols = s["win_cols"].get<int>();
    json& f = s["frame_flags"][window / cols][window % cols];
    f = f.get<uint32_t>() | frame;
    json& d = s["fit_flags"][window / cols][window % cols];
    d = d.get<uint32_t>() | fit;
    return m;
}

TEST(Acceptance, AFlagFailsAboveItsShareUnlessAllowedAndAlwaysWhenForbidden) {
    const module_files m = flagged(0, 0x1000, 0);  // focus_failed in one of 12 windows
    struct flag_case {
        const char* name;
        std::function<void(limits&)> set;
        outcome expected;
    };
    const std::vector<flag_case> cases = {
        {"none tolerated", [](limits&) {}, outcome::fail},
        {"one in twelve tolerated", [](limits& l) { l.flagged_windows_max = 1.0 / 12; },
         outcome::pass},
        {"just under one in twelve", [](limits& l) { l.flagged_windows_max = 0.08; },
         outcome::fail},
        {"allowed", [](limits& l) { l.flags_allowed = {"focus_failed"}; }, outcome::allowed},
        {"forbidden",
         [](limits& l) {
             l.flagged_windows_max = 1.0;
             l.flags_forbidden = {"focus_failed"};
         },
         outcome::fail},
    };
    for (const flag_case& c : cases) {
        SCOPED_TRACE(c.name);
        limits l = acc::default_limits();
        c.set(l);
        const verdict v = acc::judge(m, l, "f");
        const check& f = find(v, "focus.flag.focus_failed");
        EXPECT_EQ(f.result, c.expected);
        EXPECT_EQ(*f.value, 1.0);
        EXPECT_EQ(f.windows, std::vector<int>{0});
        EXPECT_EQ(v.pass, c.expected != outcome::fail);
    }
}

TEST(Acceptance, TheEarliestFailingStageIsTheRootCauseAndLaterFailuresAreItsConsequences) {
    // A flat-field flag, then what it spoils: a failed focus and a DCC flag.
    const module_files m = flagged(0x20, 0x1000, 0x200, 3);
    const verdict v = acc::judge(m, acc::default_limits(), "defaults");
    ASSERT_FALSE(v.pass);
    EXPECT_EQ(*v.root, stage::gain_map);
    EXPECT_EQ(v.root_checks(), std::vector<std::string>{"gain_map.flag.gain_too_high"});
    EXPECT_EQ(v.consequences(),
              (std::vector<std::string>{"focus.flag.focus_failed", "dcc_fit.flag.dcc_deviation"}));
    EXPECT_THAT(v.root_text, HasSubstr("Flat field and gain map failed first: gain_too_high"));
    EXPECT_THAT(v.root_text, HasSubstr("What followed from it: focus_failed"));
    const json j = acc::verdict_json(v);
    EXPECT_EQ(j["verdict"], "FAIL");
    EXPECT_EQ(j["root_cause"]["stage"], "gain_map");
    EXPECT_EQ(j["failed_checks"].size(), 3u);
    for (const json& c : j["checks"])
        EXPECT_EQ(c["consequence"].get<bool>(),
                  c["status"] == "fail" && c["stage"] != "gain_map")
            << c["name"];

    // Without the flat-field flag the focus is first.
    const verdict later = acc::judge(flagged(0, 0x1000, 0x200, 3), acc::default_limits(), "d");
    EXPECT_EQ(*later.root, stage::focus);
    EXPECT_EQ(later.consequences(), std::vector<std::string>{"dcc_fit.flag.dcc_deviation"});
}

TEST(Acceptance, TheFileIsReadFieldByFieldAndItsDefaultsReadBack) {
    const std::string path = "acceptance.json";
    const auto error = [&](const std::string& text) {
        return io_test::error_of([&] {
            acc::limits_from_json(orvane_tool::io::parse_json(text, path), path);
        });
    };
    EXPECT_THAT(error(R"({"dcc_maximum": 3})"), HasSubstr("unknown field 'dcc_maximum'"));
    EXPECT_THAT(error(R"({"flags_allowed": ["focus_fail"]})"), HasSubstr("flags_allowed"));
    EXPECT_THAT(error(R"({"dcc_min": 5, "dcc_max": 4})"), HasSubstr("above dcc_max"));
    EXPECT_THAT(error(R"({"flagged_windows_max": 1.5})"), HasSubstr("flagged_windows_max"));
    EXPECT_THAT(error(R"({"gain_max": "2"})"), HasSubstr("gain_max"));
    EXPECT_THAT(error(R"({"flags_allowed": ["pd_at_edge"], "flags_forbidden": ["pd_at_edge"]})"),
                HasSubstr("also in flags_allowed"));
    EXPECT_EQ(error("{}"), "no error");

    // The defaults file `orvane init` writes is the defaults, field for field.
    const json defaults = acc::default_limits_json();
    EXPECT_EQ(defaults.size(), acc::field_docs().size());
    EXPECT_EQ(acc::limits_json(acc::limits_from_json(defaults, path)), defaults);
    const json set = orvane_tool::io::parse_json(
        R"({"dcc_min": 9.5, "flags_allowed": ["pd_at_edge"], "one_shot_tolerance": 16})", path);
    const json back = acc::limits_json(acc::limits_from_json(set, path));
    for (const auto& [field, v] : set.items()) EXPECT_EQ(back[field], v) << field;

    // The docs' table is the code's, row for row.
    const std::string docs = io_test::read_text(
        std::string(ORVANE_DOCS_DIR) + "/acceptance.md");
    for (const acc::field_doc& f : acc::field_docs())
        EXPECT_THAT(docs, HasSubstr("| `" + std::string(f.name) + "` | " + f.unit + " | " +
                                    f.default_text + " | " + f.meaning + " |\n"));
}

TEST(Acceptance, VerifyJudgesTheCalibrationWithItsVerificationSweep) {
    scratch_dir dir;
    const good_module& m = module();
    ASSERT_EQ(run_cli("simulate --verify --width 800 --height 600 --seed 7 --out " +
                      io_test::quoted(dir / "check"))
                  .exit_code,
              0);
    io_test::write_text(dir / "acceptance.json", R"({"one_shot_tolerance": 0.01})");
    const io_test::cli_result r =
        run_cli("verify " + io_test::quoted(m.out) + " " + io_test::quoted(dir / "check/manifest.json") +
                " --acceptance " + io_test::quoted(dir / "acceptance.json") + " --out " +
                io_test::quoted(dir / "v"));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Verdict: FAIL, root cause: verification"));
    const json j = orvane_tool::io::read_json_file(dir / "v/verdict.json");
    EXPECT_EQ(j["root_cause"]["checks"], json::array({"verification.one_shot"}));

    // A bad acceptance file stops the command before it reads a frame.
    io_test::write_text(dir / "bad.json", R"({"one_shot": 1})");
    const io_test::cli_result bad =
        run_cli("verify " + io_test::quoted(m.out) + " " + io_test::quoted(dir / "check/manifest.json") +
                " --acceptance " + io_test::quoted(dir / "bad.json") + " --out " + io_test::quoted(dir / "w"));
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_THAT(bad.err, HasSubstr("unknown field 'one_shot'"));
    EXPECT_FALSE(std::filesystem::exists(dir / "w"));
}

}  // namespace
