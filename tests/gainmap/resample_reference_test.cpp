// The bicubic resampler against a plain version written from its definition:
// per axis a table of (1-based index, weight) per output position, a column
// pass then a row pass, each sum taken over the taps in order. Ratios that
// are not whole numbers, enlargements and random shapes must agree bit for
// bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "gainmap/gainmap.h"

namespace orvane {
namespace {

float keys_kernel(float x) {
    const float t = std::fabs(x);
    const float t2 = t * t;
    const float t3 = t2 * t;
    if (t <= 1.0f) return static_cast<float>(1.5 * double(t3) - 2.5 * double(t2) + 1.0);
    if (t <= 2.0f) {
        const float four_t = 4.0f * t;
        return static_cast<float>(-0.5 * double(t3) + 2.5 * double(t2) - double(four_t) + 2.0);
    }
    return 0.0f;
}

struct tap {
    int32_t index;  // 1-based, clamped to 1..in_len
    float weight;
};

// taps[i] lists the contributions to output position i (0-based).
std::vector<std::vector<tap>> axis_table(int32_t in_len, int32_t out_len) {
    const float scale = float(out_len) / float(in_len);
    const float kernel_width = 4.0f / scale;
    const auto taps = static_cast<int32_t>(4.0f / scale) + 2;
    const float half = kernel_width * 0.5f;
    const float shift = (1.0f - 1.0f / scale) * 0.5f;
    std::vector<std::vector<tap>> table(static_cast<size_t>(out_len));
    for (int32_t i = 1; i <= out_len; ++i) {
        const float u = float(i) / scale + shift;
        const auto left = static_cast<int32_t>(u - half);  // toward zero
        std::vector<tap>& t = table[static_cast<size_t>(i - 1)];
        float sum = 0.0f;
        for (int32_t j = 0; j < taps; ++j) {
            const int32_t index = left + j;
            const float w = scale * keys_kernel((u - float(index)) * scale);
            t.push_back({index, w});
            sum += w;
        }
        for (tap& e : t) {
            e.weight = e.weight / sum;
            e.index = std::min(std::max(e.index, 1), in_len);
        }
    }
    return table;
}

// Rounded half up; the store clamps to 0..65535 rather than wrapping, so a
// lobe below zero at a dark edge gives 0 (a NaN sum gives 0 too).
uint16_t store(float sum) {
    const double r = double(sum) + 0.5;
    if (!(r >= 1.0)) return 0;
    if (r >= 65535.0) return 65535;
    return static_cast<uint16_t>(r);
}

std::vector<uint16_t> plain_resize(const std::vector<uint16_t>& src, int32_t sw, int32_t sh,
                                   int32_t dw, int32_t dh) {
    const auto rows = axis_table(sh, dh);
    std::vector<float> inter(static_cast<size_t>(dh) * sw);
    for (int32_t r = 0; r < dh; ++r) {
        for (int32_t c = 0; c < sw; ++c) {
            float sum = 0.0f;
            for (const tap& t : rows[r]) sum += float(src[size_t(t.index - 1) * sw + c]) * t.weight;
            inter[size_t(r) * sw + c] = sum;
        }
    }
    const auto cols = axis_table(sw, dw);
    std::vector<uint16_t> out(static_cast<size_t>(dw) * dh);
    for (int32_t r = 0; r < dh; ++r) {
        for (int32_t c = 0; c < dw; ++c) {
            float sum = 0.0f;
            for (const tap& t : cols[c]) sum += inter[size_t(r) * sw + t.index - 1] * t.weight;
            out[size_t(r) * dw + c] = store(sum);
        }
    }
    return out;
}

// Smooth gradients, noise and hard full-scale edges (whose lobes overshoot
// both ends of the range).
std::vector<uint16_t> test_image(std::mt19937& rng, int32_t w, int32_t h) {
    std::vector<uint16_t> img(static_cast<size_t>(w) * h);
    const int kind = std::uniform_int_distribution<int>(0, 2)(rng);
    std::uniform_int_distribution<int> any(0, 65535);
    std::uniform_int_distribution<int> small(-300, 300);
    const int step = std::uniform_int_distribution<int>(1, 9)(rng);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            int v;
            if (kind == 0) {
                v = any(rng);
            } else if (kind == 1) {
                v = 20000 + 30 * x - 17 * y + small(rng);
            } else {
                v = ((x / step + y / step) % 2) ? 65535 : 0;
            }
            img[size_t(y) * w + x] = static_cast<uint16_t>(std::min(std::max(v, 0), 65535));
        }
    }
    return img;
}

