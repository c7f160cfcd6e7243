// `orvane inspect` on blocks written by the library, on state dumps, and on
// files that are neither.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <nlohmann/json.hpp>

#include "io_support.h"
#include "orvane.h"
#include "orvane_state.h"

namespace {

using io_test::quoted;
using io_test::run_cli;
using nlohmann::json;
using ::testing::HasSubstr;

gainmap sample_gainmap() {
    gainmap gm{};
    gm.version = 4;
    gm.cols = 3;
    gm.rows = 2;
    for (int i = 0; i < 6; ++i) {
        gm.left[i] = static_cast<uint16_t>(512 + i);
        gm.right[i] = static_cast<uint16_t>(1024 + i);
        gm.left_v[i] = static_cast<uint16_t>(600 + i);
        gm.right_v[i] = static_cast<uint16_t>(700 + i);
    }
    return gm;
}

dccmap sample_dccmap(int16_t base) {
    dccmap dm{};
    dm.version = 4;
    dm.dcc_shift = 4;
    dm.win_cols = 2;
    dm.win_rows = 2;
    const int16_t dcc[] = {160, -32, 0, 17};
    for (int i = 0; i < 4; ++i) dm.dcc[i] = static_cast<int16_t>(dcc[i] + base);
    return dm;
}

// The block bytes: up to and including the checksum the writer reports.
std::vector<uint8_t> block_bytes(const uint8_t* buffer, int32_t checksum_at) {
    EXPECT_GT(checksum_at, 0);
    return {buffer, buffer + checksum_at + 1};
}

std::vector<uint8_t> single_block() {
    const gainmap gm = sample_gainmap();
    const dccmap dm = sample_dccmap(0);
    uint8_t buffer[ORVANE_BLOCK_BUFFER_SIZE];
    return block_bytes(buffer, Orvane_get_calibration_block(&gm, &dm, buffer));
}

json inspect_json(const std::string& path) {
    const io_test::cli_result r = run_cli("inspect --json " + quoted(path));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return json::parse(r.out);
}

TEST(Inspect, SingleLayoutBlockAsGrids) {
    io_test::scratch_dir dir;
    const std::vector<uint8_t> block = single_block();
    ASSERT_EQ(block.size(), 13u + 4 * 6 + 2 * 4);  // 45
    io_test::write_bytes(dir / "cal.bin", block);

    const io_test::cli_result r = run_cli("inspect " + quoted(dir / "cal.bin"));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    char head[64];
    std::snprintf(head, sizeof head,
                  "calibration block, one layout, 45 bytes, checksum 0x%02X ok\n", block.back());
    EXPECT_THAT(r.out, HasSubstr(head));
    EXPECT_THAT(r.out, HasSubstr("gain grid 3 x 2, window grid 2 x 2 (cols x rows), dcc_shift 4"));
    EXPECT_THAT(r.out, HasSubstr("first gain table (left):\n"
                                 "      c0  c1  c2\n"
                                 "  r0 512 513 514\n"
                                 "  r1 515 516 517\n"));
    EXPECT_THAT(r.out, HasSubstr("DCC per window (stored, 4 fraction bits):\n"
                                 "      c0  c1\n"
                                 "  r0 160 -32\n"
                                 "  r1   0  17\n"));
    EXPECT_THAT(r.out, HasSubstr("DCC per window (lens units per pixel):\n"
                                 "         c0     c1\n"
                                 "  r0     10     -2\n"
                                 "  r1      0 1.0625\n"));
}

TEST(Inspect, SingleLayoutBlockAsJson) {
    io_test::scratch_dir dir;
    io_test::write_bytes(dir / "cal.bin", single_block());
    const json j = inspect_json(dir / "cal.bin");
    EXPECT_EQ(j["kind"], "calibration");
    EXPECT_EQ(j["length"], 45);
    EXPECT_EQ(j["checksum"]["ok"], true);
    EXPECT_EQ(j["left"].dump(), "[[512,513,514],[515,516,517]]");
    EXPECT_EQ(j["right"].dump(), "[[1024,1025,1026],[1027,1028,1029]]");
    EXPECT_EQ(j["dcc"].dump(), "[[160,-32],[0,17]]");
    EXPECT_EQ(j["dcc_value"].dump(), "[[10.0,-2.0],[0.0,1.0625]]");
    EXPECT_FALSE(j.contains("left_v"));
}

TEST(Inspect, BothLayoutBlocksAreToldApartByLength) {
    io_test::scratch_dir dir;
    const gainmap gm = sample_gainmap();
    const dccmap dh = sample_dccmap(0);
    const dccmap dv = sample_dccmap(100);
    uint8_t buffer[ORVANE_BLOCK_HV_BUFFER_SIZE];
    io_test::write_bytes(dir / "hv.bin",
                         block_bytes(buffer, Orvane_get_calibration_block_horizontal_vertical(
                                                 &gm, &dh, &gm, &dv, buffer)));
    io_test::write_bytes(
        dir / "hv_no_vdcc.bin",
        block_bytes(buffer, Orvane_get_calibration_block_horizontal_vertical_without_dcc(
                                &gm, &dh, &gm, nullptr, buffer)));

    const json hv = inspect_json(dir / "hv.bin");
    EXPECT_EQ(hv["kind"], "calibration_both");
    EXPECT_EQ(hv["length"], 13 + 8 * 6 + 4 * 4);
    EXPECT_EQ(hv["left_v"].dump(), "[[600,601,602],[603,604,605]]");
    EXPECT_EQ(hv["right_v"].dump(), "[[700,701,702],[703,704,705]]");
    EXPECT_EQ(hv["dcc"].dump(), "[[160,-32],[0,17]]");
    EXPECT_EQ(hv["dcc_v"].dump(), "[[260,68],[100,117]]");

    const json no_v = inspect_json(dir / "hv_no_vdcc.bin");
    EXPECT_EQ(no_v["kind"], "calibration_both_no_vdcc");
    EXPECT_EQ(no_v["length"], 13 + 8 * 6 + 2 * 4);
    EXPECT_EQ(no_v["right_v"].dump(), "[[700,701,702],[703,704,705]]");
    EXPECT_FALSE(no_v.contains("dcc_v"));

    const io_test::cli_result text = run_cli("inspect " + quoted(dir / "hv.bin"));
    EXPECT_THAT(text.out, HasSubstr("calibration block, both layouts, 77 bytes"));
    EXPECT_THAT(text.out, HasSubstr("vertical DCC per window (stored, 4 fraction bits):\n"
                                    "      c0  c1\n"
                                    "  r0 260  68\n"));
}

TEST(Inspect, WholeClearedBufferIsReadAsBlockAndZeroPadding) {
    io_test::scratch_dir dir;
    const gainmap gm = sample_gainmap();
    const dccmap dm = sample_dccmap(0);
    std::vector<uint8_t> buffer(ORVANE_BLOCK_BUFFER_SIZE, 0xAA);
    Orvane_get_calibration_block(&gm, &dm, buffer.data());
    buffer.resize(994);  // the writer's cleared length
    io_test::write_bytes(dir / "cal.bin", buffer);
    const json j = inspect_json(dir / "cal.bin");
    EXPECT_EQ(j["kind"], "calibration");
    EXPECT_EQ(j["length"], 45);
    EXPECT_EQ(j["padding"], 994 - 45);
}

TEST(Inspect, CorruptedChecksumIsShownAndFailsTheCommand) {
    io_test::scratch_dir dir;
    std::vector<uint8_t> block = single_block();
    const uint8_t good = block.back();
    block.back() = static_cast<uint8_t>(good + 1);
    io_test::write_bytes(dir / "bad.bin", block);
    char err[128];
    std::snprintf(err, sizeof err,
                  "orvane: %s: checksum mismatch: stored 0x%02X, computed 0x%02X\n",
                  (dir / "bad.bin").c_str(), block.back(), good);

    io_test::cli_result r = run_cli("inspect " + quoted(dir / "bad.bin"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, err);
    EXPECT_THAT(r.out, HasSubstr("MISMATCH"));
    EXPECT_THAT(r.out, HasSubstr("  r0 512 513 514\n"));  // contents still shown

    r = run_cli("inspect --json " + quoted(dir / "bad.bin"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(json::parse(r.out)["checksum"]["ok"], false);

    // Both-layout blocks are checked the same way.
    const gainmap gm = sample_gainmap();
    const dccmap dm = sample_dccmap(0);
    uint8_t buffer[ORVANE_BLOCK_HV_BUFFER_SIZE];
    std::vector<uint8_t> hv = block_bytes(
        buffer, Orvane_get_calibration_block_horizontal_vertical(&gm, &dm, &gm, &dm, buffer));
    hv[10] ^= 0x01;
    io_test::write_bytes(dir / "hv.bin", hv);
    r = run_cli("inspect " + quoted(dir / "hv.bin"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_THAT(r.err, HasSubstr(": checksum mismatch: "));
    EXPECT_THAT(r.out, HasSubstr("calibration block, both layouts, 77 bytes"));
}

TEST(Inspect, CurveOfFieldAndZeroPdOffsetBlocks) {
    io_test::scratch_dir dir;
    // One window whose in-focus lens position is -3.
    io_test::write_bytes(dir / "cof.bin", {0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0xFF, 0xFD, 0xFF});
    const json j = inspect_json(dir / "cof.bin");
    EXPECT_EQ(j["kind"], "curve_of_field");
    EXPECT_EQ(j["peak_lens"].dump(), "[[-3]]");
    io_test::cli_result r = run_cli("inspect " + quoted(dir / "cof.bin"));
    EXPECT_THAT(r.out, HasSubstr("curve-of-field block, 9 bytes, checksum 0xFF ok\n"));
    EXPECT_THAT(r.out, HasSubstr("in-focus lens position per window:\n"
                                 "     c0\n"
                                 "  r0 -3\n"));
    // The same window's zero-PD offset, 14 lens units.
    io_test::write_bytes(dir / "zpd.bin", {0x00, 0x02, 0x00, 0x01, 0x00, 0x01, 0x00, 0x0E, 0x12});
    const json z = inspect_json(dir / "zpd.bin");
    EXPECT_EQ(z["kind"], "zero_pd_offset");
    EXPECT_EQ(z["zero_pd_offset"].dump(), "[[14]]");
    r = run_cli("inspect " + quoted(dir / "zpd.bin"));
    EXPECT_THAT(r.out, HasSubstr("zero-PD offset block, 9 bytes, checksum 0x12 ok\n"));
}

// A context whose DCC map ran without frames: its dump and curve of field.
TEST(Inspect, DumpAndCurveOfFieldWrittenByTheLibrary) {
    io_test::scratch_dir dir;
    cal_settings s{};
    s.dump_tag = 5;
    s.win_rows = 2;
    s.win_cols = 3;
    s.dcc_shift = 4;
    s.sweep_frames = 3;
    s.win_margin = 0.5f;
    cal_context* ctx = Orvane_create(&s);
    ASSERT_NE(ctx, nullptr);
    dccmap dm{};
    const uint32_t flags = Orvane_get_dccmap(ctx, &dm, (dir / "dump.bin").c_str());
    uint8_t cof[ORVANE_BLOCK_COF_BUFFER_SIZE];
    const int32_t at = Orvane_get_calibration_curve_of_field_block(ctx, cof);
    Orvane_destroy(ctx);
    io_test::write_bytes(dir / "cof.bin", block_bytes(cof, at));

    const json c = inspect_json(dir / "cof.bin");
    EXPECT_EQ(c["win_cols"], 3);
    EXPECT_EQ(c["win_rows"], 2);

    const json d = inspect_json(dir / "dump.bin");
    EXPECT_EQ(d["kind"], "state_dump");
    EXPECT_EQ(d["dump_tag"], 5);
    EXPECT_EQ(d["win_cols"], 3);
    EXPECT_EQ(d["win_rows"], 2);
    EXPECT_EQ(d["sweep_frames"], 3);
    EXPECT_EQ(d["win_margin"], 0.5);
    EXPECT_EQ(d["dcc_flags"], flags);
    EXPECT_THAT(d["dcc_flag_names"].get<std::vector<std::string>>(),
                ::testing::Contains("too_few_frames"));
    EXPECT_EQ(d["frames"].size(), 3u);  // the sweep the settings expect
    EXPECT_EQ(d["peak_lens"].dump(), c["peak_lens"].dump());
}

// A dump built field by field, so every value shown is known.
class SyntheticDump : public ::testing::Test {
protected:
    void SetUp() override {
        bytes.assign(ORVANE_STATE_DUMP_SIZE, 0);
        put<int16_t>(offsetof(cal_state, dump_tag), -2);
        put<uint16_t>(offsetof(cal_state, gain_cols), 2);
        put<uint16_t>(offsetof(cal_state, gain_rows), 1);
        put<uint16_t>(offsetof(cal_state, gain_left), 512);
        put<uint16_t>(offsetof(cal_state, gain_left) + 2, 515);
        put<uint16_t>(offsetof(cal_state, dcc_shift), 4);
        put<uint16_t>(offsetof(cal_state, win_cols), 2);
        put<uint16_t>(offsetof(cal_state, win_rows), 1);
        put<int16_t>(offsetof(cal_state, dcc), 160);
        put<int16_t>(offsetof(cal_state, dcc) + 2, -8);
        put<int16_t>(offsetof(cal_state, peak_lens), 133);
        put<int16_t>(offsetof(cal_state, peak_lens) + 2, 120);
        put<float>(offsetof(cal_state, fit_residual), 0.125f);
        for (int k = 0; k < 3; ++k) {
            const size_t slot = offsetof(cal_state, slots) + sizeof(frame_slot) * size_t(k);
            put<float>(slot + offsetof(frame_slot, pd), -1.5f + float(k));
            put<float>(slot + offsetof(frame_slot, pd) + 4, 0.25f * float(k));
            put<float>(slot + offsetof(frame_slot, focus), 5.0f + float(k));
            put<int16_t>(slot + offsetof(frame_slot, confidence), 1024);
            put<int16_t>(slot + offsetof(frame_slot, lens_position), int16_t(100 + 10 * k));
        }
        // Frame 2, window 1: pd_at_edge.
        put<uint32_t>(offsetof(cal_state, slots) + sizeof(frame_slot) * 2 +
                          offsetof(frame_slot, flags) + 4,
                      0x40);
        put<int16_t>(offsetof(cal_state, frames_added), 3);
        put<int16_t>(offsetof(cal_state, sweep_frames), 3);
        put<int16_t>(offsetof(cal_state, frames_fitted), 1);
        put<uint32_t>(offsetof(cal_state, dcc_flags), 0x2080);
    }
    template <class T>
    void put(size_t at, T v) {
        std::memcpy(bytes.data() + at, &v, sizeof v);
    }
    std::string write() {
        io_test::write_bytes(dir / "dump.bin", bytes);
        return dir / "dump.bin";
    }
    io_test::scratch_dir dir;
    std::vector<uint8_t> bytes;
};

TEST_F(SyntheticDump, ShowsResultsAndEveryFrame) {
    const std::string path = write();
    const io_test::cli_result r = run_cli("inspect " + quoted(path));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("state dump, 726292 bytes (no checksum)\ndump_tag -2,"));
    EXPECT_THAT(r.out, HasSubstr("frames_added 3, sweep_frames 3, frames_fitted 1"));
    EXPECT_THAT(r.out, HasSubstr("dcc_flags 0x2080: not_monotonic peak_at_end\n"));
    EXPECT_THAT(r.out, HasSubstr("gain map of frame 0, left:\n      c0  c1\n  r0 512 515\n"));
    EXPECT_THAT(r.out, HasSubstr("peak_lens (in-focus lens position):\n      c0  c1\n"
                                 "  r0 133 120\n"));
    EXPECT_THAT(r.out, HasSubstr("\nframe 2: lens position 120\nPD (pixels of disparity):\n"
                                 "      c0  c1\n  r0 0.5 0.5\n"));
    EXPECT_THAT(r.out, HasSubstr("window flags:\n             c0         c1\n"
                                 "  r0          - pd_at_edge\n"));
    EXPECT_EQ(r.out.find("frame 3:"), std::string::npos);

    const json j = inspect_json(path);
    EXPECT_EQ(j["dcc_value"].dump(), "[[10.0,-0.5]]");
    EXPECT_EQ(j["fit_residual"].dump(), "[[0.125,0.0]]");
    ASSERT_EQ(j["frames"].size(), 3u);
    EXPECT_EQ(j["frames"][1]["lens_position"], 110);
    EXPECT_EQ(j["frames"][1]["pd"].dump(), "[[-0.5,0.25]]");
    EXPECT_EQ(j["frames"][2]["focus"].dump(), "[[7.0,0.0]]");
    EXPECT_EQ(j["frames"][2]["flags"].dump(), "[[0,64]]");
    EXPECT_EQ(j["dcc_flag_names"].dump(), R"(["not_monotonic","peak_at_end"])");
}

TEST_F(SyntheticDump, WindowGridBeyondItsTablesIsAnError) {
    put<uint16_t>(1034, 13);
    put<uint16_t>(1036, 12);
    const std::string path = write();
    const io_test::cli_result r = run_cli("inspect " + quoted(path));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "orvane: " + path +
                         ": state dump with a 13 x 12 window grid; it holds at most 144 windows\n");
}

struct bad_file {
    const char* name;
    std::vector<uint8_t> bytes;  // empty name bytes with `missing` set: no file at all
    bool missing;
    const char* message;  // after "orvane: <path>: "
};

// Test names show the case, not the record's bytes.
void PrintTo(const bad_file& c, std::ostream* os) { *os << c.name; }

class InspectBadInput : public ::testing::TestWithParam<bad_file> {};

TEST_P(InspectBadInput, OneErrorLineAndNonZeroExit) {
    const bad_file& p = GetParam();
    io_test::scratch_dir dir;
    const std::string path = dir / p.name;
    if (!p.missing) io_test::write_bytes(path, p.bytes);
    const io_test::cli_result r = run_cli("inspect " + quoted(path));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "orvane: " + path + ": " + p.message + "\n");
}

std::vector<uint8_t> truncated_block() {
    std::vector<uint8_t> b = single_block();
    b.resize(b.size() - 3);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InspectBadInput,
    ::testing::Values(
        bad_file{"missing.bin", {}, true, "cannot open: No such file or directory"},
        bad_file{"empty.bin", {}, false, "empty file"},
        bad_file{"short.bin", {0, 4, 0}, false, "3 bytes are too few for a calibration block"},
        bad_file{"tag.bin",
                 {0x12, 0x34, 0, 0, 0, 0, 0, 0},
                 false,
                 "unknown file: format tag 0x1234 is not a calibration block (0x0004), a "
                 "curve-of-field block (0x0001) or a zero-PD offset block (0x0002), and 8 bytes "
                 "are not a state dump (726292)"},
        bad_file{"cut.bin", truncated_block(), false,
                 "a calibration block with a 3 x 2 gain grid and 2 x 2 windows takes 45 (one "
                 "layout), 69 or 77 (both layouts) bytes, the file has 42"},
        bad_file{"gains.bin",
                 {0, 4, 0, 200, 0, 200, 0},
                 false,
                 "truncated calibration block: a 200 x 200 gain grid needs at least 160013 "
                 "bytes, the file has 7"},
        bad_file{"cof.bin",
                 {0, 1, 0, 2, 0, 2, 0, 0, 0},
                 false,
                 "a curve-of-field block of 2 x 2 windows takes 15 bytes, the file has 9"},
        bad_file{"big.bin", std::vector<uint8_t>(ORVANE_STATE_DUMP_SIZE + 1, 0), false,
                 "726293 bytes: larger than a state dump (726292) and any block"}),
    [](const ::testing::TestParamInfo<bad_file>& info) {
        std::string n = info.param.name;
        return n.substr(0, n.find('.'));
    });

TEST(Inspect, FolderAndMissingArgument) {
    io_test::scratch_dir dir;
    io_test::cli_result r = run_cli("inspect " + quoted(dir.path().string()));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "orvane: " + dir.path().string() + ": is a folder, not a file\n");
    r = run_cli("inspect");
    EXPECT_NE(r.exit_code, 0);
}

}  // namespace
