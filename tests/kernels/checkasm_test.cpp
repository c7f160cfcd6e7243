// Kernel checker: every kernel of every vector table this machine can run
// against the scalar table (the one ORVANE_CPU=scalar runs), on random
// inputs (odd sizes, tails shorter than a register, widths of 1, extreme and
// saturating values, NaN where a float can be NaN). Outputs must be
// identical bytes, and every output buffer sits between guard zones that
// neither kernel may touch.
//
// Run with --bench (test_kernels --bench) to print each kernel's speed-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "intake/focus.h"
#include "kernels/kernels.h"

namespace orvane {
// ctest's test names carry the printed parameter: the table's name, not its address.
void PrintTo(const kernel_table* table, std::ostream* os) { *os << table->name; }
}  // namespace orvane

namespace {

using orvane::kernel_table;

std::vector<const kernel_table*> vector_tables() {
    std::vector<const kernel_table*> t;
    if (const kernel_table* avx2 = orvane::avx2_kernels()) t.push_back(avx2);
    if (const kernel_table* avx512 = orvane::avx512_kernels()) t.push_back(avx512);
    return t;
}

bool bench_requested() {
    for (const std::string& a : testing::internal::GetArgvs()) {
        if (a == "--bench") return true;
    }
    return false;
}

struct rng {
    std::mt19937_64 gen;
    explicit rng(uint64_t seed) : gen(seed) {}
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(gen() % n); }
    // Samples biased toward the extremes, where saturation and wraps live.
    uint16_t sample() {
        switch (below(8)) {
            case 0: return 0;
            case 1: return 65535;
            case 2: return static_cast<uint16_t>(65535 - below(4));
            case 3: return static_cast<uint16_t>(below(4));
            default: return static_cast<uint16_t>(gen());
        }
    }
    std::vector<uint16_t> samples(size_t n) {
        std::vector<uint16_t> v(n);
        for (auto& x : v) x = sample();
        return v;
    }
    // A fraction in [0, 1), with 0 and the largest float below 1 common.
    float fraction() {
        switch (below(6)) {
            case 0: return 0.0f;
            case 1: return std::nextafter(1.0f, 0.0f);
            default: return static_cast<float>(below(1u << 24)) / 16777216.0f;
        }
    }
    // Sizes that cover empty, 1, short tails and several registers.
    uint32_t size(uint32_t max) {
        static const uint32_t small[] = {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 65};
        if (below(2) == 0) {
            const uint32_t s = small[below(sizeof small / sizeof small[0])];
            return s <= max ? s : max;
        }
        return below(max + 1);
    }
};

template <typename T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// An output buffer between two guard zones of canary bytes, each as long as
// two of the widest registers, so that a store past either end shows.
template <typename T>
class guarded {
public:
    static constexpr size_t kGuard = 128 / sizeof(T);
    static constexpr unsigned char kCanary = 0xA5;

    guarded(size_t n, T fill) : n_(n), mem_(n + 2 * kGuard) {
        std::memset(static_cast<void*>(mem_.data()), kCanary, mem_.size() * sizeof(T));
        std::fill(data(), data() + n, fill);
    }
    explicit guarded(const std::vector<T>& v) : guarded(v.size(), T{}) {
        std::copy(v.begin(), v.end(), data());
    }
    T* data() { return mem_.data() + kGuard; }
    std::vector<T> values() const {
        return std::vector<T>(mem_.begin() + kGuard, mem_.begin() + kGuard + n_);
    }
    bool intact() const {
        const auto* bytes = reinterpret_cast<const unsigned char*>(mem_.data());
        const size_t zone = kGuard * sizeof(T);
        const size_t tail = (kGuard + n_) * sizeof(T);
        for (size_t i = 0; i < zone; ++i) {
            if (bytes[i] != kCanary || bytes[tail + i] != kCanary) return false;
        }
        return true;
    }

private:
    size_t n_;
    std::vector<T> mem_;
};

// The scalar kernel's output `a` and the vector kernel's `b`: guards intact,
// identical bytes.
template <typename T>
testing::AssertionResult agree(const guarded<T>& a, const guarded<T>& b) {
    if (!a.intact()) return testing::AssertionFailure() << "scalar kernel wrote outside its output";
    if (!b.intact()) return testing::AssertionFailure() << "vector kernel wrote outside its output";
    if (!same_bytes(a.values(), b.values())) return testing::AssertionFailure() << "outputs differ";
    return testing::AssertionSuccess();
}

constexpr int kRounds = 300;