TEST(ResampleReference, MatchesThePlainDefinitionBitForBit) {
    std::mt19937 rng(20261208);
    struct shape {
        int32_t sw, sh, dw, dh;
    };
    std::vector<shape> shapes = {
        {8, 8, 3, 3},         {8, 1, 3, 1},   {1, 8, 1, 3},   {1000, 40, 17, 3}, {40, 1000, 3, 17},
        {1000, 1000, 17, 13}, {7, 5, 16, 16}, {3, 3, 17, 11}, {5, 9, 23, 2},     {640, 480, 16, 16},
        {4000, 3, 13, 1},     {2, 2, 1, 1},   {1, 1, 7, 5},   {97, 61, 97, 61},
    };
    std::uniform_int_distribution<int32_t> src_len(1, 300);
    std::uniform_int_distribution<int32_t> dst_len(1, 40);
    for (int i = 0; i < 150; ++i)
        shapes.push_back({src_len(rng), src_len(rng), dst_len(rng), dst_len(rng)});

    for (const shape& s : shapes) {
        SCOPED_TRACE(testing::Message() << s.sw << "x" << s.sh << " -> " << s.dw << "x" << s.dh);
        const std::vector<uint16_t> src = test_image(rng, s.sw, s.sh);
        std::vector<uint16_t> got(static_cast<size_t>(s.dw) * s.dh, 0x5A5A);
        ASSERT_TRUE(resize_bicubic(src.data(), s.sw, s.sh, got.data(), s.dw, s.dh));
        ASSERT_EQ(got, plain_resize(src, s.sw, s.sh, s.dw, s.dh));
    }
}

// The contribution tables themselves, against the plain table, for ratios
// that are not whole numbers.
TEST(ResampleReference, ContributionTablesMatch) {
    for (auto [in_len, out_len] : {std::pair{8, 3}, std::pair{1000, 17}, std::pair{3, 8},
                                   std::pair{17, 16}, std::pair{255, 256}, std::pair{5, 37}}) {
        SCOPED_TRACE(testing::Message() << in_len << " -> " << out_len);
        const float scale = float(out_len) / float(in_len);
        const auto taps = static_cast<int32_t>(4.0f / scale) + 2;
        std::vector<float> w(static_cast<size_t>(out_len) * taps);
        std::vector<int32_t> idx(w.size());
        resize_contributions(in_len, out_len, scale, 4.0f / scale, w.data(), idx.data(), taps);
        const auto plain = axis_table(in_len, out_len);
        for (int32_t i = 0; i < out_len; ++i) {
            ASSERT_EQ(plain[i].size(), size_t(taps));
            for (int32_t j = 0; j < taps; ++j) {
                ASSERT_EQ(idx[size_t(i) * taps + j], plain[i][j].index) << i << " " << j;
                // Beyond a 4x enlargement a position can have no tap inside the
                // kernel: 0 / 0, a NaN either way (its sign does not matter).
                const float got = w[size_t(i) * taps + j];
                if (std::isnan(plain[i][j].weight)) {
                    ASSERT_TRUE(std::isnan(got)) << i << " " << j;
                } else {
                    ASSERT_EQ(got, plain[i][j].weight) << i << " " << j;
                }
            }
        }
    }
}

}  // namespace
}  // namespace orvane
