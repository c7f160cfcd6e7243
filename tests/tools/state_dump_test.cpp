// Reading the library's state dump into the per-window fields, and the DCC
// map's checks each window fails (pipeline/calibration.h, window_checks.h).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "orvane_state.h"
#include "pipeline/calibration.h"
#include "pipeline/outputs.h"

namespace orvane_tool {
namespace {

// A state dump of one sweep, written field by field at the offsets orvane_state.h gives.
class StateDump : public ::testing::Test {
protected:
    static constexpr int kFrames = 5;
    std::vector<uint8_t> dump = std::vector<uint8_t>(ORVANE_STATE_DUMP_SIZE, 0);
    cal_settings s{};

    void put16(size_t off, int v) {
        dump[off] = static_cast<uint8_t>(v & 0xFF);
        dump[off + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
    void put32(size_t off, uint32_t v) {
        for (int i = 0; i < 4; ++i) dump[off + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    void putf(size_t off, float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        put32(off, bits);
    }
    static size_t slot(int k) {
        return offsetof(cal_state, slots) + sizeof(frame_slot) * static_cast<size_t>(k);
    }
    static constexpr size_t kLens = offsetof(frame_slot, lens_position);
    static constexpr size_t kPd = offsetof(frame_slot, pd);
    static constexpr size_t kFocus = offsetof(frame_slot, focus);
    static constexpr size_t kFlags = offsetof(frame_slot, flags);

    void SetUp() override {
        s.trim_frames = 1;
        s.min_pd_range = 4;
        s.residual_limit = 0.01f;
        for (float& l : s.dcc_dev_limit) l = 0.05f;
        put16(offsetof(cal_state, dcc_shift), 8);
        put16(offsetof(cal_state, win_cols), 2);
        put16(offsetof(cal_state, win_rows), 1);
        put16(offsetof(cal_state, bayer_channel), 3);  // one byte
        for (int k = 0; k < kFrames; ++k) {
            put16(slot(k) + kLens, 100 + 10 * k);                       // lens positions 100..140
            putf(slot(k) + kPd, -4.0f + 2.0f * static_cast<float>(k));  // window 0: rising
            putf(slot(k) + kPd + 4, k == 2 ? 1.0f : 0.5f);              // window 1: flat, one bump
            putf(slot(k) + kFocus + 4, static_cast<float>(k));          // focus of window 1
        }
        put32(slot(3) + kFlags + 4, 0x40u);  // window 1 hit the search edge in frame 3
        put16(offsetof(cal_state, dcc), 2560);           // DCC of window 0: 10.0
        put16(offsetof(cal_state, peak_lens), 121);      // peak_lens of window 0
        put16(offsetof(cal_state, peak_lens) + 2, 140);  // window 1 peaks at the last position
        putf(offsetof(cal_state, zero_pd_offset_norm), 0.01f);
        putf(offsetof(cal_state, zero_pd_offset_norm) + 4, -0.2f);  // window 1 far from its peak
        putf(offsetof(cal_state, fit_residual) + 4, 0.5f);           // window 1 fits badly
    }
};

TEST_F(StateDump, ReadsThePerWindowFieldsAndTheSweep) {
    calibration_result r;
    read_state_dump(dump, s, kFrames, r);
    EXPECT_EQ(r.dcc_shift, 8);
    EXPECT_EQ(r.win_cols, 2);
    EXPECT_EQ(r.win_rows, 1);
    EXPECT_EQ(r.bayer_channel, 3);
    ASSERT_EQ(r.windows.size(), 2u);
    EXPECT_EQ(r.windows[0].dcc, 2560);
    EXPECT_DOUBLE_EQ(dcc_value(r.windows[0].dcc, r.dcc_shift), 10.0);
    EXPECT_EQ(r.windows[0].peak_lens, 121);
    ASSERT_EQ(r.windows[0].pd.size(), static_cast<size_t>(kFrames));
    EXPECT_FLOAT_EQ(r.windows[0].pd[4], 4.0f);
    EXPECT_FLOAT_EQ(r.windows[1].focus[3], 3.0f);
    EXPECT_EQ(r.windows[1].flags[3], 0x40u);
    EXPECT_EQ(r.windows[1].frame_flags, 0x40u);
    EXPECT_EQ(r.windows[0].frame_flags, 0u);
}

TEST_F(StateDump, TellsWhichWindowFailsWhichDccMapCheck) {
    calibration_result r;
    read_state_dump(dump, s, kFrames, r);
    EXPECT_EQ(r.windows[0].fit_flags, 0u);
    // Window 1: spread 0.5 below 4, offset -0.2 beyond 0.05, peak at the last
    // lens position, and a step against its direction with a poor fit.
    EXPECT_EQ(r.windows[1].fit_flags,
              0x80u | ORVANE_PD_RANGE_LOW | ORVANE_DCC_DEVIATION | ORVANE_PEAK_AT_END);
}

// Two frames, none trimmed: the library reads the direction from slots 1
// and 2, the second past the sweep; the dump holds that slot, and the checks
// must read it as the library does (not past the two frames they were given).
TEST_F(StateDump, TwoFrameSweepTakesTheDirectionFromTheSlotAfterIt) {
    s.trim_frames = 0;
    putf(offsetof(cal_state, fit_residual), 0.5f);  // window 0 fits badly
    struct row {
        float slot2_pd;
        uint32_t window0;
    };
    // Window 0: PD -4 then -2, a spread of 2 below 4, peak 121 beyond lens 110.
    for (const row& c :
         {row{-10.0f, ORVANE_NOT_MONOTONIC | ORVANE_PD_RANGE_LOW | ORVANE_PEAK_AT_END},
          row{10.0f, ORVANE_PD_RANGE_LOW | ORVANE_PEAK_AT_END}}) {
        putf(slot(2) + kPd, c.slot2_pd);
        calibration_result r;
        read_state_dump(dump, s, 2, r);
        ASSERT_EQ(r.windows.size(), 2u);
        EXPECT_EQ(r.windows[0].pd.size(), 2u);
        EXPECT_EQ(r.windows[0].fit_flags, c.window0) << "slot 2 PD " << c.slot2_pd;
    }
}

TEST_F(StateDump, RefusesATruncatedDump) {
    dump.resize(1000);
    calibration_result r;
    EXPECT_THROW(read_state_dump(dump, s, kFrames, r), std::runtime_error);
}

}  // namespace
}  // namespace orvane_tool