class Kernels : public ::testing::TestWithParam<const kernel_table*> {
protected:
    const kernel_table& ref = orvane::scalar_kernels();
    const kernel_table& vec = *GetParam();
};

TEST_P(Kernels, SubtractBlack) {
    rng r(1);
    for (int round = 0; round < kRounds; ++round) {
        const auto img = r.samples(r.size(300));
        const uint16_t black = r.sample();
        guarded<uint16_t> a(img), b(img);
        ref.subtract_black(a.data(), img.size(), black);
        vec.subtract_black(b.data(), img.size(), black);
        ASSERT_TRUE(agree(a, b)) << "round " << round << " size " << img.size();
    }
}

// A row of random spans: some shorter than a register, some empty-free
// runs of several registers, with random cells each.
struct gain_row_case {
    std::vector<float> frac;
    std::vector<uint32_t> bounds{0};
    std::vector<orvane::gain_cells> cells, cells_b;
    orvane::gain_row_terms terms{};
    uint16_t black = 0;

    gain_row_case(rng& r, uint32_t width) : frac(width) {
        for (auto& f : frac) f = r.fraction();
        while (bounds.back() < width) {
            const uint32_t left = width - bounds.back();
            bounds.push_back(bounds.back() + 1 + r.below(r.below(2) ? std::min(left, 9u) : left));
            cells.push_back({r.sample(), r.sample(), r.sample(), r.sample()});
            cells_b.push_back({r.sample(), r.sample(), r.sample(), r.sample()});
        }
        const float fy = r.fraction();
        terms = {frac.data(), bounds.data(), static_cast<uint32_t>(cells.size()), fy, 1.0f - fy};
        black = r.below(3) == 0 ? 0 : r.sample();
    }
};

TEST_P(Kernels, BlackAndGainRow) {
    rng r(2);
    for (int round = 0; round < kRounds * 4; ++round) {
        const uint32_t width = r.size(300);
        const gain_row_case c(r, width);
        const auto img = r.samples(width);
        // In place.
        guarded<uint16_t> a(img), b(img);
        ref.black_gain_row(a.data(), 1, a.data(), c.terms, c.cells.data(), c.black);
        vec.black_gain_row(b.data(), 1, b.data(), c.terms, c.cells.data(), c.black);
        ASSERT_TRUE(agree(a, b)) << "in place, round " << round << " width " << width;
        // Gathered from every other sample of a source that ends at the last
        // sample kept (an over-read is a sanitizer finding).
        const auto src = r.samples(width ? 2 * width - 1 : 0);
        guarded<uint16_t> o1(width, 7), o2(width, 7);
        ref.black_gain_row(src.data(), 2, o1.data(), c.terms, c.cells.data(), c.black);
        vec.black_gain_row(src.data(), 2, o2.data(), c.terms, c.cells.data(), c.black);
        ASSERT_TRUE(agree(o1, o2)) << "gathered, round " << round << " width " << width;
    }
}

TEST_P(Kernels, BlackAndGainRowPair) {
    rng r(12);
    for (int round = 0; round < kRounds * 4; ++round) {
        const uint32_t width = r.size(300);
        const gain_row_case c(r, width);
        const auto img_a = r.samples(width);
        const auto img_b = r.samples(width);
        guarded<uint16_t> a1(img_a), b1(img_b), a2(img_a), b2(img_b);
        ref.black_gain_row_pair(a1.data(), b1.data(), c.terms, c.cells.data(), c.cells_b.data(),
                                c.black);
        vec.black_gain_row_pair(a2.data(), b2.data(), c.terms, c.cells.data(), c.cells_b.data(),
                                c.black);
        ASSERT_TRUE(agree(a1, a2)) << "first row, round " << round << " width " << width;
        ASSERT_TRUE(agree(b1, b2)) << "second row, round " << round << " width " << width;
    }
}

TEST_P(Kernels, MeanImage) {
    rng r(3);
    for (int round = 0; round < kRounds; ++round) {
        const size_t n = r.size(300);
        const auto x = r.samples(n), y = r.samples(n);
        guarded<uint16_t> a(x), b(x);
        ref.mean_image(a.data(), y.data(), n);
        vec.mean_image(b.data(), y.data(), n);
        ASSERT_TRUE(agree(a, b)) << "mean, round " << round;
    }
}

