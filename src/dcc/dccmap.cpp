// End of a lens sweep: per-window DCC line fit, focus peak, validation, the
// state dump and the reset of the frame counter.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "context/context.h"
#include "context/numeric.h"
#include "dcc/state_dump.h"

namespace orvane {
namespace {

// Absolute difference of two lens positions, kept as a signed 16-bit value
// (a span of more than 32767 wraps, as the state field holds it).
int16_t lens_distance(int16_t a, int16_t b) {
    const int32_t d = std::abs(static_cast<int32_t>(a) - static_cast<int32_t>(b));
    return static_cast<int16_t>(static_cast<uint16_t>(d));
}

// 2^q as the float of the 32-bit integer 1 << q. Shift counts are taken
// modulo 32, so an out-of-range settings byte cannot shift past the width.
float fixed_point_scale(int16_t q) {
    const uint32_t bits = 1u << (static_cast<uint32_t>(q) & 31u);
    return static_cast<float>(static_cast<int32_t>(bits));
}

int16_t saturate16(int32_t v) {
    if (v < INT16_MIN) return INT16_MIN;
    if (v > INT16_MAX) return INT16_MAX;
    return static_cast<int16_t>(v);
}

// Counts of one fit, taken from the settings copy.
struct dcc_sweep {
    uint16_t win_cols;
    uint16_t win_rows;
    uint32_t windows;
    int16_t frames;  // N
    int16_t trim;    // T
    int16_t fitted;  // K = N - 2T
    int16_t mid;     // m: the direction is read from slots m and m + 1
};

dcc_sweep dcc_sweep_params(const cal_context& ctx) {
    const cal_settings& s = ctx.settings;
    dcc_sweep p{};
    p.win_cols = count_u16(s.win_cols);
    p.win_rows = count_u16(s.win_rows);
    p.windows = static_cast<uint32_t>(p.win_cols) * p.win_rows;
    p.frames = static_cast<int16_t>(s.sweep_frames);
    p.trim = static_cast<int16_t>(s.trim_frames);
    p.fitted = static_cast<int16_t>(p.frames - 2 * p.trim);
    // K / 2 truncates toward zero, also for K < 0.
    p.mid = static_cast<int16_t>(p.trim + p.fitted / 2);
    return p;
}

bool dcc_sweep_fits(const dcc_sweep& p) {
    if (p.windows > static_cast<uint32_t>(kMaxDccWindows)) return false;
    if (p.frames < 0 || p.frames > kFrameSlots || p.trim < 0) return false;
    // With 0 <= N <= 12 and T >= 0 the fitted slots T..N-T-1 and the
    // direction slots m, m+1 (m <= N/2 rounded up) always lie in 0..11; the
    // test keeps that explicit.
    if (p.mid < 0 || p.mid + 1 >= kFrameSlots) return false;
    return true;
}

int16_t span_slot(int16_t frames_added) {
    if (frames_added < 1) return 0;
    if (frames_added > kFrameSlots) return kFrameSlots - 1;
    return static_cast<int16_t>(frames_added - 1);
}

uint32_t fit_window(cal_context& ctx, const dcc_sweep& p, uint32_t w, int16_t span, int16_t step,
                    float scale, float dev_limit) {
    const cal_settings& s = ctx.settings;
    cal_state& st = ctx.state;
    const frame_slot* slots = st.slots;
    const int first = p.trim;
    const int end = p.trim + p.fitted;  // one past the last fitted slot
    const float kf = static_cast<float>(p.fitted);
    const float span_f = static_cast<float>(span);

    float sx = 0.0f, sxx = 0.0f, sy = 0.0f, sxy = 0.0f;
    for (int k = first; k < end; ++k) {
        const float x = slots[k].pd[w];
        const float y = static_cast<float>(slots[k].lens_position);
        sx += x;
        sxx += x * x;
        sy += y;
        sxy += x * y;
    }
    const float d = kf * sxx - sx * sx;
    const float slope = (kf * sxy - sy * sx) / d;
    const float intercept = (sy * sxx - sxy * sx) / d;

    const int16_t dcc = trunc16_sat(slope * scale);
    const int16_t zero_lens = trunc16_sat(intercept);

    float r = 0.0f;
    for (int k = first; k < end; ++k) {
        const float x = slots[k].pd[w];
        const float y = static_cast<float>(slots[k].lens_position);
        r += std::fabs(slope * x + intercept - y);
    }
    const float residual = r / kf / span_f;

    // Focus peak: first strict maximum above 0 over the whole sweep.
    float best = 0.0f;
    int a = 0;
    for (int k = 0; k < p.frames; ++k) {
        if (slots[k].focus[w] > best) {
            best = slots[k].focus[w];
            a = k;
        }
    }
    int16_t peak;
    if (a > 0 && a < p.frames - 1) {
        const float fl = slots[a - 1].focus[w];
        const float fc = slots[a].focus[w];
        const float fr = slots[a + 1].focus[w];
        const float vertex = (fl - fr) / ((fr + fl) * 2.0f - fc * 4.0f);
        peak = trunc16_sat(vertex * static_cast<float>(step) +
                           static_cast<float>(slots[a].lens_position));
    } else {
        peak = slots[a].lens_position;
    }

    const int16_t offset = saturate16(static_cast<int32_t>(zero_lens) - peak);
    const float offset_norm = static_cast<float>(offset) / span_f;

    st.dcc[w] = dcc;
    st.zero_pd_lens[w] = zero_lens;
    st.fit_residual[w] = residual;
    st.peak_lens[w] = peak;
    st.zero_pd_offset[w] = offset;
    st.zero_pd_offset_norm[w] = offset_norm;

    uint32_t flags = 0;
    const bool rising = slots[p.mid + 1].pd[w] > slots[p.mid].pd[w];
    float prev = slots[0].pd[w];
    float hi = -999999.0f;
    float lo = 999999.0f;
    for (int k = first; k < end; ++k) {
        const float v = slots[k].pd[w];
        if (v > hi) hi = v;
        if (v < lo) lo = v;
        const bool against = rising ? prev > v : v > prev;
        if (against && residual > s.residual_limit) flags |= ORVANE_NOT_MONOTONIC;
        prev = v;
    }
    if (std::fabs(offset_norm) > dev_limit) flags |= ORVANE_DCC_DEVIATION;
    if (static_cast<float>(s.min_pd_range) > std::fabs(hi - lo)) flags |= ORVANE_PD_RANGE_LOW;
    // With N <= 1 the peak is L(0) and the first test decides; slot 0 then
    // stands in for the missing last frame.
    const int last = p.frames > 0 ? p.frames - 1 : 0;
    if (peak <= slots[0].lens_position || peak >= slots[last].lens_position) {
        flags |= ORVANE_PEAK_AT_END;
    }
    return flags;
}

}  // namespace
}  // namespace orvane

