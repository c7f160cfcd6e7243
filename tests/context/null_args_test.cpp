// Every pointer argument of every entry point, one at a time, replaced by
// NULL: the call answers with its failure value and writes nothing, neither
// into the host's records and buffers nor into the context.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "context/context.h"
#include "entry_world.h"

namespace {

using entry_test::kHard;
using entry_test::kSentinel;
using entry_test::world;

// Argument `i` of a call, or NULL when it is the one to leave out.
template <typename T>
T* arg(int i, int null_at, T* p) {
    return i == null_at ? nullptr : p;
}

struct entry_case {
    const char* name;
    int pointers;  // pointer arguments, numbered in call order
    int64_t failure;
    std::function<int64_t(world&, int)> call;  // null_at -1: every pointer valid
    std::vector<int> may_be_null = {};         // pointers for which NULL is legal
};

const std::vector<entry_case>& cases() {
    static const std::vector<entry_case> table = {
        {"create", 1, 0,
         [](world& w, int n) -> int64_t {
             cal_context* c = Orvane_create(arg(0, n, &w.settings));
             Orvane_destroy(c);
             return c != nullptr;
         }},
        {"get_lib_version", 1, -1,
         [](world& w, int n) -> int64_t {
             return Orvane_get_lib_version(arg(0, n, w.text.data()));
         }},
        {"get_lib_features", 1, -1,
         [](world& w, int n) -> int64_t {
             return Orvane_get_lib_features(arg(0, n, w.text.data()));
         }},
        {"validate_sensor_cfg", 4, kHard,
         [](world& w, int n) -> int64_t {
             return Orvane_validate_sensor_cfg(arg(0, n, w.raw.data()), arg(1, n, &w.cfg),
                                               arg(2, n, w.out_left.data()),
                                               arg(3, n, w.out_right.data()));
         }},
        {"get_gainmap", 5, kHard,
         [](world& w, int n) -> int64_t {
             return Orvane_get_gainmap(arg(0, n, w.ctx), arg(1, n, w.raw.data()), arg(2, n, &w.cfg),
                                       arg(3, n, &w.map_out), arg(4, n, &w.limits));
         }},
        {"get_gainmap_vertical", 5, kHard,
         [](world& w, int n) -> int64_t {
             return Orvane_get_gainmap_vertical(arg(0, n, w.ctx), arg(1, n, w.raw.data()),
                                                arg(2, n, &w.cfg), arg(3, n, &w.map_out),
                                                arg(4, n, &w.limits));
         }},
        {"get_gainmap_2pd", 5, kHard,
         [](world& w, int n) -> int64_t {
             return Orvane_get_gainmap_2pd(arg(0, n, w.ctx), arg(1, n, w.left.data()),
                                           arg(2, n, w.right.data()), 40, 24, 64,
                                           arg(3, n, &w.map_out), arg(4, n, &w.limits), 5.0f);
         }},
        {"add_raw", 4, kHard,
         [](world& w, int n) -> int64_t {
             return Orvane_add_raw(arg(0, n, w.ctx), 0, 10, arg(1, n, w.raw.data()),
                                   arg(2, n, &w.cfg), arg(3, n, &w.map));
         }},
        {"add_raw_vertical", 4, kHard,
         [](world& w, int n) -> int64_t {
             return Orvane_add_raw_vertical(arg(0, n, w.ctx), 0, 10, arg(1, n, w.raw.data()),
                                            arg(2, n, &w.cfg), arg(3, n, &w.map));
         }},
        {"add_raw_2pd", 4, kHard,
         [](world& w, int n) -> int64_t {
             return Orvane_add_raw_2pd(arg(0, n, w.ctx), 0, 10, arg(1, n, w.left.data()),
                                       arg(2, n, w.right.data()), 40, 24, 64, arg(3, n, &w.map),
                                       10.0f);
         }},
        {"get_raw_pd", 5, kHard,
         [](world& w, int n) -> int64_t {
             return Orvane_get_raw_pd(arg(0, n, w.ctx), arg(1, n, w.raw.data()), arg(2, n, &w.cfg),
                                      arg(3, n, &w.map), arg(4, n, &w.pd_out));
         }},
        {"get_raw_pd_2pd", 5, kHard,
         [](world& w, int n) -> int64_t {
             return Orvane_get_raw_pd_2pd(arg(0, n, w.ctx), arg(1, n, w.left.data()),
                                          arg(2, n, w.right.data()), 40, 24, 64, arg(3, n, &w.map),
                                          arg(4, n, &w.pd_out));
         }},
        {"get_dccmap",
         3,
         kHard,
         [](world& w, int n) -> int64_t {
             // The dump path is only ever NULL here: no file is written.
             return Orvane_get_dccmap(arg(0, n, w.ctx), arg(1, n, &w.dcc_out), nullptr);
         },
         {2}},
        {"get_calibration_block", 3, -1,
         [](world& w, int n) -> int64_t {
             return Orvane_get_calibration_block(arg(0, n, &w.map), arg(1, n, &w.dcc),
                                                 arg(2, n, w.block_out.data()));
         }},
        {"get_calibration_block_vertical", 3, -1,
         [](world& w, int n) -> int64_t {
             return Orvane_get_calibration_block_vertical(arg(0, n, &w.map), arg(1, n, &w.dcc),
                                                          arg(2, n, w.block_out.data()));
         }},
        {"get_calibration_block_horizontal_vertical", 5, -1,
         [](world& w, int n) -> int64_t {
             return Orvane_get_calibration_block_horizontal_vertical(
                 arg(0, n, &w.map), arg(1, n, &w.dcc), arg(2, n, &w.map), arg(3, n, &w.dcc),
                 arg(4, n, w.block_out.data()));
         }},
        {"get_calibration_block_horizontal_vertical_without_dcc",
         5,
         -1,
         [](world& w, int n) -> int64_t {
             return Orvane_get_calibration_block_horizontal_vertical_without_dcc(
                 arg(0, n, &w.map), arg(1, n, &w.dcc), arg(2, n, &w.map), arg(3, n, &w.dcc),
                 arg(4, n, w.block_out.data()));
         },
         {3}},
        {"get_calibration_curve_of_field_block", 2, -1,
         [](world& w, int n) -> int64_t {
             return Orvane_get_calibration_curve_of_field_block(arg(0, n, w.ctx),
                                                                arg(1, n, w.block_out.data()));
         }},
        {"read_calibration_block", 3, kHard,
         [](world& w, int n) -> int64_t {
             return Orvane_read_calibration_block(arg(0, n, &w.map_out), arg(1, n, &w.dcc_out),
                                                  arg(2, n, w.block.data()));
         }},
    };
    return table;
}

bool legal_null(const entry_case& c, int i) {
    for (int k : c.may_be_null)
        if (k == i) return true;
    return false;
}

TEST(NullArguments, EveryPointerOfEveryEntryPoint) {
    for (const entry_case& c : cases()) {
        SCOPED_TRACE(c.name);
        {
            // With every pointer valid the call succeeds and writes something
            // (Orvane_create writes only the context it returns).
            world w;
            ASSERT_NE(w.ctx, nullptr);
            const std::vector<uint8_t> before = w.snapshot();
            testing::internal::CaptureStdout();
            const int64_t valid = c.call(w, -1);
            testing::internal::GetCapturedStdout();
            EXPECT_NE(valid, c.failure);
            if (std::string(c.name) != "create") {
                EXPECT_NE(w.snapshot(), before);
            }
        }
        for (int i = 0; i < c.pointers; ++i) {
            SCOPED_TRACE("pointer " + std::to_string(i));
            world w;
            ASSERT_NE(w.ctx, nullptr);
            const std::vector<uint8_t> before = w.snapshot();
            testing::internal::CaptureStdout();
            const int64_t result = c.call(w, i);
            testing::internal::GetCapturedStdout();
            if (legal_null(c, i)) {
                EXPECT_NE(result, c.failure);
            } else {
                EXPECT_EQ(result, c.failure);
                EXPECT_EQ(w.snapshot(), before);
            }
        }
    }
}

TEST(NullArguments, DestroyAcceptsNull) {
    EXPECT_EQ(Orvane_destroy(nullptr), -1);
}

// The unused fourth pointer changes nothing: NULL or a record, same block.
TEST(NullArguments, UnusedPointerOfTheBlockWithoutDccIsIgnored) {
    world w;
    std::vector<uint8_t> with_null(ORVANE_BLOCK_HV_BUFFER_SIZE, kSentinel);
    const int32_t end = Orvane_get_calibration_block_horizontal_vertical_without_dcc(
        &w.map, &w.dcc, &w.map, nullptr, with_null.data());
    const int32_t end2 = Orvane_get_calibration_block_horizontal_vertical_without_dcc(
        &w.map, &w.dcc, &w.map, &w.dcc, w.block_out.data());
    EXPECT_GT(end, 0);
    EXPECT_EQ(end, end2);
    EXPECT_EQ(with_null, w.block_out);
}

}  // namespace
