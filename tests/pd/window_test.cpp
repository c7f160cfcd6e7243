#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pd/pd.h"

namespace orvane {
namespace {

struct cut {
    uint32_t status;
    uint16_t col0;
    uint16_t row0;
    uint16_t ncols;
    uint16_t nrows;
};

// Cuts one grid window out of two images that hold their own column and row
// index, so the first sample of each cut-out tells where the window starts.
cut cut_window(uint16_t w, uint16_t h, uint16_t i, uint16_t j, uint16_t rows, uint16_t cols,
               float margin) {
    std::vector<uint16_t> by_col(size_t(w) * h), by_row(size_t(w) * h);
    for (uint16_t r = 0; r < h; ++r) {
        for (uint16_t c = 0; c < w; ++c) {
            by_col[size_t(r) * w + c] = c;
            by_row[size_t(r) * w + c] = r;
        }
    }
    std::vector<uint16_t> roi(size_t(w) * h + 1, 0xBEEF);
    const roi_rect rect = window_rect(i, j, rows, cols, margin);
    cut out{};
    out.status = cut_roi(by_col.data(), w, h, rect, roi.data(), &out.ncols, &out.nrows, nullptr);
    out.col0 = roi[0];
    cut_roi(by_row.data(), w, h, rect, roi.data(), &out.ncols, &out.nrows, nullptr);
    out.row0 = roi[0];
    uint16_t sw = 0, sh = 0;
    roi_size(w, h, rect, &sw, &sh);
    EXPECT_EQ(sw, out.ncols);
    EXPECT_EQ(sh, out.nrows);
    return out;
}

TEST(WindowGrid, SingleWindowCoversTheWholeImage) {
    const roi_rect r = window_rect(0, 0, 1, 1, 0.0f);
    EXPECT_EQ(r.top, 0.0f);
    EXPECT_EQ(r.left, 0.0f);
    EXPECT_EQ(r.height, 1.0f);
    EXPECT_EQ(r.width, 1.0f);
    const cut c = cut_window(7, 5, 0, 0, 1, 1, 0.0f);
    EXPECT_EQ(c.ncols, 7);
    EXPECT_EQ(c.nrows, 5);
}

TEST(WindowGrid, TilesWithoutMargin) {
    const uint16_t col0[3] = {0, 33, 66};
    for (uint16_t i = 0; i < 2; ++i) {
        for (uint16_t j = 0; j < 3; ++j) {
            const cut c = cut_window(100, 60, i, j, 2, 3, 0.0f);
            EXPECT_EQ(c.status, 0u);
            EXPECT_EQ(c.ncols, 33);
            EXPECT_EQ(c.nrows, 30);
            EXPECT_EQ(c.col0, col0[j]);
            EXPECT_EQ(c.row0, 30 * i);
        }
    }
}

TEST(WindowGrid, HalfCellMarginDoublesInnerWindowsAndCutsBorderOnes) {
    const uint16_t col0[3] = {0, 16, 50};
    const uint16_t ncols[3] = {50, 66, 50};
    for (uint16_t i = 0; i < 2; ++i) {
        for (uint16_t j = 0; j < 3; ++j) {
            const cut c = cut_window(100, 60, i, j, 2, 3, 0.5f);
            EXPECT_EQ(c.col0, col0[j]);
            EXPECT_EQ(c.ncols, ncols[j]);
            EXPECT_EQ(c.row0, 15 * i);
            EXPECT_EQ(c.nrows, 45);
        }
    }
}

TEST(WindowGrid, SinglePrecisionOrderDecidesTheBottomRowHeight) {
    const uint16_t col0[4] = {0, 120, 280, 440};
    const uint16_t ncols[4] = {200, 240, 240, 200};
    const uint16_t row0[3] = {0, 120, 280};
    const uint16_t nrows[3] = {200, 240, 199};
    for (uint16_t i = 0; i < 3; ++i) {
        for (uint16_t j = 0; j < 4; ++j) {
            const cut c = cut_window(640, 480, i, j, 3, 4, 0.25f);
            EXPECT_EQ(c.col0, col0[j]) << i << "," << j;
            EXPECT_EQ(c.ncols, ncols[j]) << i << "," << j;
            EXPECT_EQ(c.row0, row0[i]) << i << "," << j;
            EXPECT_EQ(c.nrows, nrows[i]) << i << "," << j;
        }
    }
    EXPECT_EQ(window_rect(2, 0, 3, 4, 0.25f).height, 0.416666627f);  // 1 - 0.583333373
}

TEST(WindowGrid, MarginOfMinusHalfEmptiesEveryWindow) {
    for (float margin : {-0.5f, -0.75f}) {
        for (uint16_t i = 0; i < 3; ++i) {
            for (uint16_t j = 0; j < 4; ++j) {
                const cut c = cut_window(640, 480, i, j, 3, 4, margin);
                EXPECT_EQ(c.status, 0u);
                EXPECT_EQ(c.ncols, 0);
                EXPECT_EQ(c.nrows, 0);
            }
        }
    }
}

TEST(CutRoi, RepeatsTheLastRowAndColumnPastTheImage) {
    const uint16_t w = 5, h = 4;
    std::vector<uint16_t> img(w * h);
    for (uint16_t p = 0; p < w * h; ++p) img[p] = uint16_t(100 + p);
    std::vector<uint16_t> roi(64, 0);
    uint16_t nc = 0, nr = 0;

    ASSERT_EQ(cut_roi(img.data(), w, h, {1.0f, 0.0f, 1.0f, 1.0f}, roi.data(), &nc, &nr, nullptr),
              0u);
    ASSERT_EQ(nc, w);
    ASSERT_EQ(nr, h);
    for (uint16_t r = 0; r < h; ++r) {
        for (uint16_t c = 0; c < w; ++c) EXPECT_EQ(roi[r * w + c], img[(h - 1) * w + c]);
    }

    // Starts at column 2 and runs 5 columns: columns 5 and 6 repeat column 4.
    ASSERT_EQ(cut_roi(img.data(), w, h, {0.5f, 0.4f, 0.5f, 1.0f}, roi.data(), &nc, &nr, nullptr),
              0u);
    ASSERT_EQ(nc, 5);
    ASSERT_EQ(nr, 2);
    const uint16_t expect[2][5] = {{112, 113, 114, 114, 114}, {117, 118, 119, 119, 119}};
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 5; ++c) EXPECT_EQ(roi[r * 5 + c], expect[r][c]);
    }

