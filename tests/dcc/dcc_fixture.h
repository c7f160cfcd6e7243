// A context whose frame slots are filled directly, for fits with known inputs.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "context/context.h"
#include "orvane.h"

namespace orvane_test {

struct context_deleter {
    void operator()(cal_context* ctx) const { Orvane_destroy(ctx); }
};
using context_ptr = std::unique_ptr<cal_context, context_deleter>;

inline cal_settings dcc_settings(int rows, int cols, int frames, int trim) {
    cal_settings s{};
    s.win_rows = static_cast<int8_t>(rows);
    s.win_cols = static_cast<int8_t>(cols);
    s.dcc_shift = 4;
    s.sweep_frames = static_cast<int8_t>(frames);
    s.trim_frames = static_cast<int8_t>(trim);
    s.max_shift = 9;
    s.min_pd_range = 1;
    s.win_margin = 0.25f;
    s.residual_limit = 1.0f;
    for (float& limit : s.dcc_dev_limit) limit = 10.0f;
    return s;
}

class DccFit : public ::testing::Test {
protected:
    void make(const cal_settings& s) {
        ctx_.reset(Orvane_create(&s));
        ASSERT_NE(ctx_, nullptr);
    }
    cal_context& ctx() { return *ctx_; }
    orvane::cal_state& state() { return ctx_->state; }
    orvane::frame_slot& slot(int k) { return ctx_->state.slots[k]; }

    void lens(std::initializer_list<int> positions) {
        int k = 0;
        for (int p : positions) slot(k++).lens_position = static_cast<int16_t>(p);
    }
    void pd(int w, std::initializer_list<float> values) {
        int k = 0;
        for (float v : values) slot(k++).pd[w] = v;
    }
    void focus(int w, std::initializer_list<float> values) {
        int k = 0;
        for (float v : values) slot(k++).focus[w] = v;
    }
    uint32_t fit(int frames_added, const char* dump = nullptr) {
        state().frames_added = static_cast<int16_t>(frames_added);
        return Orvane_get_dccmap(ctx_.get(), &map_, dump);
    }

    context_ptr ctx_;
    dccmap map_{};
};

}  // namespace orvane_test
