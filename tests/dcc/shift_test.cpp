// Every fixed-point shift of the stored DCC, each with a sweep whose slope is
// 1000 / 2^q: the right shift stores exactly 1000, any other shift (a count
// taken modulo 16, one off, ...) a different value.
#include <cmath>
#include <cstdint>
#include <vector>

#include "dcc_fixture.h"

namespace orvane_test {
namespace {

class DccShift : public DccFit {};

TEST_F(DccShift, EveryShiftFrom0To31ScalesBy2ToTheQ) {
    for (int q = 0; q <= 31; ++q) {
        SCOPED_TRACE(q);
        cal_settings s = dcc_settings(1, 1, 5, 0);
        s.dcc_shift = static_cast<int8_t>(q);
        make(s);
        // Lens 125 k over disparity 2^(q-3) k: powers of two keep every sum,
        // product and quotient of the fit exact.
        const float step = std::ldexp(1.0f, q - 3);
        lens({0, 125, 250, 375, 500});
        pd(0, {0.0f, step, 2 * step, 3 * step, 4 * step});
        fit(5);
        // 2^31 is the float of the 32-bit integer 1 << 31, which is negative.
        const int16_t want = q == 31 ? -1000 : 1000;
        EXPECT_EQ(map_.dcc_shift, q);
        EXPECT_EQ(map_.dcc[0], want);
        EXPECT_EQ(state().dcc[0], want);
        EXPECT_EQ(state().dcc_shift, q);

        gainmap g{};
        std::vector<uint8_t> block(ORVANE_BLOCK_BUFFER_SIZE);
        const int32_t end = Orvane_get_calibration_block(&g, &map_, block.data());
        ASSERT_EQ(end, 14);
        EXPECT_EQ(block[6] << 8 | block[7], q);
        EXPECT_EQ(static_cast<int16_t>(block[12] << 8 | block[13]), want);
    }
}

}  // namespace
}  // namespace orvane_test
