// Frame files: raw16, packed RAW10, 16-bit PGM and PNG.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>

#include <functional>

#include "io/files.h"
#include "io/frames.h"
#include "io_support.h"

namespace {

using io_test::error_of;

using namespace orvane_tool;
using io::frame_format;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A ramp that uses both bytes of every sample.
std::vector<uint16_t> ramp(uint32_t width, uint32_t height, uint32_t scale, uint16_t mask) {
    std::vector<uint16_t> v(size_t{width} * height);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint16_t>((i * scale + 3) & mask);
    return v;
}

TEST(Raw10, PacksFourPixelsIntoFourHighBytesAndOneLowByte) {
    // Lows: 3 (pixel 0, bits 0-1), 0, 1 (bits 4-5), 2 (bits 6-7) -> 0x93.
    const std::vector<uint16_t> pixels = {0x3FF, 0x000, 0x155, 0x2AA};
    EXPECT_THAT(io::encode_raw10(pixels, 4, 1, "t"), ElementsAre(0xFF, 0x00, 0x55, 0xAA, 0x93));
    const std::vector<uint8_t> packed = {0xFF, 0x00, 0x55, 0xAA, 0x93};
    EXPECT_EQ(io::decode_raw10(packed, 4, 1, 0, "t"), pixels);
}

TEST(Raw10, ShortLastGroupTakesItsPixelsPlusOneLowByte) {
    // Width 6: one full group, then 2 pixels in 3 bytes; the line is 8 bytes.
    const std::vector<uint16_t> pixels = {1, 2, 3, 4, 5, 1023};
    EXPECT_EQ(io::raw10_line_bytes(6), 8u);
    EXPECT_THAT(io::encode_raw10(pixels, 6, 1, "t"),
                ElementsAre(0x00, 0x00, 0x00, 0x01, 0x39, 0x01, 0xFF, 0x0D));
    for (uint32_t width : {1u, 2u, 3u, 4u, 5u, 7u, 13u}) {
        const std::vector<uint16_t> v = ramp(width, 3, 97, 0x3FF);
        const std::vector<uint8_t> bytes = io::encode_raw10(v, width, 3, "t");
        EXPECT_EQ(bytes.size(), io::raw10_line_bytes(width) * 3);
        EXPECT_EQ(io::decode_raw10(bytes, width, 3, 0, "t"), v) << "width " << width;
    }
}

TEST(Raw10, ExplicitStrideSkipsLinePadding) {
    const std::vector<uint16_t> v = ramp(4, 2, 211, 0x3FF);
    const std::vector<uint8_t> tight = io::encode_raw10(v, 4, 2, "t");
    std::vector<uint8_t> padded(24, 0xEE);  // 12-byte lines: more bytes than 16-bit samples take
    std::copy(tight.begin(), tight.begin() + 5, padded.begin());
    std::copy(tight.begin() + 5, tight.end(), padded.begin() + 12);
    EXPECT_EQ(io::decode_raw10(padded, 4, 2, 12, "f.raw10"), v);
    io_test::scratch_dir dir;
    io_test::write_bytes(dir / "f.raw10", padded);
    EXPECT_EQ(io::read_frame(dir / "f.raw10", frame_format::raw10, 4, 2, 12), v);
}

TEST(Raw10, SizeStrideAndRangeErrors) {
    const std::vector<uint8_t> bytes(10, 0);
    EXPECT_EQ(error_of([&] { io::decode_raw10(bytes, 4, 3, 0, "f.raw10"); }),
              "f.raw10: expected 4x3 RAW10 pixels with a 5-byte stride (15 bytes), got 10 bytes");
    EXPECT_EQ(error_of([&] { io::decode_raw10(bytes, 8, 1, 9, "f.raw10"); }),
              "f.raw10: RAW10 stride of 9 bytes is shorter than a 8-pixel line (10 bytes)");
    const std::vector<uint16_t> wide = {1, 1024, 0, 0};
    EXPECT_EQ(error_of([&] { io::encode_raw10(wide, 2, 2, "f.raw10"); }),
              "f.raw10: sample 1024 at (1, 0) does not fit in 10 bits");
}

TEST(Raw16, LittleEndianRoundTripThroughAFile) {
    io_test::scratch_dir dir;
    const std::vector<uint16_t> v = {0x1234, 0xFFFF, 0, 0x00FF, 0xFF00, 7};
    io::write_frame(dir / "f.raw", v, frame_format::raw16, 3, 2);
    const std::string bytes = io_test::read_text(dir / "f.raw");
    ASSERT_EQ(bytes.size(), 12u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0x34);
    EXPECT_EQ(static_cast<uint8_t>(bytes[1]), 0x12);
    EXPECT_EQ(io::read_frame(dir / "f.raw", frame_format::raw16, 3, 2), v);
    EXPECT_EQ(error_of([&] { io::read_frame(dir / "f.raw", frame_format::raw16, 4, 2); }),
              dir / "f.raw" + ": expected 4x2 16-bit samples (16 bytes), got 12 bytes");
    EXPECT_EQ(error_of([&] { io::read_frame(dir / "none.raw", frame_format::raw16, 4, 2); }),
              dir / "none.raw" + ": cannot open: No such file or directory");
}

TEST(Pgm, SixteenBitRoundTripIsBigEndian) {
    const std::vector<uint16_t> v = {0x0102, 65535, 0, 1023, 40000, 1};
    const std::vector<uint8_t> bytes = io::encode_pgm(v, 3, 2);
    const std::string header = "P5\n3 2\n65535\n";
    ASSERT_EQ(bytes.size(), header.size() + 12);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<long>(header.size())), header);
    EXPECT_EQ(bytes[header.size()], 0x01);
    EXPECT_EQ(bytes[header.size() + 1], 0x02);
    EXPECT_EQ(io::decode_pgm(bytes, 3, 2, "f.pgm"), v);
}