TEST_P(Kernels, ColumnAndRowSums) {
    rng r(4);
    for (int round = 0; round < kRounds; ++round) {
        const uint32_t ncols = r.size(90) | (round % 5 == 0 ? 1u : 0u);
        const uint32_t nrows = r.size(40) | 1u;
        const size_t stride = ncols + r.below(20);
        // Rows end at the window's last column: nothing beyond is readable.
        const auto img = r.samples(nrows ? (nrows - 1) * stride + ncols : 0);
        guarded<int32_t> a(ncols, -5), b(ncols, -5);
        ref.column_sums(img.data(), stride, ncols, nrows, a.data());
        vec.column_sums(img.data(), stride, ncols, nrows, b.data());
        ASSERT_TRUE(agree(a, b)) << "columns, round " << round;
        guarded<int32_t> c(nrows, -5), d(nrows, -5);
        ref.row_sums(img.data(), stride, ncols, nrows, c.data());
        vec.row_sums(img.data(), stride, ncols, nrows, d.data());
        ASSERT_TRUE(agree(c, d)) << "rows, round " << round;
    }
}

TEST_P(Kernels, AccumulateRowAndRows2) {
    rng r(10);
    for (int round = 0; round < kRounds; ++round) {
        const uint32_t n = r.size(200);
        const auto row = r.samples(n);
        std::vector<int32_t> start(n);
        for (auto& v : start) v = static_cast<int32_t>(r.gen());  // wraps past INT32_MAX too
        guarded<int32_t> a(start), b(start);
        ref.accumulate_row(row.data(), n, a.data());
        vec.accumulate_row(row.data(), n, b.data());
        ASSERT_TRUE(agree(a, b)) << "round " << round;

        const auto other = r.samples(n);
        guarded<int32_t> c(start), d(start);
        ref.accumulate_rows2(row.data(), other.data(), n, c.data());
        vec.accumulate_rows2(row.data(), other.data(), n, d.data());
        ASSERT_TRUE(agree(c, d)) << "two rows, round " << round;
    }
}

TEST_P(Kernels, ColumnSumsWrapModulo2To32) {
    // 65,537 rows of 65535 exceed 32 bits: the sums wrap alike.
    const uint32_t rows = 65537;
    const uint32_t cols = 19;
    std::vector<uint16_t> img(static_cast<size_t>(rows) * cols, 65535);
    std::vector<int32_t> a(cols), b(cols);
    ref.column_sums(img.data(), cols, cols, rows, a.data());
    vec.column_sums(img.data(), cols, cols, rows, b.data());
    EXPECT_EQ(a, b);
    EXPECT_EQ(static_cast<uint32_t>(a[0]), static_cast<uint32_t>(65537ull * 65535ull));
}

orvane::bandpass_terms production_terms() {
    const auto& k = orvane::kBandpass;
    return {k.a[1], k.a[2], k.b[0], k.b[1], k.b[2]};
}

