#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "context/context.h"
#include "orvane.h"

namespace {

constexpr uint8_t kUntouched = 0xAA;

// The smallest calibration block: a 2 x 1 gain grid and one window.
struct small_records {
    gainmap map{};
    dccmap dcc{};
    small_records() {
        map.cols = 2;
        map.rows = 1;
        map.left[0] = 0x0201;
        map.left[1] = 0x0403;
        map.right[0] = 0x0605;
        map.right[1] = 0x0807;
        dcc.dcc_shift = 8;
        dcc.win_cols = 1;
        dcc.win_rows = 1;
        dcc.dcc[0] = -2;  // 0xFFFE
    }
};

const std::vector<uint8_t> kSmallBlock = {0x00, 0x04, 0x00, 0x02, 0x00, 0x01, 0x02, 0x01,
                                          0x04, 0x03, 0x06, 0x05, 0x08, 0x07, 0x00, 0x08,
                                          0x00, 0x01, 0x00, 0x01, 0xFF, 0xFE, 0x32};

// Records at full capacity with distinct values in every field.
struct full_records {
    gainmap map{};
    dccmap dcc{};
    full_records(uint16_t cols, uint16_t rows, uint16_t win_cols, uint16_t win_rows) {
        map.cols = cols;
        map.rows = rows;
        for (int i = 0; i < 256; ++i) {
            map.left[i] = static_cast<uint16_t>(0x1000 + 7 * i);
            map.right[i] = static_cast<uint16_t>(0x2000 + 11 * i);
            map.left_v[i] = static_cast<uint16_t>(0x3000 + 13 * i);
            map.right_v[i] = static_cast<uint16_t>(0x4000 + 17 * i);
        }
        dcc.dcc_shift = 6;
        dcc.win_cols = win_cols;
        dcc.win_rows = win_rows;
        for (int i = 0; i < 48; ++i) dcc.dcc[i] = static_cast<int16_t>(-700 * i + 123);
    }
};

uint16_t be16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}

uint8_t sum_of(const std::vector<uint8_t>& b, size_t end) {
    unsigned sum = 0;
    for (size_t i = 0; i < end; ++i) sum += b[i];
    return static_cast<uint8_t>(sum);
}

std::vector<uint8_t> buffer() { return std::vector<uint8_t>(2400, kUntouched); }

TEST(CalibrationBlock, SmallestBlockIsBigEndianWithChecksum) {
    small_records r;
    std::vector<uint8_t> out = buffer();
    EXPECT_EQ(Orvane_get_calibration_block(&r.map, &r.dcc, out.data()), 22);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 23), kSmallBlock);
    for (size_t i = 23; i < 994; ++i) ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(out[994], kUntouched);
}

TEST(CalibrationBlock, VerticalWriterTakesTheVerticalTables) {
    full_records r(3, 2, 2, 2);
    std::vector<uint8_t> out = buffer();
    const int32_t n = 6, m = 4;
    EXPECT_EQ(Orvane_get_calibration_block_vertical(&r.map, &r.dcc, out.data()),
              12 + 4 * n + 2 * m);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(be16(out, 6 + 2 * i), r.map.left_v[i]);
        EXPECT_EQ(be16(out, 6 + 2 * n + 2 * i), r.map.right_v[i]);
    }
    EXPECT_EQ(be16(out, 6 + 4 * n), 6);
    EXPECT_EQ(out[994], kUntouched);
}

TEST(CalibrationBlock, LargestRecordsRunPastTheClearedLength) {
    full_records r(16, 16, 8, 6);
    std::vector<uint8_t> out = buffer();
    ASSERT_EQ(Orvane_get_calibration_block(&r.map, &r.dcc, out.data()), 1132);
    EXPECT_EQ(be16(out, 6 + 2 * 255), r.map.left[255]);
    EXPECT_EQ(be16(out, 518 + 2 * 255), r.map.right[255]);
    EXPECT_EQ(be16(out, 1030), 6);
    EXPECT_EQ(be16(out, 1032), 8);
    EXPECT_EQ(be16(out, 1034), 6);
    EXPECT_EQ(static_cast<int16_t>(be16(out, 1036 + 2 * 47)), r.dcc.dcc[47]);
    EXPECT_EQ(out[1132], sum_of(out, 1132));
    EXPECT_EQ(out[1133], kUntouched);
}

TEST(CalibrationBlock, EmptyGridsStillWriteTheirDimensions) {
    full_records r(0, 5, 4, 0);
    std::vector<uint8_t> out = buffer();
    ASSERT_EQ(Orvane_get_calibration_block(&r.map, &r.dcc, out.data()), 12);
    const std::vector<uint8_t> head = {0x00, 0x04, 0x00, 0x00, 0x00, 0x05,
                                       0x00, 0x06, 0x00, 0x04, 0x00, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 12), head);
    EXPECT_EQ(out[12], sum_of(out, 12));
}