TEST(Pgm, ReadsCommentsAndEightBitSamples) {
    const std::string text = std::string("P5\n# from a bench camera\n3 # width\n2\n255\n") +
                             std::string("\x00\x01\x7F\x80\xFE\xFF", 6);
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    EXPECT_THAT(io::decode_pgm(bytes, 3, 2, "f.pgm"), ElementsAre(0, 1, 127, 128, 254, 255));
}

TEST(Pgm, HeaderAndSizeErrors) {
    const auto pgm = [](const std::string& text) {
        return std::vector<uint8_t>(text.begin(), text.end());
    };
    EXPECT_EQ(error_of([&] { io::decode_pgm(pgm("P2\n1 1\n255\n0"), 1, 1, "f.pgm"); }),
              "f.pgm: not a binary PGM file (no P5 signature)");
    EXPECT_EQ(error_of([&] { io::decode_pgm(pgm("P5\n1 1"), 1, 1, "f.pgm"); }),
              "f.pgm: truncated or malformed PGM header");
    EXPECT_EQ(error_of([&] { io::decode_pgm(pgm("P5\n1 1\n65536\n"), 1, 1, "f.pgm"); }),
              "f.pgm: PGM maxval 65536 is outside 1..65535");
    EXPECT_EQ(error_of([&] { io::decode_pgm(pgm("P5\n2 1\n255\nab"), 1, 1, "f.pgm"); }),
              "f.pgm: image is 2x1, expected 1x1");
    EXPECT_EQ(error_of([&] { io::decode_pgm(pgm("P5\n2 1\n1023\n\x01"), 2, 1, "f.pgm"); }),
              "f.pgm: expected 4 bytes of samples after the PGM header, got 1");
    const std::string high("P5\n1 1\n1023\n\x04\x00", 14);
    EXPECT_EQ(error_of([&] { io::decode_pgm(pgm(high), 1, 1, "f.pgm"); }),
              "f.pgm: sample 1024 exceeds the maxval 1023");
}

