// A production lot of camera modules: one design, each module built a little
// differently, and a few with the faults a line actually sees.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim.h"

namespace orvane_sim {

// The faults a module of the lot is given on purpose.
enum class lot_fault {
    none,
    // The lens sits off axis: its focal plane is tilted so far that the
    // field's outer windows come into focus beyond the ends of the sweep.
    decentred_lens,
    // The PD pixels' microlenses are shifted: their phases shade so strongly
    // across the field that the flat field needs more gain than allowed.
    strong_shading,
};

const char* lot_fault_name(lot_fault fault);  // "none", "decentred_lens", "strong_shading"

struct lot_module {
    std::string name;   // "module-007": sorts in lot order
    uint64_t seed = 0;  // noise, defects and chart of this module's frames
    sensor_model model;
    lot_fault fault = lot_fault::none;
};

// `count` modules of the `design`, drawn from `lot_seed`: DCC, curve of field
// (centre, curvature, tilt) and shading (vignetting, PD sensitivity and
// shading) scatter around the design values as parts and assembly do. About
// one module in 25 of each fault kind, at least one of each from 3 modules up.
// The same arguments give the same lot.
std::vector<lot_module> make_lot(const sensor_model& design, int count, uint64_t lot_seed);

}  // namespace orvane_sim