TEST(CalibrationBlock, BothLayoutsShareTheHorizontalGrids) {
    full_records h(4, 3, 3, 2);
    full_records v(1, 1, 1, 1);  // dimensions of the vertical records are not read
    for (int i = 0; i < 48; ++i) v.dcc.dcc[i] = static_cast<int16_t>(5000 + i);
    const int32_t n = 12, m = 6;
    std::vector<uint8_t> with = buffer();
    std::vector<uint8_t> without = buffer();
    ASSERT_EQ(Orvane_get_calibration_block_horizontal_vertical(&h.map, &h.dcc, &v.map, &v.dcc,
                                                               with.data()),
              12 + 8 * n + 4 * m);
    ASSERT_EQ(Orvane_get_calibration_block_horizontal_vertical_without_dcc(&h.map, &h.dcc, &v.map,
                                                                           nullptr, without.data()),
              12 + 8 * n + 2 * m);

    const int32_t vertical = 12 + 4 * n + 2 * m;
    EXPECT_EQ(std::memcmp(with.data(), without.data(), vertical + 4 * n), 0);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(be16(with, vertical + 2 * i), v.map.left_v[i]);
        EXPECT_EQ(be16(with, vertical + 2 * n + 2 * i), v.map.right_v[i]);
    }
    for (int i = 0; i < m; ++i) EXPECT_EQ(be16(with, vertical + 4 * n + 2 * i), 5000 + i);
    EXPECT_EQ(with[12 + 8 * n + 4 * m], sum_of(with, 12 + 8 * n + 4 * m));
    EXPECT_EQ(without[12 + 8 * n + 2 * m], sum_of(without, 12 + 8 * n + 2 * m));
    EXPECT_EQ(with[1973], 0);
    EXPECT_EQ(with[1974], kUntouched);
    EXPECT_EQ(without[1877], 0);
    EXPECT_EQ(without[1878], kUntouched);
}

TEST(CalibrationBlock, BothLayoutsAtFullCapacity) {
    full_records r(16, 16, 6, 8);
    std::vector<uint8_t> out = buffer();
    EXPECT_EQ(Orvane_get_calibration_block_horizontal_vertical(&r.map, &r.dcc, &r.map, &r.dcc,
                                                               out.data()),
              2252);
    EXPECT_EQ(out[2253], kUntouched);
    EXPECT_EQ(Orvane_get_calibration_block_horizontal_vertical_without_dcc(&r.map, &r.dcc, &r.map,
                                                                           nullptr, out.data()),
              2156);
}

TEST(CalibrationBlock, RecordsBeyondCapacityWriteNothing) {
    const full_records cases[] = {
        full_records(257, 1, 1, 1),
        full_records(65535, 65535, 1, 1),
        full_records(1, 1, 7, 7),
        full_records(1, 1, 65535, 65535),
    };
    const full_records fine(1, 1, 1, 1);
    for (const full_records& r : cases) {
        std::vector<uint8_t> out = buffer();
        EXPECT_EQ(Orvane_get_calibration_block(&r.map, &r.dcc, out.data()), -1);
        EXPECT_EQ(Orvane_get_calibration_block_vertical(&r.map, &r.dcc, out.data()), -1);
        EXPECT_EQ(Orvane_get_calibration_block_horizontal_vertical(&r.map, &r.dcc, &fine.map,
                                                                   &fine.dcc, out.data()),
                  -1);
        EXPECT_EQ(Orvane_get_calibration_block_horizontal_vertical_without_dcc(
                      &r.map, &r.dcc, &fine.map, nullptr, out.data()),
                  -1);
        EXPECT_EQ(out, buffer());
    }
}

struct context_deleter {
    void operator()(cal_context* ctx) const { Orvane_destroy(ctx); }
};

TEST(CurveOfFieldBlock, CarriesThePeakLensOfEveryWindow) {
    cal_settings s{};
    std::unique_ptr<cal_context, context_deleter> ctx(Orvane_create(&s));
    ASSERT_NE(ctx, nullptr);
    ctx->state.win_cols = 1;
    ctx->state.win_rows = 1;
    ctx->state.peak_lens[0] = -3;
    std::vector<uint8_t> out = buffer();
    EXPECT_EQ(Orvane_get_calibration_curve_of_field_block(ctx.get(), out.data()), 8);
    const std::vector<uint8_t> expected = {0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0xFF, 0xFD, 0xFF};
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 9), expected);
    for (size_t i = 9; i < 104; ++i) ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(out[104], kUntouched);

    ctx->state.win_cols = 8;
    ctx->state.win_rows = 6;
    for (int w = 0; w < 48; ++w) ctx->state.peak_lens[w] = static_cast<int16_t>(100 * w - 2000);
    EXPECT_EQ(Orvane_get_calibration_curve_of_field_block(ctx.get(), out.data()), 102);
    EXPECT_EQ(static_cast<int16_t>(be16(out, 6 + 2 * 47)), 2700);
    EXPECT_EQ(out[102], sum_of(out, 102));

    ctx->state.win_rows = 7;  // 56 windows
    out = buffer();
    EXPECT_EQ(Orvane_get_calibration_curve_of_field_block(ctx.get(), out.data()), -1);
    EXPECT_EQ(out, buffer());
}