TEST_P(Kernels, BandpassAbsSums) {
    rng r(5);
    std::vector<uint16_t> image(200 * 64);
    for (int round = 0; round < kRounds; ++round) {
        const uint32_t stride = 200;
        // Smooth, noisy or extreme content.
        const uint32_t style = r.below(3);
        for (size_t i = 0; i < image.size(); ++i) {
            image[i] = style == 0   ? r.sample()
                       : style == 1 ? static_cast<uint16_t>(((i / 3) % 2) ? 60000 + r.below(5000) : r.below(100))
                                    : static_cast<uint16_t>(1000 + 800 * std::sin(0.7 * double(i % stride)));
        }
        const uint32_t count = 1 + r.below(40);  // more than two registers of lanes
        std::vector<orvane::focus_lane> lanes(count);
        // Every other round weighted (now and then only some lanes): each
        // lane's table written three times in a buffer of exactly that size,
        // so a read outside [-width, 2 width) is a sanitizer finding.
        const uint32_t weighting = round % 2 == 0 ? 0 : (r.below(8) == 0 ? 2 : 1);
        std::vector<std::vector<uint16_t>> tables(count);
        uint32_t lane_index = 0;
        for (auto& l : lanes) {
            const uint32_t w = 1 + r.below(r.below(2) ? 9 : 100);
            const uint32_t h = 1 + r.below(r.below(2) ? 3 : 60);
            const uint32_t x0 = r.below(stride - w + 1);
            const uint32_t y0 = r.below(64 - h + 1);
            const uint32_t first = r.below(w + 1);
            const uint32_t last = r.below(4) == 0 ? r.below(w + 1) : w;  // may be below first
            l = {image.data() + static_cast<size_t>(y0) * stride + x0, stride, w, h, first, last, nullptr};
            std::vector<uint16_t>& table = tables[lane_index++];
            if (weighting == 1 || (weighting == 2 && r.below(2) == 0)) {
                const auto row = r.samples(w);
                for (int copy = 0; copy < 3; ++copy) table.insert(table.end(), row.begin(), row.end());
                l.weights = table.data() + w;
            }
        }
        orvane::bandpass_terms t = production_terms();
        if (round % 4 == 2) {
            // Other stable filters without the b1 term (the kernels may take
            // a shorter path for those).
            const float a2 = static_cast<float>(r.below(1601)) / 1000.0f - 0.8f;
            const float a1 = (static_cast<float>(r.below(1601)) / 1000.0f - 0.8f) * (1.0f + a2);
            t = {a1, a2, static_cast<float>(r.below(2001)) / 1000.0f - 1.0f, 0.0f,
                 static_cast<float>(r.below(2001)) / 1000.0f - 1.0f};
        }
        if (round % 4 == 3) {
            // Unstable or wild coefficients: infinities and NaN reach the
            // saturating store.
            const float wild[] = {0.5f, -2.5f, 3e38f, -1e-30f, 1.75f,
                                  std::numeric_limits<float>::infinity(),
                                  std::numeric_limits<float>::quiet_NaN()};
            auto pick = [&] { return wild[r.below(sizeof wild / sizeof wild[0])]; };
            t = {pick(), pick(), pick(), pick(), pick()};
        }
        guarded<float> a(count, -1.0f), b(count, -1.0f);
        ref.bandpass_abs_sums(lanes.data(), count, t, a.data());
        vec.bandpass_abs_sums(lanes.data(), count, t, b.data());
        ASSERT_TRUE(agree(a, b)) << "round " << round << " lanes " << count << " weighting "
                                 << weighting;
    }
}

TEST_P(Kernels, BandpassAbsSumMatchesTheFocusFilter) {
    // The fused kernel against the library's own filter and sum, on a window
    // long enough for the float sum to round.
    rng r(6);
    const uint16_t w = 333, h = 211;
    const auto roi = r.samples(size_t(w) * h);
    std::vector<int16_t> filtered(roi.size());
    orvane::bandpass_filter(roi.data(), filtered.data(), w, h, orvane::kBandpass);
    const orvane::focus_lane lane{roi.data(), w, w, h, 17, 300, nullptr};
    float got = 0.0f;
    vec.bandpass_abs_sums(&lane, 1, production_terms(), &got);
    const float want = orvane::abs_sum(filtered.data(), 17, 300, w, h);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << got << " vs " << want;
    EXPECT_GT(want, 16777216.0f);

    // The tapered variant: the same window with column weights.
    std::vector<uint16_t> store(3 * size_t(w)), scratch(w);
    orvane::focus_lane tapered{roi.data(), w, w, h, 0, w, nullptr};
    tapered.weights = orvane::tapered_weights_thrice(w, store.data());
    float got_tapered = 0.0f;
    vec.bandpass_abs_sums(&tapered, 1, production_terms(), &got_tapered);
    const float want_tapered = orvane::tapered_sum(filtered.data(), w, h, scratch.data());
    EXPECT_EQ(std::memcmp(&got_tapered, &want_tapered, sizeof got_tapered), 0)
        << got_tapered << " vs " << want_tapered;
    EXPECT_GT(want_tapered, 16777216.0f);
}

TEST_P(Kernels, WindowSumRange) {
    rng r(7);
    for (int round = 0; round < kRounds; ++round) {
        const uint32_t width = 1 + r.size(70);
        const uint32_t height = r.size(20);
        const uint32_t len = 1 + r.below(width);
        const auto img = r.samples(size_t(width) * height);
        const uint32_t lo = r.below(2) ? UINT32_MAX : static_cast<uint32_t>(r.gen());
        const uint32_t hi = r.below(2) ? 0 : static_cast<uint32_t>(r.gen());
        guarded<uint32_t> lo1(1, lo), hi1(1, hi), lo2(1, lo), hi2(1, hi);
        ref.window_sum_range(img.data(), width, height, len, lo1.data(), hi1.data());
        vec.window_sum_range(img.data(), width, height, len, lo2.data(), hi2.data());
        ASSERT_TRUE(agree(lo1, lo2)) << "lowest, round " << round;
        ASSERT_TRUE(agree(hi1, hi2)) << "highest, round " << round;
    }
}

