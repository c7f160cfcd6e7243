#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "context/context.h"
#include "context/numeric.h"

namespace {

struct context_deleter {
    void operator()(cal_context* ctx) const { Orvane_destroy(ctx); }
};
using context_ptr = std::unique_ptr<cal_context, context_deleter>;

const uint8_t* bytes(const cal_context* ctx) { return reinterpret_cast<const uint8_t*>(ctx); }

TEST(Context, DestroyNullFailsAndValidSucceeds) {
    EXPECT_EQ(Orvane_destroy(nullptr), -1);
    cal_settings settings{};
    cal_context* ctx = Orvane_create(&settings);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(Orvane_destroy(ctx), 0);
}

TEST(Context, FreshContextHoldsSettingsAndDerivedFieldsOnly) {
    cal_settings settings{};
    auto* raw = reinterpret_cast<uint8_t*>(&settings);
    for (size_t i = 0; i < sizeof settings; ++i) raw[i] = static_cast<uint8_t>(i * 7 + 1);
    raw[0] = 0x85;
    raw[1] = 0x01;
    raw[137] = 0xFF;
    context_ptr ctx(Orvane_create(&settings));
    ASSERT_TRUE(ctx);

    EXPECT_EQ(std::memcmp(bytes(ctx.get()), &settings, sizeof settings), 0);
    // dump_tag sign-extended, then the focus_abs_sum copy and a zero pad byte.
    const uint8_t head[4] = {0x85, 0xFF, 0x01, 0x00};
    EXPECT_EQ(std::memcmp(bytes(ctx.get()) + 356, head, 4), 0);
    EXPECT_EQ(ctx->state.sweep_frames, -1);
    EXPECT_EQ(ctx->state.frames_added, 0);

    // Every other state byte is zero.
    const uint8_t* state = bytes(ctx.get()) + 356;
    for (size_t i = 4; i < sizeof(orvane::cal_state); ++i) {
        if (i == 725698 || i == 725699) continue;  // sweep_frames
        ASSERT_EQ(state[i], 0) << "state byte " << i;
    }
}

TEST(Context, SweepFramesIsSignExtendedFromTheSettingsByte) {
    cal_settings settings{};
    settings.sweep_frames = 9;
    context_ptr ctx(Orvane_create(&settings));
    const uint8_t* p = bytes(ctx.get()) + 726054;
    EXPECT_EQ(p[0], 9);
    EXPECT_EQ(p[1], 0);
}

TEST(Context, ContextsAreIndependent) {
    cal_settings a{}, b{};
    a.dump_tag = 1;
    b.dump_tag = 2;
    context_ptr ca(Orvane_create(&a));
    context_ptr cb(Orvane_create(&b));
    ca->state.frames_added = 5;
    EXPECT_EQ(cb->state.frames_added, 0);
    EXPECT_EQ(ca->state.dump_tag, 1);
    EXPECT_EQ(cb->state.dump_tag, 2);
}

TEST(Identification, VersionTextAndLength) {
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    const int32_t n = Orvane_get_lib_version(buf);
    EXPECT_STREQ(buf, "Orvane Library, Version-L (Official).\n");
    EXPECT_EQ(n, static_cast<int32_t>(std::strlen(buf)));
    EXPECT_LE(n + 1, ORVANE_LIB_VERSION_BUFFER_SIZE);
    char again[64];
    EXPECT_EQ(Orvane_get_lib_version(again), n);
    EXPECT_STREQ(again, buf);
}

TEST(Identification, FeaturesTextOverwritesTheBuffer) {
    char buf[300];
    std::memset(buf, 'x', sizeof buf);
    std::strcpy(buf, "stale text that must not survive");
    EXPECT_EQ(Orvane_get_lib_features(buf), 251);
    const std::string text(buf);
    EXPECT_EQ(text.size(), 251u);
    EXPECT_EQ(text.rfind("Features:\n", 0), 0u);
    int feature_lines = 0;
    size_t pos = 0;
    while ((pos = text.find("\n  ", pos)) != std::string::npos) {
        ++feature_lines;
        ++pos;
    }
    EXPECT_EQ(feature_lines, 5);
    EXPECT_NE(text.find("  Sensor configuration file is provided by sensor manufacturers.\n"),
              std::string::npos);
    EXPECT_EQ(text.back(), '\n');
    char again[300];
    EXPECT_EQ(Orvane_get_lib_features(again), 251);
    EXPECT_STREQ(again, buf);
}

TEST(Truncation, SixteenBitWrapAndSaturation) {
    using namespace orvane;
    EXPECT_EQ(trunc16_wrap(1234.9f), 1234);
    EXPECT_EQ(trunc16_wrap(-3.7f), -3);
    EXPECT_EQ(trunc16_wrap(40000.5f), -25536);
    EXPECT_EQ(trunc16_wrap(NAN), 0);
    EXPECT_EQ(trunc16_wrap(INFINITY), 0);
    EXPECT_EQ(trunc_i32(3e9f), INT32_MIN);
    EXPECT_EQ(trunc_i32(-2147483648.0f), INT32_MIN);
    EXPECT_EQ(trunc_i32(2147483520.0f), 2147483520);
    EXPECT_EQ(trunc16_sat(40000.5f), 32767);
    EXPECT_EQ(trunc16_sat(-40000.0f), -32768);
    EXPECT_EQ(trunc16_sat(NAN), 0);
    EXPECT_EQ(trunc16_sat(-INFINITY), -32768);
    EXPECT_EQ(trunc16_sat(-3.7f), -3);
    EXPECT_EQ(trunc16_sat(32767.9f), 32767);
    EXPECT_EQ(count_u16(-1), 0xFFFF);
}

}  // namespace
