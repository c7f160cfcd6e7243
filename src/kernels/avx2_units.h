// The AVX2 units, one per kernel family: each replaces the kernels it
// implements in a table (kernels/avx2.cpp builds the AVX2 table from them).
#pragma once

#include "kernels/kernels.h"

namespace orvane {

void install_avx2_pixels(kernel_table& k);  // black level, gains, channel gather, mean
void install_avx2_sums(kernel_table& k);    // profile sums, exposure window sums
void install_avx2_focus(kernel_table& k);   // focus band-pass
void install_avx2_resize(kernel_table& k);  // resampler column pass

}  // namespace orvane
