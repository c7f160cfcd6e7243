#include "lot.h"

#include <algorithm>
#include <cmath>

#include "random.h"

namespace orvane_sim {
namespace {

// A normal draw cut at +-2.5 sigma: part tolerances are screened at incoming
// inspection, so a lot has no unbounded tails.
double tolerance(sequence& seq, double sigma) {
    // Box-Muller on two uniforms; the first is kept off zero.
    const double u1 = 1.0 - seq.uniform();
    const double u2 = seq.uniform();
    const double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    return sigma * std::clamp(z, -2.5, 2.5);
}

float scaled(float design, double relative) {
    return static_cast<float>(design * (1.0 + relative));
}

}  // namespace

const char* lot_fault_name(lot_fault fault) {
    switch (fault) {
        case lot_fault::decentred_lens:
            return "decentred_lens";
        case lot_fault::strong_shading:
            return "strong_shading";
        case lot_fault::none:
            break;
    }
    return "none";
}

std::vector<lot_module> make_lot(const sensor_model& design, int count, uint64_t lot_seed) {
    std::vector<lot_module> lot;
    if (count <= 0) return lot;
    lot.resize(static_cast<size_t>(count));

    int digits = 3;
    for (int n = count - 1; n >= 1000; n /= 10) ++digits;
    const double sweep_span = std::abs(design.lens_step) * 11.0;
    for (int i = 0; i < count; ++i) {
        lot_module& m = lot[static_cast<size_t>(i)];
        std::string number = std::to_string(i + 1);
        number.insert(0, static_cast<size_t>(std::max(0, digits - static_cast<int>(number.size()))),
                      '0');
        m.name = "module-" + number;
        m.seed = stream_key(lot_seed, static_cast<uint64_t>(i) + 1);
        sequence seq(mix64(m.seed ^ 0x6c6f74ull));
        sensor_model& s = m.model;
        s = design;
        // Optics: lens-to-sensor distance, field curvature and tilt from the
        // assembly, DCC from the lens and the microlens shift.
        s.focus_centre =
            static_cast<float>(design.focus_centre + tolerance(seq, 0.02 * sweep_span));
        s.field_curvature = scaled(design.field_curvature, tolerance(seq, 0.2));
        s.focus_tilt_x = static_cast<float>(design.focus_tilt_x + tolerance(seq, 4.0));
        s.focus_tilt_y = static_cast<float>(design.focus_tilt_y + tolerance(seq, 4.0));
        s.dcc_centre = scaled(design.dcc_centre, tolerance(seq, 0.03));
        s.dcc_edge = scaled(design.dcc_edge, tolerance(seq, 0.15));
        s.dcc_tilt_x = static_cast<float>(design.dcc_tilt_x + tolerance(seq, 0.01));
        // Radiometry: lens shading and the PD pixels' response.
        s.vignetting = scaled(design.vignetting, tolerance(seq, 0.1));
        s.pd_sensitivity = scaled(design.pd_sensitivity, tolerance(seq, 0.04));
        s.pd_shading = scaled(design.pd_shading, tolerance(seq, 0.12));
        // The chart is the station's, but each module sees it from its own
        // mounting position.
        s.bar_phase = static_cast<float>(std::fmod(
            design.bar_phase + tolerance(seq, 2.0) + design.bar_period, design.bar_period));
    }

    // The faulty modules: from three modules up at least one of each kind,
    // else one in 25, at places drawn from the seed.
    const int faulty = count < 3 ? 0 : std::max(1, count / 25);
    std::vector<int> order(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) order[static_cast<size_t>(i)] = i;
    sequence pick(mix64(lot_seed ^ 0x6661756c74ull));
    for (size_t i = order.size(); i > 1; --i) {
        std::swap(order[i - 1], order[static_cast<size_t>(pick.next() % i)]);
    }
    for (int k = 0; k < 2 * faulty; ++k) {
        lot_module& m = lot[static_cast<size_t>(order[static_cast<size_t>(k)])];
        if (k % 2 == 0) {
            m.fault = lot_fault::decentred_lens;
            // A tilt of 1.2 sweeps from the field centre to its edges: each side's
            // focus lies beyond one end of the sweep.
            const double tilt = 1.2 * sweep_span * (pick.uniform() < 0.5 ? -1.0 : 1.0);
            m.model.focus_tilt_x = static_cast<float>(tilt);
        } else {
            m.fault = lot_fault::strong_shading;
            m.model.pd_shading = static_cast<float>(0.8 + 0.1 * pick.uniform());
        }
    }
    return lot;
}

}  // namespace orvane_sim
