// The synthetic PD sensor: a camera module rendered from a handful of physical
// parameters, so a calibration can be checked against the numbers it should find.
//
// Everything is deterministic for a given model, settings and seed: the noise
// comes from a counter-based generator of our own, never from a standard
// library distribution whose output could change between library versions.
#pragma once

#include <cstdint>
#include <vector>

#include "capture.h"

namespace orvane_sim {

using orvane_tool::capture_set;
using orvane_tool::ground_truth;
using orvane_tool::layout;

struct sensor_model {
    // Frame and readout: 10-bit data on top of a black level, in 16-bit samples.
    uint32_t width = 1600;
    uint32_t height = 1200;
    uint16_t black_level = 64;
    uint16_t white_level = 1023;
    float electrons_per_dn = 4.0f;
    float read_noise_dn = 1.5f;
    float exposure_dn = 760.0f;  // a white patch on a green pixel at the field centre
    float flat_level = 0.85f;    // flat field brightness, relative to white

    // Raw-layout PD pairs: one row (horizontal) or one column (vertical) of
    // microlens-shared pairs per block, `pd_pairs` of them spread evenly.
    uint16_t block_size = 16;
    uint16_t margin = 16;
    uint16_t pd_pairs = 4;

    // Radiometry: cos^4-like vignetting, colour response to a grey chart, and the
    // PD pixels' sensitivity with opposite shading of the two phases across the
    // field in the direction of their split.
    float vignetting = 0.22f;  // V = 1 / (1 + k r^2)^2, r = 1 at the corners
    float red_response = 0.55f;
    float blue_response = 0.42f;
    float pd_sensitivity = 0.48f;  // raw layouts; each dual photodiode sees half
    float pd_shading = 0.22f;      // left/right: 1 -/+ shading at the field edges

    // Optics: the in-focus lens position over the field (curve of field), the
    // DCC over the field, and the blur of one phase for a given disparity.
    float focus_centre = 512.0f;
    float field_curvature = 36.0f;  // added at the corners (r = 1)
    float focus_tilt_x = -6.0f;     // added at the right edge, subtracted at the left
    float focus_tilt_y = 4.0f;
    float dcc_centre = 13.0f;          // lens units per pixel of disparity
    float dcc_edge = 0.22f;            // relative increase at the corners
    float dcc_tilt_x = 0.04f;          // relative change at the right edge (minus at the left)
    float blur_base = 0.6f;            // in-focus blur sigma (lens and pixel), pixels
    float blur_per_disparity = 0.42f;  // phase blur sigma per pixel of disparity

    // Chart: vertical bars for the focus measure and the horizontal PD pairs,
    // irregular horizontal stripes for the vertical pairs; reflectance
    // base + bar * bar(x) + stripe * stripe(y).
    float bar_period = 64.0f;
    float bar_phase = 9.25f;
    float chart_base = 0.08f;
    float chart_bar = 0.62f;
    float chart_stripe = 0.22f;
    float stripe_min = 24.0f;
    float stripe_max = 60.0f;
    uint64_t chart_seed = 0x6368617274ull;

    // The lens sweep: sweep_frames positions from lens_first in steps of lens_step.
    int lens_first = 292;
    int lens_step = 40;
    int flat_lens = 512;
    // When not empty: the sweep's lens positions, in this order (one frame each),
    // instead of the grid above.
    std::vector<int> lens_positions;

    // Dual-photodiode sensors deliver 2x2-binned left and right images.
    uint16_t dual_binning = 2;
};

// The model a demo uses for a frame size (margins and sweep unchanged).
sensor_model default_model(uint32_t width, uint32_t height);

// The same module (optics, radiometry, truth) for a verification sweep: the
// chart moved (another phase of the bars, other stripes) and `frames` lens
// positions, evenly spaced, none on the calibration grid of `calibration_frames`
// positions, spanning that grid and a bit beyond it, in a shuffled order.
sensor_model verification_model(const sensor_model& model, uint64_t seed,
                                int calibration_frames = 12, int frames = 12);

// The sensor configuration the module's maker would ship for this model.
sensor_cfg make_sensor_cfg(const sensor_model& model, layout kind);

// Size of the images the host passes to the library: the raw frame for the raw
// layouts, each binned left/right image for the dual-photodiode layout.
void image_size(const sensor_model& model, layout kind, uint32_t& width, uint32_t& height);

// In-focus lens position and DCC at a sensor position (pixels, continuous).
float in_focus_lens(const sensor_model& model, float x, float y);
float dcc_at(const sensor_model& model, float x, float y);

struct rendering {
    capture_set capture;
    ground_truth truth;
};

// Renders the flat field and the lens sweep (settings.sweep_frames frames) of the
// model for one PD layout, with the settings and gain limits given, and the
// ground truth on the settings' window grid.
rendering render(const sensor_model& model, layout kind, uint64_t seed,
                 const cal_settings& settings, const gain_limits& limits);

// The ground truth alone: the true DCC and in-focus lens position per window,
// averaged over the part of the field each window measures.
ground_truth truth_for(const sensor_model& model, layout kind, const cal_settings& settings);

}  // namespace orvane_sim