// The zero-PD offset block: written from the context like the curve of
// field, read back only when intact and complete.
TEST(ZeroPdOffsetBlock, RoundTripsAndRefusesDamagedBlocks) {
    cal_settings s{};
    std::unique_ptr<cal_context, context_deleter> ctx(Orvane_create(&s));
    ASSERT_NE(ctx, nullptr);
    ctx->state.win_cols = 1;
    ctx->state.win_rows = 1;
    ctx->state.zero_pd_offset[0] = -3;
    ctx->state.peak_lens[0] = 77;  // not this block's
    std::vector<uint8_t> out = buffer();
    EXPECT_EQ(Orvane_get_calibration_zero_pd_offset_block(ctx.get(), out.data()), 8);
    const std::vector<uint8_t> expected = {0x00, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFF, 0xFD, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 9), expected);
    for (size_t i = 9; i < ORVANE_BLOCK_ZERO_PD_BUFFER_SIZE; ++i) ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(out[ORVANE_BLOCK_ZERO_PD_BUFFER_SIZE], kUntouched);

    ctx->state.win_cols = 8;
    ctx->state.win_rows = 6;
    for (int w = 0; w < 48; ++w) ctx->state.zero_pd_offset[w] = static_cast<int16_t>(37 * w - 900);
    out = buffer();
    const int32_t end = Orvane_get_calibration_zero_pd_offset_block(ctx.get(), out.data());
    ASSERT_EQ(end, 102);
    zero_pd_map map;
    std::memset(&map, 0x5A, sizeof map);
    ASSERT_EQ(Orvane_read_zero_pd_offset_block(out.data(), 103, &map), 0u);
    EXPECT_EQ(map.win_cols, 8);
    EXPECT_EQ(map.win_rows, 6);
    EXPECT_EQ(std::memcmp(map.offset, ctx->state.zero_pd_offset, sizeof map.offset), 0);

    // Each damage is refused and leaves the record as it was.
    struct damage {
        const char* what;
        size_t at;
        uint8_t value;
        uint32_t size;
    };
    const damage cases[] = {
        {"checksum", 102, static_cast<uint8_t>(out[102] + 1), 103},
        {"one offset", 50, static_cast<uint8_t>(out[50] ^ 0x10), 103},
        {"tag of the curve of field", 1, 0x01, 103},
        {"tag in the wrong byte order", 0, 0x02, 103},
        {"more windows than a map holds", 5, 0x07, 2400},
        {"cut short", 0, 0x00, 102},
        {"no header", 0, 0x00, 6},
    };
    for (const damage& d : cases) {
        SCOPED_TRACE(d.what);
        std::vector<uint8_t> bad = out;
        bad[d.at] = d.value;
        if (std::string(d.what) == "tag in the wrong byte order") bad[1] = 0x00;
        zero_pd_map kept;
        std::memset(&kept, 0x5A, sizeof kept);
        const zero_pd_map before = kept;
        EXPECT_EQ(Orvane_read_zero_pd_offset_block(bad.data(), d.size, &kept), ORVANE_HARD_FAILURE);
        EXPECT_EQ(std::memcmp(&kept, &before, sizeof kept), 0);
    }
    EXPECT_EQ(Orvane_read_zero_pd_offset_block(nullptr, 103, &map), ORVANE_HARD_FAILURE);
    EXPECT_EQ(Orvane_read_zero_pd_offset_block(out.data(), 103, nullptr), ORVANE_HARD_FAILURE);
    EXPECT_EQ(Orvane_get_calibration_zero_pd_offset_block(nullptr, out.data()), -1);
}

class BlockReader : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&map_, 0x5A, sizeof(map_));
        std::memset(&dcc_, 0x5A, sizeof(dcc_));
    }
    uint32_t read(const std::vector<uint8_t>& block) {
        // An exact-size copy, so reading past the block shows under the sanitizers.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[block.size()]);
        std::memcpy(exact.get(), block.data(), block.size());
        return Orvane_read_calibration_block(&map_, &dcc_, exact.get());
    }
    gainmap map_;
    dccmap dcc_;
};

