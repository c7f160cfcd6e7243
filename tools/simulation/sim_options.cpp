#include "simulation/sim_options.h"

#include <cstdlib>
#include <string>

#include "io/capture_io.h"
#include "simulation/tuning.h"

namespace orvane_tool {

void add_sim_options(CLI::App& cmd, sim_options& o) {
    cmd.add_option_function<std::string>(
           "--layout",
           [&o](const std::string& name) { o.kind = io::layout_from_name(name, "--layout"); },
           "PD layout: horizontal, vertical or dual")
        ->transform(CLI::IsMember({"horizontal", "vertical", "dual"}, CLI::ignore_case))
        ->default_str("horizontal");
    // A Bayer sensor has even dimensions; 4096 x 3072 keeps a sweep near 300 MB.
    const CLI::Validator even(
        [](std::string& v) {
            return std::strtoul(v.c_str(), nullptr, 10) % 2 ? std::string("must be even")
                                                            : std::string();
        },
        "EVEN");
    cmd.add_option("--width", o.width, "sensor width in pixels")
        ->check(CLI::Range(256u, 4096u) & even)
        ->capture_default_str();
    cmd.add_option("--height", o.height, "sensor height in pixels")
        ->check(CLI::Range(192u, 3072u) & even)
        ->capture_default_str();
    // Checked as text: a minus sign or too many digits would otherwise wrap.
    const CLI::Validator seed_range(
        [](std::string& v) {
            const bool digits = !v.empty() && v.size() <= 20 &&
                                v.find_first_not_of("0123456789") == std::string::npos;
            if (digits && (v.size() < 20 || v <= "18446744073709551615")) return std::string();
            return std::string("must be a whole number from 0 to 18446744073709551615");
        },
        "0..2^64-1");
    cmd.add_option("--seed", o.seed, "noise seed")->check(seed_range)->capture_default_str();
    cmd.add_option_function<std::string>(
           "--chart",
           [&o](const std::string& name) {
               o.chart = name == "natural" ? orvane_sim::chart_kind::natural
                                           : orvane_sim::chart_kind::bars;
           },
           "target: bars (bar chart, line-pattern focus measure) or natural (dead-leaves "
           "texture, absolute-sum focus measure)")
        ->transform(CLI::IsMember({"bars", "natural"}, CLI::ignore_case))
        ->default_str("bars");
}

orvane_sim::sensor_model sim_model(const sim_options& o) {
    orvane_sim::sensor_model m = orvane_sim::default_model(o.width, o.height);
    m.chart = o.chart;
    return m;
}

orvane_sim::rendering render_tuned(const sim_options& o) {
    const orvane_sim::sensor_model model = sim_model(o);
    return orvane_sim::render(model, o.kind, o.seed, tuned_settings(model, o.kind),
                              tuned_limits(model, o.kind));
}

orvane_sim::rendering render_verification(const sim_options& o) {
    const orvane_sim::sensor_model model = sim_model(o);
    const cal_settings settings = tuned_settings(model, o.kind);
    const orvane_sim::sensor_model verify_model =
        orvane_sim::verification_model(model, o.seed, settings.sweep_frames, ORVANE_FRAME_SLOTS);
    return orvane_sim::render(verify_model, o.kind, o.seed, settings, tuned_limits(model, o.kind));
}

}  // namespace orvane_tool
