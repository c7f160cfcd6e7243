#include "pipeline/residual.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace orvane_tool {
namespace {

struct pd_images {
    uint32_t width = 0, height = 0;
    std::vector<double> first, second;
};

// Pairs of a layout as the library normalises them: both tables sorted on
// their own, grouped by runs of equal first-pixel column (horizontal) or row
// (vertical); a group's pixels are averaged into one PD sample.
pd_images extract(const capture_set& cs) {
    pd_images out;
    if (cs.kind == layout::dual) {
        out.width = cs.width;
        out.height = cs.height;
        out.first.assign(cs.flat.left.begin(), cs.flat.left.end());
        out.second.assign(cs.flat.right.begin(), cs.flat.right.end());
        return out;
    }
    const sensor_cfg& c = cs.cfg;
    const bool vertical = cs.kind == layout::vertical;
    const int n = std::min<int>(c.pair_count, 128);
    if (n == 0 || c.block_width == 0 || c.block_height == 0) return out;
    using pt = std::pair<int, int>;  // (key, second key)
    std::vector<pt> a, b;
    for (int i = 0; i < n; ++i) {
        if (vertical) {
            a.push_back({c.v_left_y[i], c.v_left_x[i]});
            b.push_back({c.v_right_y[i], c.v_right_x[i]});
        } else {
            a.push_back({c.left_x[i], c.left_y[i]});
            b.push_back({c.right_x[i], c.right_y[i]});
        }
    }
    std::stable_sort(a.begin(), a.end());
    std::stable_sort(b.begin(), b.end());
    std::vector<int> group_start;
    for (int i = 0; i < n; ++i)
        if (i == 0 || a[i].first != a[i - 1].first) group_start.push_back(i);
    group_start.push_back(n);
    const int groups = static_cast<int>(group_start.size()) - 1;

    auto pow2 = [](int v) {
        int p = 1;
        while (p < v) p *= 2;
        return p;
    };
    const int bw = pow2(c.block_width), bh = pow2(c.block_height);
    const int br = (static_cast<int>(c.image_height) - 2 * c.margin_y) / bh;
    const int bc = (static_cast<int>(c.image_width) - 2 * c.margin_x) / bw;
    if (br <= 0 || bc <= 0) return out;
    out.width = static_cast<uint32_t>(vertical ? bc : bc * groups);
    out.height = static_cast<uint32_t>(vertical ? br * groups : br);
    out.first.assign(static_cast<size_t>(out.width) * out.height, 0.0);
    out.second.assign(out.first.size(), 0.0);
    auto pixel = [&](int r, int col, const pt& p) {
        // (key, second key) is (x, y) for horizontal pairs, (y, x) for vertical ones.
        const int x = c.margin_x + col * bw + (vertical ? p.second : p.first);
        const int y = c.margin_y + r * bh + (vertical ? p.first : p.second);
        const size_t i = static_cast<size_t>(y) * cs.width + static_cast<size_t>(x);
        return i < cs.flat.raw.size() ? static_cast<double>(cs.flat.raw[i]) : 0.0;
    };
    for (int r = 0; r < br; ++r) {
        for (int col = 0; col < bc; ++col) {
            for (int g = 0; g < groups; ++g) {
                double s1 = 0.0, s2 = 0.0;
                for (int i = group_start[g]; i < group_start[g + 1]; ++i) {
                    s1 += pixel(r, col, a[i]);
                    s2 += pixel(r, col, b[i]);
                }
                const double cnt = group_start[g + 1] - group_start[g];
                const size_t idx = vertical ? static_cast<size_t>(r * groups + g) * bc + col
                                            : static_cast<size_t>(r) * out.width + col * groups + g;
                out.first[idx] = s1 / cnt;
                out.second[idx] = s2 / cnt;
            }
        }
    }
    return out;
}

// Black level off, then the gain interpolated bilinearly over the image with
// the library's mapping (image row i at table row i * rows / (height - 1)).
void correct(std::vector<double>& img, uint32_t w, uint32_t h, double black, const uint16_t* table,
             int cols, int rows) {
    if (w < 2 || h < 2 || cols < 1 || rows < 1) return;
    const float sy = static_cast<float>(rows) / static_cast<float>(h - 1);
    const float sx = static_cast<float>(cols) / static_cast<float>(w - 1);
    for (uint32_t i = 0; i < h; ++i) {
        const float py = static_cast<float>(i) * sy;
        const int k = static_cast<int>(py);
        const double fy = py - static_cast<float>(k);
        const int r0 = std::min(k, rows - 1), r1 = std::min(k + 1, rows - 1);
        for (uint32_t j = 0; j < w; ++j) {
            const float px = static_cast<float>(j) * sx;
            const int f = static_cast<int>(px);
            const double fx = px - static_cast<float>(f);
            const int c0 = std::min(f, cols - 1), c1 = std::min(f + 1, cols - 1);
            const double gain = (1 - fy) * (1 - fx) * table[r0 * cols + c0] +
                                (1 - fy) * fx * table[r0 * cols + c1] +
                                fy * (1 - fx) * table[r1 * cols + c0] + fy * fx * table[r1 * cols + c1];
            double& v = img[static_cast<size_t>(i) * w + j];
            v = std::max(0.0, v - black) * gain / 512.0;
        }
    }
}

float clamp01(float x) {
    if (x > 0.0f && x < 1.0f) return x;
    return x >= 1.0f ? 1.0f : 0.0f;
}

}  // namespace

