// The AVX-512 units beside kernels/avx512.cpp (pixels, gathers and the
// table): each replaces the kernels it implements in a table.
#pragma once

#include "kernels/kernels.h"

namespace orvane {

const kernel_table* avx2_table();  // kernels/avx2.cpp: the base of the AVX-512 table

void install_avx512_focus(kernel_table& k);   // focus band-pass
void install_avx512_resize(kernel_table& k);  // exposure window sums, resampler column pass

}  // namespace orvane