    // Left edge at 1: every column repeats the last one.
    ASSERT_EQ(cut_roi(img.data(), w, h, {0.0f, 1.0f, 0.25f, 0.4f}, roi.data(), &nc, &nr, nullptr),
              0u);
    ASSERT_EQ(nc, 2);
    ASSERT_EQ(nr, 1);
    EXPECT_EQ(roi[0], 104);
    EXPECT_EQ(roi[1], 104);
}

TEST(CutRoi, RejectsFractionsOutsideTheUnitRangeWithoutWriting) {
    const std::vector<uint16_t> img(16, 7);
    const roi_rect bad[] = {{0.0f, 1.5f, 0.5f, 0.5f},
                            {-0.1f, 0.0f, 0.5f, 0.5f},
                            {0.0f, 0.0f, 1.01f, 0.5f},
                            {0.0f, 0.0f, 0.5f, -1.0f}};
    for (const roi_rect& rect : bad) {
        std::vector<uint16_t> roi(16, 0xABCD);
        uint16_t nc = 11, nr = 22;
        testing::internal::CaptureStdout();
        const uint32_t st = cut_roi(img.data(), 4, 4, rect, roi.data(), &nc, &nr, nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: Invalid ROI coordinates. \n");
        EXPECT_EQ(st, 128u);
        EXPECT_EQ(nc, 11);
        EXPECT_EQ(nr, 22);
        EXPECT_EQ(roi, std::vector<uint16_t>(16, 0xABCD));
        roi_size(4, 4, rect, &nc, &nr);
        EXPECT_EQ(nc, 0);
        EXPECT_EQ(nr, 0);
    }
}

}  // namespace
}  // namespace orvane
