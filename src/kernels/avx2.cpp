// The AVX2 table. Its kernels live in the avx2_* units, one per kernel
// family, all built with -mavx2 -mno-fma -ffp-contract=off and entered only
// through this table after a CPU check; nothing in them is visible outside
// its unit (no header inline function is instantiated with AVX2 code).
//
// Bit-exactness: lanes only ever hold independent samples or independent
// sequences; every float operation of the scalar code is done once per lane,
// in the same order, with the same rounding. Integer sums may be reordered.
#include "kernels/avx2_units.h"
#include "kernels/kernels.h"

namespace orvane {
namespace {

// The scalar table with every kernel the AVX2 units implement replaced.
kernel_table make_table() {
    kernel_table k = scalar_kernels();
    k.name = "avx2";
    install_avx2_pixels(k);
    install_avx2_sums(k);
    install_avx2_focus(k);
    install_avx2_resize(k);
    return k;
}

}  // namespace

const kernel_table* avx2_table() {
    static const kernel_table table = make_table();
    return &table;
}

}  // namespace orvane
