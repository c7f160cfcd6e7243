// The module's model: the demo's default, and the same module set up for its
// verification sweep.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "random.h"
#include "sim.h"

namespace orvane_sim {

sensor_model default_model(uint32_t width, uint32_t height) {
    sensor_model m;
    m.width = width;
    m.height = height;
    return m;
}

sensor_model verification_model(const sensor_model& m, uint64_t seed, int calibration_frames,
                                int frames) {
    sensor_model v = m;
    sequence seq(mix64(seed ^ 0x766572696679ull));
    // Move the chart: the bars by a quarter to three quarters of a period, new stripes.
    const double period = m.bar_period;
    v.bar_phase =
        static_cast<float>(std::fmod(m.bar_phase + period * (0.25 + 0.5 * seq.uniform()), period));
    v.chart_seed = mix64(m.chart_seed ^ seq.next());

    // Evenly spaced positions between the calibration's lens positions and
    // inside its span: the DCC is a fit over that span, and far beyond it the
    // disparity no longer grows in proportion to the defocus.
    const int step = std::max(1, std::abs(m.lens_step));
    const int count = std::max(1, frames);
    const int span = step * (std::max(1, calibration_frames) - 1);
    const int spacing = std::max(2, span / count);
    const int first = m.lens_first;
    int start = first + spacing / 2 + static_cast<int>(seq.uniform() * spacing / 4);
    auto on_grid = [&](int lens) { return ((lens - first) % step + step) % step == 0; };
    for (int tries = 0; tries < step; ++tries, ++start) {
        bool clear = true;
        for (int k = 0; k < count && clear; ++k) clear = !on_grid(start + k * spacing);
        if (clear) break;
    }
    v.lens_positions.resize(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) v.lens_positions[static_cast<size_t>(k)] = start + k * spacing;
    // Shuffled, and never left rising.
    do {
        for (size_t i = v.lens_positions.size(); i > 1; --i) {
            const auto j = static_cast<size_t>(seq.next() % i);
            std::swap(v.lens_positions[i - 1], v.lens_positions[j]);
        }
    } while (count > 2 && std::is_sorted(v.lens_positions.begin(), v.lens_positions.end()));
    return v;
}

}  // namespace orvane_sim