// An 8-bit image in another PNG kind, written with libpng's simple interface.
std::vector<uint8_t> png_of_kind(png_uint_32 format, uint32_t width, uint32_t height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = format;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image), 0x40);
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr);
    std::vector<uint8_t> out(size);
    EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr));
    out.resize(size);
    return out;
}

TEST(Png, SixteenBitGrayscaleRoundTrip) {
    io_test::scratch_dir dir;
    const std::vector<uint16_t> v = ramp(7, 5, 9973, 0xFFFF);
    io::write_frame(dir / "f.png", v, frame_format::png, 7, 5);
    EXPECT_EQ(io::read_frame(dir / "f.png", frame_format::png, 7, 5), v);
}

TEST(Png, OtherKindsSizesAndDamageAreRejected) {
    const std::vector<uint8_t> gray8 = png_of_kind(PNG_FORMAT_GRAY, 4, 2);
    EXPECT_EQ(error_of([&] { io::decode_png(gray8, 4, 2, "f.png"); }),
              "f.png: expected a 16-bit grayscale PNG, got 8-bit grayscale");
    const std::vector<uint8_t> rgb = png_of_kind(PNG_FORMAT_RGB, 4, 2);
    EXPECT_EQ(error_of([&] { io::decode_png(rgb, 4, 2, "f.png"); }),
              "f.png: expected a 16-bit grayscale PNG, got 8-bit RGB");

    const std::vector<uint16_t> v = ramp(6, 4, 4099, 0xFFFF);
    std::vector<uint8_t> good = io::encode_png(v, 6, 4, "f.png");
    EXPECT_EQ(error_of([&] { io::decode_png(good, 4, 6, "f.png"); }),
              "f.png: image is 6x4, expected 4x6");
    good.resize(good.size() / 2);
    EXPECT_THAT(error_of([&] { io::decode_png(good, 6, 4, "f.png"); }),
                HasSubstr("f.png: unreadable PNG: "));
    const std::vector<uint8_t> text = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'};
    EXPECT_EQ(error_of([&] { io::decode_png(text, 6, 4, "f.png"); }), "f.png: not a PNG file");
}

TEST(FrameFiles, FormatFollowsTheExtension) {
    EXPECT_EQ(io::frame_format_of("a/b.PGM"), frame_format::pgm);
    EXPECT_EQ(io::frame_format_of("b.png"), frame_format::png);
    EXPECT_EQ(io::frame_format_of("b.raw10"), frame_format::raw10);
    EXPECT_EQ(io::frame_format_of("b.raw"), frame_format::raw16);
    EXPECT_EQ(io::frame_format_of("b"), frame_format::raw16);
    EXPECT_EQ(error_of([] { io::frame_format_from_name("tiff", "m.json"); }),
              "m.json: unknown frame format 'tiff' (raw16, raw10, pgm or png)");
}

TEST(FrameFiles, FailedWriteLeavesTheOldFileAndNoTemporary) {
    io_test::scratch_dir dir;
    const std::vector<uint16_t> ok = {1, 2, 3, 4};
    io::write_frame(dir / "f.raw10", ok, frame_format::raw10, 2, 2);
    const std::string before = io_test::read_text(dir / "f.raw10");
    const std::vector<uint16_t> bad = {1, 2, 3, 4096};
    EXPECT_THAT(error_of([&] { io::write_frame(dir / "f.raw10", bad, frame_format::raw10, 2, 2); }),
                HasSubstr("does not fit in 10 bits"));
    EXPECT_EQ(io_test::read_text(dir / "f.raw10"), before);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"f.raw10"});
    EXPECT_THAT(error_of([&] { io::write_frame(dir / "no/f.raw", ok, frame_format::raw16, 2, 2); }),
                HasSubstr("/no/f.raw: cannot create: No such file or directory"));
}

}  // namespace