TEST_P(Kernels, ResizeColumns) {
    rng r(8);
    for (int round = 0; round < kRounds; ++round) {
        const size_t width = r.size(r.below(2) ? 100 : 1100);  // beyond one column strip
        const uint32_t height = 1 + r.below(30);
        const auto src = r.samples(width * height);
        const int32_t out_rows = static_cast<int32_t>(r.below(round % 3 == 0 ? 30 : 6));
        const int32_t taps = static_cast<int32_t>(r.below(40));
        const size_t entries = static_cast<size_t>(out_rows) * static_cast<size_t>(taps);
        std::vector<float> weights(entries);
        std::vector<int32_t> indices(entries);
        const bool monotone = round % 5 != 4;  // as the resampler makes them, mostly
        // Mostly, like the resampler, later output rows start further down,
        // as many rows apart as makes 1 to 40 rows overlap.
        const bool ascending = round % 4 != 3;
        const int32_t spacing = 1 + static_cast<int32_t>(r.below(std::max(1, taps)));
        const int32_t top = static_cast<int32_t>(r.below(height)) - 3;
        for (int32_t o = 0; o < out_rows; ++o) {
            // Clamped runs at both ends, like the edge taps of the resampler.
            int32_t idx = ascending ? top + o * spacing / 3 : static_cast<int32_t>(r.below(height)) - 3;
            for (int32_t j = 0; j < taps; ++j, ++idx) {
                const size_t e = static_cast<size_t>(o) * static_cast<size_t>(taps) + static_cast<size_t>(j);
                weights[e] = (static_cast<float>(r.below(20001)) - 10000.0f) / 7777.0f;
                const int32_t v = monotone ? idx : static_cast<int32_t>(r.below(height)) + 1;
                indices[e] = v < 1 ? 1 : (v > static_cast<int32_t>(height) ? static_cast<int32_t>(height) : v);
            }
        }
        if (entries > 0 && round % 7 == 0) {
            // The resampler's "no contribution" weights are NaN.
            for (auto& w : weights) w = std::numeric_limits<float>::quiet_NaN();
        }
        const size_t cells = width * static_cast<size_t>(out_rows);
        guarded<float> a(cells, 3.0f), b(cells, 3.0f);
        ref.resize_columns(src.data(), width, out_rows, weights.data(), indices.data(), taps, a.data());
        vec.resize_columns(src.data(), width, out_rows, weights.data(), indices.data(), taps, b.data());
        ASSERT_TRUE(agree(a, b)) << "round " << round;
    }
}

// ---- speed-ups (--bench) ----------------------------------------------------

// Thread CPU time: on a shared machine far steadier than the wall clock.
double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double seconds(const std::function<void()>& f) {
    double best = 1e30;
    for (int i = 0; i < 5; ++i) {
        const double t0 = cpu_seconds();
        f();
        best = std::min(best, cpu_seconds() - t0);
    }
    return best;
}