extern "C" ORVANE_API uint32_t Orvane_get_dccmap(cal_context* ctx, dccmap* map,
                                                 const char* dump_path) {
    using namespace orvane;
    // A null dump path means no dump; the context and the record are required.
    if (ctx == nullptr || map == nullptr) return kHardFailure;
    const dcc_sweep p = dcc_sweep_params(*ctx);
    if (!dcc_sweep_fits(p)) return kHardFailure;

    const cal_settings& s = ctx->settings;
    cal_state& st = ctx->state;
    const int16_t frames_added = st.frames_added;
    const uint16_t q = count_u16(s.dcc_shift);

    uint32_t flags = 0;
    if (frames_added < p.frames || p.fitted < 2) flags = ORVANE_TOO_FEW_FRAMES;

    map->version = 4;
    map->dcc_shift = q;
    map->win_cols = p.win_cols;
    map->win_rows = p.win_rows;
    st.dcc_shift = q;
    st.win_cols = p.win_cols;
    st.win_rows = p.win_rows;
    st.frames_fitted = p.fitted;
    st.max_shift = static_cast<int16_t>(s.max_shift);
    st.win_margin = s.win_margin;
    float dev_limit[kMaxDccWindows];
    std::memcpy(dev_limit, s.dcc_dev_limit, sizeof(dev_limit));
    for (uint32_t w = 0; w < p.windows; ++w) st.dcc_dev_limit[w] = dev_limit[w];

    const frame_slot* slots = st.slots;
    const int16_t span =
        lens_distance(slots[0].lens_position, slots[span_slot(frames_added)].lens_position);
    const int16_t step = lens_distance(slots[0].lens_position, slots[1].lens_position);
    const float scale = fixed_point_scale(static_cast<int16_t>(q));

    for (uint32_t w = 0; w < p.windows; ++w) {
        flags |= fit_window(*ctx, p, w, span, step, scale, dev_limit[w]);
        map->dcc[w] = st.dcc[w];
    }
    st.dcc_flags = flags;

    if (dump_path != nullptr) write_state_dump(ctx->state, dump_path, ctx);
    st.frames_added = 0;
    return flags;
}
