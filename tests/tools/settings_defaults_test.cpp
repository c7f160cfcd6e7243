// Settings left out of settings.json take the defaults of the one table, for
// the module's layout and size; the guide lists that table as it is.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "io/records.h"
#include "io/settings_defaults.h"
#include "io_support.h"
#include "sim.h"
#include "simulation/tuning.h"

namespace {

using orvane_tool::layout;
using orvane_tool::layout_name;
namespace io = orvane_tool::io;
using io::json;

bool same(const cal_settings& a, const cal_settings& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Leaving a field out reads as writing the default's value for this module;
// a field without a default is refused, naming it and what it means.
TEST(SettingsDefaults, ALeftOutFieldTakesTheModulesDefault) {
    for (const layout kind : {layout::horizontal, layout::vertical, layout::dual}) {
        const orvane_sim::sensor_model model = orvane_sim::default_model(1024, 768);
        uint32_t w = 0, h = 0;
        orvane_sim::image_size(model, kind, w, h);
        const io::module_shape shape =
            kind == layout::dual ? io::shape_of_dual(w, h, 1)
                                 : io::shape_of(orvane_sim::make_sensor_cfg(model, kind), kind);
        // Every value differs from the default, so a default must come from the table.
        cal_settings given = orvane_tool::tuned_settings(model, kind);
        given.dump_tag = 7, given.focus_abs_sum = 1, given.focus_tapered = 1;
        given.gain_rows += 1, given.gain_cols += 1, given.gain_shift = 8;
        given.win_rows -= 1, given.win_cols -= 1, given.dcc_shift = 9;
        given.filter_taps[0] = 0.5f, given.filter_taps[1] = 0.5f, given.filter_tap_count = 2;
        given.sweep_frames = 10, given.max_shift = 24, given.trim_frames = 1;
        given.min_pd_range = 6, given.win_margin = 0.5f, given.residual_limit = 0.05f;
        for (float& limit : given.dcc_dev_limit) limit = 0.1f;
        given.pd_pitch_2pd = kind == layout::dual ? 4 : 3;
        const json full = io::to_json(given);
        io::module_shape pitched = shape;
        if (kind == layout::dual) pitched.pitch = 4;
        const json defaults = io::to_json(io::default_settings(pitched));
        EXPECT_TRUE(same(io::settings_from_json(full, "s.json", &shape), given));

        for (const io::setting_default& d : io::setting_defaults()) {
            json dropped = full, filled = full;
            std::vector<std::string> names = {d.name};
            if (names[0] == "filter_taps" || names[0] == "filter_tap_count")
                names = {"filter_taps", "filter_tap_count"};
            for (const std::string& n : names) dropped.erase(n), filled[n] = defaults[n];
            const bool required = d.kind == io::default_kind::required ||
                                  (d.kind == io::default_kind::required_dual &&
                                   kind == layout::dual);
            const std::string error =
                io_test::error_of([&] { io::settings_from_json(dropped, "s.json", &shape); });
            if (required) {
                EXPECT_EQ(error, std::string("s.json: missing field '") + d.name + "': " +
                                     d.meaning + "; it has no default");
            } else {
                EXPECT_EQ(error, "no error") << d.name;
                if (error == "no error")
                    EXPECT_TRUE(same(io::settings_from_json(dropped, "s.json", &shape),
                                     io::settings_from_json(filled, "s.json")))
                        << layout_name(kind) << " " << d.name;
            }
        }
    }
}

// docs/own-captures.md's table of defaults is the code's, row for row.
TEST(SettingsDefaults, TheGuidesTableIsTheCodes) {
    std::ifstream in(std::string(ORVANE_DOCS_DIR) + "/own-captures.md");
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::regex row(R"(\n\| `(\w+)` \| ([^|]+) \| ([^|]+) \|)");
    std::vector<std::string> documented, coded;
    for (std::sregex_iterator it(text.begin(), text.end(), row), end; it != end; ++it)
        documented.push_back((*it)[1].str() + " | " + (*it)[2].str() + " | " + (*it)[3].str());
    for (const io::setting_default& d : io::setting_defaults())
        coded.push_back(std::string(d.name) + " | " + d.value + " | " + d.meaning);
    EXPECT_EQ(documented, coded);
}

}  // namespace
