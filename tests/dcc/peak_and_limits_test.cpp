#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "dcc_fixture.h"

namespace orvane_test {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

TEST_F(DccFit, FocusPeakIsTheVertexOfAParabola) {
    make(dcc_settings(1, 2, 3, 0));
    lens({120, 130, 140});
    pd(0, {-1, 0, 1});
    pd(1, {-1, 0, 1});
    focus(0, {5, 9, 8});  // +0.3 of a step
    focus(1, {8, 9, 5});  // -0.3 of a step: exactly -3, so 127 and not 126
    EXPECT_EQ(fit(3), 0u);
    EXPECT_EQ(state().peak_lens[0], 133);
    EXPECT_EQ(state().peak_lens[1], 127);
    EXPECT_EQ(state().zero_pd_lens[0], 130);
    EXPECT_EQ(state().zero_pd_offset[0], -3);
    EXPECT_EQ(state().zero_pd_offset[1], 3);
    EXPECT_EQ(state().zero_pd_offset_norm[0], -3.0f / 20.0f);
}

TEST_F(DccFit, EarliestOfEqualFocusMaximaWins) {
    make(dcc_settings(1, 1, 4, 0));
    lens({0, 10, 20, 30});
    pd(0, {-3, -1, 1, 3});
    focus(0, {1, 9, 9, 1});  // peak on frame 1, pulled half a step up
    fit(4);
    EXPECT_EQ(state().peak_lens[0], 15);
}

TEST_F(DccFit, PeakOnAnEndOfTheSweepIsNotInterpolated) {
    make(dcc_settings(1, 2, 3, 0));
    lens({120, 130, 140});
    pd(0, {-1, 0, 1});
    pd(1, {-1, 0, 1});
    focus(0, {9, 5, 1});
    focus(1, {1, 5, 9});
    EXPECT_EQ(fit(3), ORVANE_PEAK_AT_END);
    EXPECT_EQ(state().peak_lens[0], 120);
    EXPECT_EQ(state().peak_lens[1], 140);
}

TEST_F(DccFit, NoPositiveFocusPutsThePeakOnTheFirstFrame) {
    make(dcc_settings(1, 1, 3, 0));
    lens({120, 130, 140});
    pd(0, {-1, 0, 1});
    focus(0, {-1, 0, -2});
    EXPECT_EQ(fit(3), ORVANE_PEAK_AT_END);
    EXPECT_EQ(state().peak_lens[0], 120);
}

TEST_F(DccFit, FallingLensPositionsPutEveryPeakOutsideTheSweep) {
    make(dcc_settings(1, 1, 5, 0));
    lens({120, 110, 100, 90, 80});
    pd(0, {-2, -1, 0, 1, 2});
    focus(0, {1, 5, 9, 5, 1});
    EXPECT_EQ(fit(5), ORVANE_PEAK_AT_END);
    EXPECT_EQ(map_.dcc[0], -160);
}

// Values beyond the 16-bit range clamp instead of wrapping into the
// opposite sign.
TEST_F(DccFit, DccBeyondTheRangeSaturates) {
    make(dcc_settings(1, 2, 5, 0));
    lens({-5200, -2600, 0, 2600, 5200});
    pd(0, {-2, -1, 0, 1, 2});  // slope 2600, x 16 = 41600
    pd(1, {2, 1, 0, -1, -2});
    focus(0, {1, 5, 9, 5, 1});
    focus(1, {1, 5, 9, 5, 1});
    fit(5);
    EXPECT_EQ(map_.dcc[0], 32767);
    EXPECT_EQ(map_.dcc[1], -32768);
    EXPECT_EQ(state().dcc[0], 32767);
}

TEST_F(DccFit, ZeroPdLensAndOffsetSaturate) {
    make(dcc_settings(1, 2, 5, 0));
    lens({28000, 29000, 30000, 31000, 32000});
    pd(0, {-12, -11, -10, -9, -8});  // zero disparity near lens 40000
    pd(1, {68, 69, 70, 71, 72});     // near lens -40000
    focus(0, {1, 5, 9, 5, 1});
    focus(1, {1, 5, 9, 5, 1});
    fit(5);
    EXPECT_EQ(state().peak_lens[1], 30000);
    EXPECT_EQ(state().zero_pd_lens[0], 32767);
    EXPECT_EQ(state().zero_pd_lens[1], -32768);
    EXPECT_EQ(state().zero_pd_offset[0], 2767);
    EXPECT_EQ(state().zero_pd_offset[1], -32768);  // -62768
}

TEST_F(DccFit, PeakLensSaturates) {
    make(dcc_settings(1, 1, 4, 0));
    lens({0, 20000, 30000, 32767});
    pd(0, {-3, -1, 1, 3});
    focus(0, {0, 0, 1, 1});  // half a step of 20000 above 30000
    EXPECT_EQ(fit(4) & ORVANE_PEAK_AT_END, ORVANE_PEAK_AT_END);
    EXPECT_EQ(state().peak_lens[0], 32767);
}

TEST_F(DccFit, AcceptsFortyEightWindows) {
    make(dcc_settings(6, 8, 5, 0));
    lens({80, 90, 100, 110, 120});
    for (int w = 0; w < 48; ++w) {
        pd(w, {-2, -1, 0, 1, 2});
        focus(w, {1, 5, 9, 5, 1});
    }
    EXPECT_EQ(fit(5), 0u);
    EXPECT_EQ(map_.dcc[47], 160);
}

TEST_F(DccFit, UnsupportedCountsFailBeforeWritingAnything) {
    struct counts {
        int rows, cols, frames, trim;
    };
    const counts cases[] = {
        {7, 7, 5, 0},   // 49 windows
        {-1, 1, 5, 0},  // 65,535 windows
        {1, 1, 13, 0},  // more frames than slots
        {1, 1, -1, 0},  // negative frame count
        {1, 1, 5, -1},  // negative trim
    };
    const std::string path = ::testing::TempDir() + "dcc_refused.bin";
    for (const counts& c : cases) {
        make(dcc_settings(c.rows, c.cols, c.frames, c.trim));
        lens({80, 90, 100, 110, 120});
        pd(0, {-2, -1, 0, 1, 2});
        state().frames_added = 5;
        const std::vector<uint8_t> before(reinterpret_cast<const uint8_t*>(&state()),
                                          reinterpret_cast<const uint8_t*>(&state() + 1));
        std::memset(&map_, 0x5A, sizeof(map_));
        std::remove(path.c_str());
        EXPECT_EQ(Orvane_get_dccmap(ctx_.get(), &map_, path.c_str()), ORVANE_HARD_FAILURE);
        EXPECT_EQ(std::memcmp(before.data(), &state(), before.size()), 0) << c.rows << c.frames;
        EXPECT_EQ(map_.version, 0x5A);
        EXPECT_EQ(std::fopen(path.c_str(), "rb"), nullptr);
    }
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST_F(DccFit, DumpHoldsTheStateRegionWithTheSweepsFrameCount) {
    cal_settings s = dcc_settings(1, 1, 5, 0);
    s.dump_tag = -123;
    make(s);
    lens({80, 90, 100, 110, 120});
    pd(0, {-2, -1, 0, 1, 2});
    focus(0, {1, 5, 9, 5, 1});
    slot(9).pd[3] = 7.5f;  // an earlier sweep's leftovers go along
    const std::string path = ::testing::TempDir() + "dcc_state.bin";
    CaptureStdout();
    EXPECT_EQ(fit(5, path.c_str()), 0u);
    EXPECT_EQ(GetCapturedStdout(), "");

    const std::vector<uint8_t> dump = read_file(path);
    ASSERT_EQ(dump.size(), sizeof(cal_state));
    EXPECT_EQ(state().frames_added, 0);
    orvane::cal_state expected = state();
    expected.frames_added = 5;
    EXPECT_EQ(std::memcmp(dump.data(), &expected, dump.size()), 0);
    EXPECT_EQ(dump[0], 0x85);  // dump_tag, sign-extended
    EXPECT_EQ(dump[1], 0xFF);
    EXPECT_EQ(dump[offsetof(cal_state, frames_added)], 5);
    EXPECT_EQ(dump[offsetof(cal_state, dcc)], 160);  // dcc[0], little-endian
    std::remove(path.c_str());
}

TEST_F(DccFit, UnwritableDumpPathIsReportedAndTheSweepStillEnds) {
    make(dcc_settings(1, 1, 5, 0));
    lens({80, 90, 100, 110, 120});
    pd(0, {-2, -1, 0, 1, 2});
    focus(0, {1, 5, 9, 5, 1});
    CaptureStdout();
    const uint32_t flags = fit(5, "/nonexistent-orvane-dir/state.bin");
    EXPECT_EQ(GetCapturedStdout(),
              "Cannot open file for write: /nonexistent-orvane-dir/state.bin\n");
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(state().frames_added, 0);
    EXPECT_EQ(map_.dcc[0], 160);
}

}  // namespace
}  // namespace orvane_test
