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

// What the module looks at during the sweep: a bar chart (line-pattern focus
// measure) or a natural-looking dead-leaves texture (absolute-sum focus measure).
enum class chart_kind { bars, natural };

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

    // Fixed patterns and defects, all drawn from the seed: pixel response
    // non-uniformity (sigma, relative), hot pixels (dark signal 80..680 DN) and
    // dead pixels (no signal) among image and PD pixels alike, and a per-row
    // offset that changes from frame to frame (sigma, DN).
    float prnu = 0.01f;
    float hot_pixel_rate = 3e-4f;
    float dead_pixel_rate = 1e-4f;
    float row_noise_dn = 0.5f;

    // Optics: the in-focus lens position over the field (curve of field) and the
    // DCC over the field. Out of focus each phase sees one half of the exit pupil
    // (left/right for horizontal pairs and dual photodiodes, top/bottom for
    // vertical pairs): its blur is a half disc, mirrored between the phases and
    // across focus, whose radius makes the centroids of the two phases' blurs
    // (lens - in-focus) / DCC pixels apart. Each phase also takes `crosstalk` of
    // the other half's light. A Gaussian of `blur_base` (diffraction and pixel
    // aperture) softens everything.
    float focus_centre = 512.0f;
    float field_curvature = 36.0f;  // added at the corners (r = 1)
    float focus_tilt_x = -6.0f;     // added at the right edge, subtracted at the left
    float focus_tilt_y = 4.0f;
    float dcc_centre = 13.0f;          // lens units per pixel of disparity
    float dcc_edge = 0.22f;            // relative increase at the corners
    float dcc_tilt_x = 0.04f;          // relative change at the right edge (minus at the left)
    float blur_base = 0.6f;            // in-focus blur sigma (lens and pixel), pixels
    float crosstalk = 0.15f;           // fraction of the other half's light a phase receives

    // Chart: vertical bars for the focus measure and the horizontal PD pairs,
    // irregular horizontal stripes for the vertical pairs; reflectance
    // base + bar * bar(x) + stripe * stripe(y), turned by a small angle, with
    // bar widths that vary a little, under uneven light. The natural chart is a
    // dead-leaves texture (discs of radius leaf_min..leaf_max, density ~ 1/r^3)
    // with reflectances in base .. base + bar + stripe, drawn from the seed.
    chart_kind chart = chart_kind::bars;
    float bar_period = 64.0f;
    float bar_phase = 9.25f;
    float chart_base = 0.08f;
    float chart_bar = 0.62f;
    float chart_stripe = 0.22f;
    float stripe_min = 24.0f;
    float stripe_max = 60.0f;
    float bar_jitter = 0.06f;       // each bar's width varies by up to this fraction
    float chart_rotation = 0.4f;    // degrees, about the frame centre
    float light_gradient = 0.04f;   // light falls by this fraction from left to right
    float light_falloff = 0.04f;    // and by this fraction towards the corners
    float leaf_min = 3.0f;
    float leaf_max = 96.0f;
    uint64_t chart_seed = 0x6368617274ull;

    // The lens sweep: sweep_frames positions from lens_first in steps of lens_step.
    // Twelve positions over +-176 lens units (about +-13 pixels of defocus): the
    // bar chart's extreme frames keep enough contrast for the line analysis.
    int lens_first = 336;
    int lens_step = 32;
    int flat_lens = 512;
    // When not empty: the sweep's lens positions, in this order (one frame each),
    // instead of the grid above.
    std::vector<int> lens_positions;

    // Dual-photodiode sensors deliver 2x2-binned left and right images.
    uint16_t dual_binning = 2;

    // Rendering threads (0: one per core); the frames do not depend on it.
    unsigned render_threads = 0;
};

// The model a demo uses for a frame size (margins and sweep unchanged).
sensor_model default_model(uint32_t width, uint32_t height);

// The same module (optics, radiometry, truth) for a verification sweep: the
// chart moved (another phase of the bars, other stripes) and `frames` lens
// positions, evenly spaced, none on the calibration grid of `calibration_frames`
// positions, between that grid's positions and inside its span, in a shuffled order.
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

// Disparity, in pixels along the split, that the layout's pair geometry gives
// at focus: the second pixel of each pair sits this far from the first one, so
// the correlation sees the scene this much displaced (0 for dual photodiodes).
double pair_offset(const sensor_model& model, layout kind);

// Response of the two phases to a point at the centre pixel of a
// `size` x `size` patch (odd size), rendered the way the frames are (base blur,
// half-disc defocus with crosstalk), for a defocus of `disparity` pixels (the
// intended centroid separation). Row-major with the split along the rows;
// each sums to 1.
struct psf_pair {
    int size = 0;
    std::vector<double> first, second;
};
psf_pair phase_psfs(const sensor_model& model, double disparity, int size);

struct rendering {
    capture_set capture;
    ground_truth truth;
};

// Renders the flat field and the lens sweep (settings.sweep_frames frames) of the
// model for one PD layout, with the settings and gain limits given, and the
// ground truth on the settings' window grid.
rendering render(const sensor_model& model, layout kind, uint64_t seed,
                 const cal_settings& settings, const gain_limits& limits);

// The ground truth alone, per window of the settings' grid: the DCC (lens
// position over the centroid separation of the two phases' blurs, which this
// model keeps proportional to the defocus), the in-focus lens position, both
// as the window measures them over the part of the field it covers, and the
// lens offset at which the pair geometry makes the disparity zero.
ground_truth truth_for(const sensor_model& model, layout kind, const cal_settings& settings);

}  // namespace orvane_sim
