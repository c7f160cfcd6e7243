#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "gainmap/gainmap.h"

namespace orvane {
namespace {

TEST(CubicKernel, KnotsAndLobes) {
    EXPECT_EQ(cubic_kernel(0.0f), 1.0f);
    EXPECT_EQ(cubic_kernel(1.0f), 0.0f);
    EXPECT_EQ(cubic_kernel(-1.0f), 0.0f);
    EXPECT_EQ(cubic_kernel(2.0f), 0.0f);
    EXPECT_EQ(cubic_kernel(0.5f), 0.5625f);
    EXPECT_EQ(cubic_kernel(-1.5f), -0.0625f);
    EXPECT_EQ(cubic_kernel(2.5f), 0.0f);
}

TEST(ResizeContributions, SameSizePicksTheCentreTap) {
    std::vector<float> w(20 * 6);
    std::vector<int32_t> idx(20 * 6);
    resize_contributions(20, 20, 1.0f, 4.0f, w.data(), idx.data(), 6);
    const int i = 5;  // 1-based position 5, away from both edges
    for (int j = 0; j < 6; ++j) {
        EXPECT_EQ(idx[(i - 1) * 6 + j], i - 2 + j);
        EXPECT_EQ(w[(i - 1) * 6 + j], j == 2 ? 1.0f : 0.0f);
    }
}

TEST(ResizeContributions, HalvingFoldsTheLeftTapsOntoTheEdge) {
    std::vector<float> w(8 * 10);
    std::vector<int32_t> idx(8 * 10);
    resize_contributions(16, 8, 0.5f, 8.0f, w.data(), idx.data(), 10);
    const int32_t want_idx[10] = {1, 1, 1, 1, 2, 3, 4, 5, 6, 7};
    const float want_w[10] = {-0.0117f, -0.0352f, 0.1133f,  0.4336f, 0.4336f,
                              0.1133f,  -0.0352f, -0.0117f, 0.0f,    0.0f};
    float sum = 0.0f;
    for (int j = 0; j < 10; ++j) {
        EXPECT_EQ(idx[j], want_idx[j]) << j;
        EXPECT_NEAR(w[j], want_w[j], 1e-4) << j;
        sum += w[j];
    }
    EXPECT_EQ(w[3], w[4]);  // symmetric about u = 1.5
    EXPECT_EQ(w[8], 0.0f);
    EXPECT_NEAR(sum, 1.0f, 1e-6);
}

std::vector<uint16_t> random_image(std::mt19937& rng, int w, int h) {
    std::uniform_int_distribution<int> d(0, 65535);
    std::vector<uint16_t> img(static_cast<size_t>(w) * h);
    for (auto& v : img) v = static_cast<uint16_t>(d(rng));
    return img;
}

TEST(ResizeBicubic, SameSizeReturnsTheInput) {
    std::mt19937 rng(7);
    for (auto [w, h] : {std::pair{7, 5}, std::pair{1, 1}, std::pair{33, 2}}) {
        const auto src = random_image(rng, w, h);
        std::vector<uint16_t> dst(src.size(), 1);
        ASSERT_TRUE(resize_bicubic(src.data(), w, h, dst.data(), w, h));
        EXPECT_EQ(dst, src);
    }
}

TEST(ResizeBicubic, ConstantImageStaysConstant) {
    for (uint16_t level : {uint16_t{0}, uint16_t{1234}, uint16_t{65535}}) {
        const std::vector<uint16_t> src(37 * 23, level);
        std::vector<uint16_t> small(5 * 3);
        ASSERT_TRUE(resize_bicubic(src.data(), 37, 23, small.data(), 5, 3));
        EXPECT_EQ(small, std::vector<uint16_t>(15, level));
        std::vector<uint16_t> large(9 * 5);
        ASSERT_TRUE(resize_bicubic(small.data(), 5, 3, large.data(), 9, 5));
        EXPECT_EQ(large, std::vector<uint16_t>(large.size(), level));
        std::vector<uint16_t> one(1);
        ASSERT_TRUE(resize_bicubic(src.data(), 37, 23, one.data(), 1, 1));
        EXPECT_EQ(one[0], level);
    }
}

// A bright-to-dark edge: the kernel's lobes overshoot to about 73,727 on the
// bright side and undershoot to about -8,192 on the dark side. Both clamp.
TEST(ResizeBicubic, LobesAtAnEdgeClampInsteadOfWrapping) {
    const uint16_t src[4] = {65535, 65535, 0, 0};
    uint16_t dst[8];
    ASSERT_TRUE(resize_bicubic(src, 4, 1, dst, 8, 1));
    const uint16_t want[8] = {65535, 65535, 65535, 65535, 0, 0, 0, 0};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(dst[i], want[i]) << i;

    // Shrinking across the edge: the dark cell's sum is about -2,885.
    const uint16_t wide[8] = {65535, 65535, 65535, 65535, 0, 0, 0, 0};
    uint16_t three[3];
    ASSERT_TRUE(resize_bicubic(wide, 8, 1, three, 3, 1));
    EXPECT_EQ(three[0], 65535);
    EXPECT_EQ(three[1], 32768);  // 32,767.5 rounds half up
    EXPECT_EQ(three[2], 0);
}

TEST(ResizeBicubic, ScratchMustMatchTheShape) {
    const std::vector<uint16_t> src(10 * 10, 100);
    std::vector<uint16_t> dst(4, 7);
    resize_scratch scratch;
    EXPECT_FALSE(resize_bicubic(src.data(), 10, 10, dst.data(), 2, 2, scratch));
    ASSERT_TRUE(scratch.reserve(10, 10, 2, 2));
    EXPECT_FALSE(resize_bicubic(src.data(), 10, 10, dst.data(), 2, 1, scratch));
    EXPECT_EQ(dst, std::vector<uint16_t>(4, 7));
    EXPECT_TRUE(resize_bicubic(src.data(), 10, 10, dst.data(), 2, 2, scratch));
    EXPECT_EQ(dst, std::vector<uint16_t>(4, 100));
}

TEST(ResizeBicubic, RefusesEmptyShapes) {
    resize_scratch scratch;
    EXPECT_FALSE(scratch.reserve(0, 5, 1, 1));
    EXPECT_FALSE(scratch.reserve(5, 5, 1, 0));
    EXPECT_FALSE(scratch.reserve(-3, 5, 1, 1));
}

}  // namespace
}  // namespace orvane
