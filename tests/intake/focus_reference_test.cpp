// The line-pattern focus measure against a plain version written from its
// definition: band-pass filter, column means, 1-2-5-2-1 smoothing, the line
// analysis step by step, and the absolute sum between the outer bar centres
// per step. Random bar charts, irregular bars, noise and flat windows must
// agree bit for bit, including which windows fail and what is printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "intake/focus.h"
#include "intake_fixture.h"

namespace orvane {
namespace {

// Filtered values are stored by saturation into 16 bits (NaN cannot occur).
int16_t store16(float y) {
    if (y <= -32768.0f) return -32768;
    if (y >= 32767.0f) return 32767;
    return static_cast<int16_t>(y);
}

std::vector<int16_t> plain_bandpass(const std::vector<uint16_t>& roi) {
    const float a1 = -0.7621f, a2 = 0.7757f, b0 = 0.5f, b1 = 0.0f, b2 = -0.5f;
    std::vector<int16_t> out(roi.size());
    float s1 = 0.0f, s2 = 0.0f;
    for (size_t i = 0; i < roi.size(); ++i) {
        const float x = float(roi[i]);
        const float v = (x - a1 * s1) - a2 * s2;
        const float y = (b0 * v + b1 * s1) + b2 * s2;
        s2 = s1;
        s1 = v;
        out[i] = store16(y);
    }
    return out;
}

std::vector<int32_t> plain_profile(const std::vector<uint16_t>& roi, int w, int h) {
    std::vector<int32_t> mean(static_cast<size_t>(w));
    for (int c = 0; c < w; ++c) {
        int32_t sum = 0;
        for (int r = 0; r < h; ++r) sum += roi[size_t(r) * w + c];
        mean[c] = sum / h;
    }
    std::vector<int32_t> s = mean;
    for (int c = 2; c < w - 2; ++c)
        s[c] = (mean[c - 2] + 2 * mean[c - 1] + 5 * mean[c] + 2 * mean[c + 1] + mean[c + 2]) / 11;
    return s;
}

struct plain_lines {
    bool ok = false;
    int first = 0, last = 0, steps = 0;
    std::string printed;
};

plain_lines plain_line_analysis(const std::vector<int32_t>& p) {
    plain_lines out;
    const int n = static_cast<int>(p.size());
    // The dark level starts from the darkest value itself, so charts whose
    // dark bars are brighter than 1024 keep their levels.
    int32_t maximum = 0, minimum = p[0], sum = 0;
    for (int32_t v : p) {
        if (v > maximum) maximum = v;
        if (v < minimum) minimum = v;
        sum += v;
    }
    const int32_t mean = sum / n;
    const int32_t upper = mean + (5 * (maximum - mean)) / 10;
    const int32_t lower = minimum + (5 * (mean - minimum)) / 10;
    auto cls = [&](int i) { return p[i] > upper ? 1 : (p[i] < lower ? -1 : 0); };

    const int c0 = cls(0);
    int i1 = -1;
    for (int i = 0; i < n && i1 < 0; ++i)
        if (cls(i) != 0 && cls(i) != c0) i1 = i;
    if (i1 < 0) return out;
    const int c1 = cls(i1);
    int j1 = -1;
    for (int i = i1; i < n && j1 < 0; ++i)
        if (cls(i) != c1) j1 = i;
    if (j1 < 0) return out;
    const int e1 = (i1 + j1) / 2;

    const int cr = cls(n - 1);
    int k2 = -1;
    for (int i = n - 1; i >= 0 && k2 < 0; --i)
        if (cls(i) != 0 && cls(i) != cr) k2 = i;
    int l2 = -1;
    if (k2 >= 0) {
        const int c2 = cls(k2);
        for (int i = k2; i >= 0 && l2 < 0; --i)
            if (cls(i) != c2) l2 = i;
    }
    const int e2 = (k2 + 1 + l2) / 2;
    if (cls(e1) == 0) return out;

    int o = cls(e1), mark = e1, steps = 0, pending = -1;
    std::vector<int> widths(static_cast<size_t>(n) + 1);
    for (int m = e1; m <= e2; ++m) {
        if (cls(m) == 0 || cls(m) == o) continue;
        if (pending >= 0) {
            const int mid = (pending + m) / 2;
            widths[steps - 1] = mid - mark;
            mark = mid;
        }
        ++steps;
        pending = m;
        o = cls(m);
    }
    if (steps > 0) widths[steps - 1] = e2 - mark;
    std::sort(widths.begin(), widths.begin() + steps);
    const int median = steps > 0 ? widths[steps / 2] : 0;
    for (int s = 0; s < steps; ++s) {
        if (std::fabs(float(widths[s] - median)) / float(median) > 0.5f) {
            out.printed = "line width problem\n";
            return out;
        }
    }
    if (2 * median < e1 || 2 * median < n - e2) {
        out.printed = "line width problem\n";
        return out;
    }
    out.ok = true;
    out.first = e1;
    out.last = e2;
    out.steps = steps;
    return out;
}

float plain_focus(const std::vector<uint16_t>& roi, int w, int h, plain_lines& lines) {
    const std::vector<int16_t> f = plain_bandpass(roi);
    lines = plain_line_analysis(plain_profile(roi, w, h));
    const int first = lines.ok ? lines.first : 0;
    const int last = lines.ok ? lines.last : w;
    const int steps = lines.ok ? lines.steps : 1;
    float sum = 0.0f;
    for (int r = 0; r < h; ++r)
        for (int c = first; c < last; ++c) sum += float(std::abs(int32_t(f[size_t(r) * w + c])));
    const float value = sum / float(steps);
    return lines.ok ? value : -value;
}

// Bar charts of random period, phase, levels and noise; bars whose widths
// drift; a single edge; pure noise; flat windows.
std::vector<uint16_t> random_window(std::mt19937& rng, int w, int h) {
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int kind = uni(0, 9);
    const int period = uni(3, 40), phase = uni(0, 39), noise = uni(0, kind == 9 ? 20000 : 200);
    const int dark = uni(0, 3000), bright = dark + uni(0, kind == 8 ? 62000 : 3000);
    int edge = period / 2 + uni(-1, 1);
    std::vector<uint16_t> roi(static_cast<size_t>(w) * h);
    std::vector<int> bar_of_column(static_cast<size_t>(w));
    int pos = phase % period, level = 0;
    for (int c = 0; c < w; ++c) {
        if (kind == 2) {  // one edge: a bar that runs to the end
            bar_of_column[c] = c >= phase;
        } else if (kind == 7) {  // drifting widths
            if (pos >= edge) {
                pos = 0;
                level ^= 1;
                edge = std::max(1, period / 2 + uni(-period / 3, period / 3));
            }
            ++pos;
            bar_of_column[c] = level;
        } else {
            bar_of_column[c] = ((c + phase) % period) < period / 2;
        }
    }
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            int v = kind == 0 ? 700 : (bar_of_column[c] ? bright : dark);
            if (kind == 1) v = uni(0, 65535);
            v += uni(-noise, noise);
            roi[size_t(r) * w + c] = static_cast<uint16_t>(std::min(std::max(v, 0), 65535));
        }
    }
    return roi;
}