gain_residual measure_gain_residual(const capture_set& cs, const gainmap& g) {
    gain_residual out;
    pd_images pd = extract(cs);
    if (pd.first.empty() || g.cols == 0 || g.rows == 0 || g.cols * g.rows > 256) return out;
    const bool vertical = cs.kind == layout::vertical;
    const double black = cs.kind == layout::dual ? cs.black_level : cs.cfg.black_level;
    correct(pd.first, pd.width, pd.height, black, vertical ? g.left_v : g.left, g.cols, g.rows);
    correct(pd.second, pd.width, pd.height, black, vertical ? g.right_v : g.right, g.cols, g.rows);

    const int rows = std::max(0, static_cast<int>(cs.settings.win_rows));
    const int cols = std::max(0, static_cast<int>(cs.settings.win_cols));
    const float fr = static_cast<float>(rows), fc = static_cast<float>(cols);
    const float margin = cs.settings.win_margin;
    std::vector<double> magnitudes;
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            const float top = clamp01(static_cast<float>(i) / fr - margin / fr);
            const float bottom = clamp01(static_cast<float>(i + 1) / fr + margin / fr);
            const float left = clamp01(static_cast<float>(j) / fc - margin / fc);
            const float right = clamp01(static_cast<float>(j + 1) / fc + margin / fc);
            const auto x0 = static_cast<uint32_t>(static_cast<float>(pd.width) * left);
            const auto nx = static_cast<uint32_t>(static_cast<float>(pd.width) * clamp01(right - left));
            const auto y0 = static_cast<uint32_t>(static_cast<float>(pd.height) * top);
            const auto ny = static_cast<uint32_t>(static_cast<float>(pd.height) * clamp01(bottom - top));
            double s1 = 0.0, s2 = 0.0;
            for (uint32_t y = y0; y < std::min(pd.height, y0 + ny); ++y) {
                for (uint32_t x = x0; x < std::min(pd.width, x0 + nx); ++x) {
                    s1 += pd.first[static_cast<size_t>(y) * pd.width + x];
                    s2 += pd.second[static_cast<size_t>(y) * pd.width + x];
                }
            }
            const double r = s2 > 0.0 ? s1 / s2 - 1.0 : 0.0;
            out.windows.push_back(r);
            magnitudes.push_back(std::fabs(r));
            if (std::fabs(r) > std::fabs(out.worst)) out.worst = r;
        }
    }
    if (!magnitudes.empty()) {
        std::sort(magnitudes.begin(), magnitudes.end());
        const size_t n = magnitudes.size();
        out.median = n % 2 ? magnitudes[n / 2] : 0.5 * (magnitudes[n / 2 - 1] + magnitudes[n / 2]);
    }
    return out;
}

double search_range_px(const capture_set& cs) {
    int pitch = 1;
    if (cs.kind == layout::dual) {
        pitch = cs.settings.pd_pitch_2pd;
    } else {
        // The library's PD pitch: the mean of the first two gaps between the
        // distinct values of the sorted first-pixel table, else the block size.
        const bool vertical = cs.kind == layout::vertical;
        const sensor_cfg& c = cs.cfg;
        std::vector<int> t;
        for (int i = 0; i < std::min<int>(c.pair_count, 128); ++i)
            t.push_back(vertical ? c.v_left_y[i] : c.left_x[i]);
        std::sort(t.begin(), t.end());
        t.erase(std::unique(t.begin(), t.end()), t.end());
        pitch = vertical ? c.block_height : c.block_width;
        if (t.size() == 2) pitch = t[1] - t[0];
        if (t.size() > 2) pitch = (t[1] - t[0] + t[2] - t[1]) / 2;
    }
    pitch = std::max(1, pitch);
    return static_cast<double>(cs.settings.max_shift / pitch * pitch);
}

}  // namespace orvane_tool
