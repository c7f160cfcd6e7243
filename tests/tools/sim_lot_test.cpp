// The simulated lot: reproducible from its seed, modules scattered around the
// design rather than copies of it, and the faults in the numbers asked for.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "lot.h"

namespace {

using orvane_sim::lot_fault;

TEST(SimLot, ScattersAroundTheDesignWithAFewFaultyModulesAndRepeatsForItsSeed) {
    const orvane_sim::sensor_model design = orvane_sim::default_model(1600, 1200);
    const auto lot = orvane_sim::make_lot(design, 200, 42);
    ASSERT_EQ(lot.size(), 200u);
    EXPECT_EQ(lot.front().name, "module-001");
    EXPECT_EQ(lot.back().name, "module-200");

    int decentred = 0, shaded = 0;
    double dcc_sum = 0, dcc_sq = 0, focus_sum = 0;
    std::set<uint64_t> seeds;
    const double span = 11.0 * design.lens_step;
    for (const auto& m : lot) {
        seeds.insert(m.seed);
        decentred += m.fault == lot_fault::decentred_lens;
        shaded += m.fault == lot_fault::strong_shading;
        if (m.fault == lot_fault::decentred_lens) {
            // Half way out, each side's focus is beyond its end of the sweep.
            const float half = 0.5f * std::fabs(m.model.focus_tilt_x);
            EXPECT_GT(m.model.focus_centre + half, design.lens_first + span);
            EXPECT_LT(m.model.focus_centre - half, design.lens_first);
        } else if (m.fault == lot_fault::strong_shading) {
            EXPECT_GE(m.model.pd_shading, 0.8f);
        } else {
            EXPECT_NEAR(m.model.dcc_centre, design.dcc_centre, 0.1 * design.dcc_centre);
            EXPECT_NEAR(m.model.focus_centre, design.focus_centre, 0.06 * span);
            EXPECT_LT(m.model.pd_shading, 0.4f);
        }
        dcc_sum += m.model.dcc_centre;
        dcc_sq += m.model.dcc_centre * m.model.dcc_centre;
        focus_sum += m.model.focus_centre;
    }
    EXPECT_EQ(decentred, 8);
    EXPECT_EQ(shaded, 8);
    EXPECT_EQ(seeds.size(), 200u);
    const double dcc_mean = dcc_sum / 200, dcc_sd = std::sqrt(dcc_sq / 200 - dcc_mean * dcc_mean);
    EXPECT_NEAR(dcc_mean, design.dcc_centre, 0.01 * design.dcc_centre);
    EXPECT_GT(dcc_sd, 0.015 * design.dcc_centre);  // drawn with 3%
    EXPECT_LT(dcc_sd, 0.045 * design.dcc_centre);
    EXPECT_NEAR(focus_sum / 200, design.focus_centre, 2.0);

    // The same seed, the same lot; another seed, another lot.
    const auto again = orvane_sim::make_lot(design, 200, 42);
    const auto other = orvane_sim::make_lot(design, 200, 43);
    for (size_t i = 0; i < lot.size(); ++i) {
        EXPECT_EQ(again[i].seed, lot[i].seed);
        EXPECT_EQ(again[i].fault, lot[i].fault);
        EXPECT_EQ(again[i].model.dcc_centre, lot[i].model.dcc_centre);
        EXPECT_EQ(again[i].model.pd_shading, lot[i].model.pd_shading);
    }
    EXPECT_NE(other[0].seed, lot[0].seed);
    EXPECT_NE(other[0].model.dcc_centre, lot[0].model.dcc_centre);

    // Small lots still hold one fault of each kind from three modules up.
    const auto small = orvane_sim::make_lot(design, 3, 1);
    int faults = 0;
    for (const auto& m : small) faults += m.fault != lot_fault::none;
    EXPECT_EQ(faults, 2);
    EXPECT_EQ(orvane_sim::make_lot(design, 2, 1)[0].fault, lot_fault::none);
}

}  // namespace