TEST(FocusReference, LinePatternMeasureMatchesThePlainDefinition) {
    cal_settings s = intake_test::base_settings();
    s.focus_abs_sum = 0;
    s.focus_tapered = 0;
    auto ctx = intake_test::make_context(s);
    ASSERT_TRUE(ctx);
    std::mt19937 rng(1208);
    int succeeded = 0, printed = 0, silent = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        const int w = std::uniform_int_distribution<int>(1, 400)(rng);
        const int h = std::uniform_int_distribution<int>(1, 12)(rng);
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", " << w << " x " << h);
        const std::vector<uint16_t> roi = random_window(rng, w, h);

        plain_lines want;
        const float expected = plain_focus(roi, w, h, want);
        testing::internal::CaptureStdout();
        const float got = window_focus(*ctx, roi.data(), uint16_t(w), uint16_t(h));
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << got << " vs " << expected;
        ASSERT_EQ(out, want.printed);

        // The analysis alone, on the smoothed profile.
        const std::vector<int32_t> profile = plain_profile(roi, w, h);
        std::vector<int32_t> widths(profile.size() + 1);
        line_result lines{-1, -1, -1};
        testing::internal::CaptureStdout();
        const bool ok = line_analysis(profile.data(), w, widths.data(), &lines, nullptr);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(ok, want.ok);
        if (ok) {
            EXPECT_EQ(lines.first, want.first);
            EXPECT_EQ(lines.last, want.last);
            EXPECT_EQ(lines.steps, want.steps);
        }
        succeeded += want.ok;
        printed += !want.printed.empty();
        silent += !want.ok && want.printed.empty();
    }
    // Every path of the analysis was compared many times.
    EXPECT_GT(succeeded, 100);
    EXPECT_GT(printed, 100);
    EXPECT_GT(silent, 100);
}

}  // namespace
}  // namespace orvane