TEST_F(BlockReader, ParsesTheSmallestBlock) {
    EXPECT_EQ(read(kSmallBlock), 0u);
    EXPECT_EQ(map_.cols, 2);
    EXPECT_EQ(map_.rows, 1);
    EXPECT_EQ(map_.left[0], 0x0201);
    EXPECT_EQ(map_.left[1], 0x0403);
    EXPECT_EQ(map_.right[0], 0x0605);
    EXPECT_EQ(map_.right[1], 0x0807);
    EXPECT_EQ(dcc_.dcc_shift, 8);
    EXPECT_EQ(dcc_.win_cols, 1);
    EXPECT_EQ(dcc_.win_rows, 1);
    EXPECT_EQ(dcc_.dcc[0], -2);
    // Fields outside the block stay as they were.
    EXPECT_EQ(map_.version, 0x5A);
    EXPECT_EQ(map_.left[2], 0x5A5A);
    EXPECT_EQ(map_.left_v[0], 0x5A5A);
    EXPECT_EQ(dcc_.version, 0x5A);
    EXPECT_EQ(dcc_.dcc[1], 0x5A5A);
}

TEST_F(BlockReader, ChecksumMismatchIsRejectedWithTheRecordsFilled) {
    std::vector<uint8_t> block = kSmallBlock;
    block[22] = 0x33;
    EXPECT_EQ(read(block), ORVANE_HARD_FAILURE);
    EXPECT_EQ(map_.left[1], 0x0403);
    EXPECT_EQ(dcc_.dcc[0], -2);
    EXPECT_EQ(read(block), ORVANE_HARD_FAILURE);
}

TEST_F(BlockReader, TagInTheWrongByteOrderIsRejected) {
    std::vector<uint8_t> block = kSmallBlock;
    block[0] = 0x04;
    block[1] = 0x00;  // same byte sum, so the checksum still matches
    EXPECT_EQ(read(block), ORVANE_HARD_FAILURE);
}

TEST_F(BlockReader, EmptyGainGridPutsTheDccHeaderAtOffsetSix) {
    const std::vector<uint8_t> block = {0x00, 0x04, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02,
                                        0x00, 0x01, 0x00, 0x01, 0x80, 0x00, 0x8B};
    EXPECT_EQ(read(block), 0u);
    EXPECT_EQ(map_.cols, 0);
    EXPECT_EQ(map_.rows, 3);
    EXPECT_EQ(map_.left[0], 0x5A5A);
    EXPECT_EQ(dcc_.dcc_shift, 2);
    EXPECT_EQ(dcc_.dcc[0], -32768);
}

TEST_F(BlockReader, OversizedGainGridStopsAfterItsDimensions) {
    const std::vector<uint8_t> block = {0x00, 0x04, 0x01, 0x01, 0x00, 0x01};  // 257 x 1
    EXPECT_EQ(read(block), ORVANE_HARD_FAILURE);
    EXPECT_EQ(map_.cols, 257);
    EXPECT_EQ(map_.rows, 1);
    EXPECT_EQ(map_.left[0], 0x5A5A);
    EXPECT_EQ(dcc_.dcc_shift, 0x5A5A);
}

TEST_F(BlockReader, OversizedWindowGridStopsAfterTheDccHeader) {
    const std::vector<uint8_t> block = {0x00, 0x04, 0x00, 0x01, 0x00, 0x01, 0x12, 0x34,
                                        0x56, 0x78, 0x00, 0x03, 0x00, 0x07, 0x00, 0x07};
    EXPECT_EQ(read(block), ORVANE_HARD_FAILURE);
    EXPECT_EQ(map_.left[0], 0x1234);
    EXPECT_EQ(map_.right[0], 0x5678);
    EXPECT_EQ(dcc_.dcc_shift, 3);
    EXPECT_EQ(dcc_.win_cols, 7);
    EXPECT_EQ(dcc_.win_rows, 7);
    EXPECT_EQ(dcc_.dcc[0], 0x5A5A);
}

TEST_F(BlockReader, ReadsBackWhatTheWritersWrote) {
    full_records r(16, 16, 8, 6);
    std::vector<uint8_t> out = buffer();
    const int32_t end = Orvane_get_calibration_block(&r.map, &r.dcc, out.data());
    out.resize(static_cast<size_t>(end) + 1);
    EXPECT_EQ(read(out), 0u);
    EXPECT_EQ(std::memcmp(&map_.cols, &r.map.cols, 4 + 2 * 512), 0);
    EXPECT_EQ(std::memcmp(&dcc_.dcc_shift, &r.dcc.dcc_shift, 6 + 2 * 48), 0);

    // A vertical block reads into the horizontal tables.
    out = buffer();
    Orvane_get_calibration_block_vertical(&r.map, &r.dcc, out.data());
    out.resize(1133);
    EXPECT_EQ(read(out), 0u);
    EXPECT_EQ(std::memcmp(map_.left, r.map.left_v, 512), 0);
    EXPECT_EQ(std::memcmp(map_.right, r.map.right_v, 512), 0);
}

}  // namespace
