// The AVX-512 units beside kernels/avx512.cpp (pixels, gathers and the
// table): each replaces the kernels it implements in a table.
#pragma once

#include "kernels/kernels.h"

namespace orvane {

void install_avx512_focus(kernel_table& k);   // focus band-pass
void install_avx512_resize(kernel_table& k);  // exposure window sums, resampler column pass

}  // namespace orvane
