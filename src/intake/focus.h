// Contrast focus measure of every window of a frame.
#pragma once

#include <cstdint>

#include "context/numeric.h"
#include "orvane.h"

namespace orvane {

struct biquad_coeffs {
    float a[3];
    float b[3];
};
extern const biquad_coeffs kBandpass;

void bandpass_filter(const uint16_t* src, int16_t* dst, uint16_t width, uint16_t height,
                     const biquad_coeffs& coeffs);
float abs_sum(const int16_t* samples, uint16_t first, uint16_t end, uint16_t width,
              uint16_t height);
// Trapezoid column weights 0..256 of a window `width` columns wide.
void tapered_weights(uint16_t width, uint16_t* weights);
// `weights` is scratch of at least `width` entries; it receives the weights.
float tapered_sum(const int16_t* samples, uint16_t width, uint16_t height, uint16_t* weights);
// The tapered variant of the focus measure: chosen by focus_tapered unless
// the absolute-sum variant is.
inline bool tapered_variant(const cal_settings& s) {
    return s.focus_abs_sum != 1 && s.focus_tapered == 1;
}

// tapered_weights written three times into store[0, 3 width), as the
// band-pass kernels read a weights row; returns the second copy.
const uint16_t* tapered_weights_thrice(uint16_t width, uint16_t* store);

struct line_result {
    int32_t first;
    int32_t last;
    int32_t steps;
};
// true on success; widths is scratch of at least n entries. Two of the
// failures send a message from `ctx`.
bool line_analysis(const int32_t* profile, int32_t n, int32_t* widths, line_result* out,
                   const cal_context* ctx);

// Focus value of one cut-out; negative when the line analysis failed.
float window_focus(cal_context& ctx, const uint16_t* roi, uint16_t width, uint16_t height);

// Whether a focus sweep with these inputs stays within every capacity.
bool focus_sweep_fits(const cal_context& ctx, int32_t frame_index, uint16_t width, uint16_t height);
uint32_t focus_sweep(cal_context& ctx, int16_t frame_index, const uint16_t* image, uint16_t width,
                     uint16_t height);

}  // namespace orvane