TEST_P(Kernels, SpeedUps) {
    if (!bench_requested()) GTEST_SKIP() << "pass --bench to time the kernels";
    rng r(9);
    const uint32_t w = 4000, h = 750;
    auto img = r.samples(size_t(w) * h);
    const auto other = r.samples(img.size());
    auto second = other;
    std::vector<float> frac(w);
    for (auto& f : frac) f = r.fraction();
    // 16 spans of 250 columns, as a 16-column gain table gives.
    std::vector<uint32_t> bounds;
    for (uint32_t b = 0; b <= w; b += 250) bounds.push_back(b);
    const std::vector<orvane::gain_cells> cells(16, {512, 520, 530, 540}), cells_b(16, {515, 525, 535, 545});
    const orvane::gain_row_terms gains{frac.data(), bounds.data(), 16, 0.3f, 0.7f};
    std::vector<int32_t> prof(w);
    // The 48 windows of an 8 x 6 grid, overlapping as with a margin.
    std::vector<orvane::focus_lane> lanes(48);
    for (uint32_t l = 0; l < 48; ++l) lanes[l] = {img.data() + 80 * l, w, 240, 700, 10, 230, nullptr};
    float sums[48];
    std::vector<uint16_t> taper(720);
    auto tapered_lanes = lanes;
    for (auto& l : tapered_lanes) l.weights = orvane::tapered_weights_thrice(240, taper.data());
    // A 13-row column pass over 750 rows: taps of 230 rows, 60 rows apart.
    std::vector<float> weights(13 * 230, 0.001f), acc(size_t(w) * 13);
    std::vector<int32_t> idx(13 * 230);
    for (int o = 0; o < 13; ++o)
        for (int j = 0; j < 230; ++j) idx[o * 230 + j] = std::min(1 + o * 60 + j, int(h));
    const auto t = production_terms();
    struct item {
        const char* name;
        std::function<void(const kernel_table&)> run;
    } items[] = {
        {"subtract_black", [&](const kernel_table& k) { k.subtract_black(img.data(), img.size(), 0); }},
        {"black_gain_row", [&](const kernel_table& k) {
             for (uint32_t y = 0; y < h; ++y) {
                 uint16_t* row = img.data() + size_t(y) * w;
                 k.black_gain_row(row, 1, row, gains, cells.data(), 0);
             }
         }},
        {"black_gain_row step 2", [&](const kernel_table& k) {
             for (uint32_t y = 0; y + 1 < h; y += 2)
                 k.black_gain_row(other.data() + size_t(y) * w, 2, img.data() + size_t(y) * w / 2,
                                  {frac.data(), bounds.data(), 8, 0.3f, 0.7f}, cells.data(), 0);
         }},
        {"black_gain_row_pair", [&](const kernel_table& k) {
             for (uint32_t y = 0; y < h; ++y)
                 k.black_gain_row_pair(img.data() + size_t(y) * w, second.data() + size_t(y) * w,
                                       gains, cells.data(), cells_b.data(), 0);
         }},
        {"mean_image", [&](const kernel_table& k) { k.mean_image(img.data(), other.data(), img.size()); }},
        {"column_sums", [&](const kernel_table& k) { k.column_sums(other.data(), w, w, h, prof.data()); }},
        {"row_sums", [&](const kernel_table& k) { k.row_sums(other.data(), w, w, h, prof.data()); }},
        {"bandpass_abs_sums", [&](const kernel_table& k) { k.bandpass_abs_sums(lanes.data(), 48, t, sums); }},
        {"bandpass tapered", [&](const kernel_table& k) { k.bandpass_abs_sums(tapered_lanes.data(), 48, t, sums); }},
        {"window_sum_range", [&](const kernel_table& k) {
             uint32_t lo = UINT32_MAX, hi = 0;
             k.window_sum_range(other.data(), w, h, 8, &lo, &hi);
         }},
        {"resize_columns", [&](const kernel_table& k) {
             k.resize_columns(other.data(), w, 13, weights.data(), idx.data(), 230, acc.data());
         }},
    };
    for (const item& it : items) {
        const double s = seconds([&] { it.run(ref); });
        const double v = seconds([&] { it.run(vec); });
        std::printf("%-20s %-8s %9.3f ms  scalar %9.3f ms  speed-up %5.2fx\n", it.name, vec.name,
                    v * 1e3, s * 1e3, s / v);
    }
}

std::string table_name(const testing::TestParamInfo<const kernel_table*>& info) {
    return info.param->name;
}

INSTANTIATE_TEST_SUITE_P(VectorTables, Kernels, ::testing::ValuesIn(vector_tables()), table_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Kernels);

// A build without a vector table leaves the checker above with nothing to
// check: on a CPU that could run the table, that is a failure.
TEST(KernelDispatch, EveryTableTheCpuRunsIsBuilt) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        EXPECT_NE(orvane::avx2_kernels(), nullptr) << "the CPU has AVX2, the build no AVX2 table";
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq")) {
        EXPECT_NE(orvane::avx512_kernels(), nullptr)
            << "the CPU has AVX-512, the build no AVX-512 table";
    }
#else
    GTEST_SKIP() << "no vector tables for this architecture";
#endif
}

TEST(KernelDispatch, ScalarIsForcedByTheEnvironment) {
    const char* before = std::getenv("ORVANE_CPU");
    const std::string saved = before != nullptr ? before : "";
    setenv("ORVANE_CPU", "scalar", 1);
    EXPECT_EQ(&orvane::select_kernels(), &orvane::scalar_kernels());
    const kernel_table* avx2 = orvane::avx2_kernels();
    setenv("ORVANE_CPU", "avx2", 1);
    EXPECT_EQ(&orvane::select_kernels(), avx2 != nullptr ? avx2 : &orvane::scalar_kernels());
    unsetenv("ORVANE_CPU");
    const kernel_table* best = orvane::avx512_kernels();
    if (best == nullptr) best = avx2;
    EXPECT_EQ(&orvane::select_kernels(), best != nullptr ? best : &orvane::scalar_kernels());
    if (before != nullptr) setenv("ORVANE_CPU", saved.c_str(), 1);
}

}  // namespace
