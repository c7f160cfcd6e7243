// Frame files: 16-bit little-endian raw, MIPI CSI-2 packed RAW10, 16-bit
// PGM and 16-bit grayscale PNG. Samples are sensor codes, never rescaled.
// Readers check the frame size against the size the caller expects.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane_tool::io {

enum class frame_format { raw16, raw10, pgm, png };

const char* frame_format_name(frame_format format);  // "raw16", "raw10", "pgm", "png"
const char* frame_extension(frame_format format);    // ".raw", ".raw10", ".pgm", ".png"
// Throws io_error naming `source` for an unknown name.
frame_format frame_format_from_name(std::string_view name, const std::string& source);
// By extension: .pgm, .png, .raw10; anything else is 16-bit raw.
frame_format frame_format_of(const std::string& path);

// Bytes of one RAW10 line: width * 5 / 4 rounded up (a last group of k < 4
// pixels takes k bytes plus one byte of low bits).
uint64_t raw10_line_bytes(uint32_t width);

// In-memory codecs; `source` names the data in errors. A raw10 stride of 0
// means the packed line length.
std::vector<uint16_t> decode_raw16(std::span<const uint8_t> bytes, uint32_t width, uint32_t height,
                                   const std::string& source);
std::vector<uint8_t> encode_raw16(std::span<const uint16_t> samples);
std::vector<uint16_t> decode_raw10(std::span<const uint8_t> bytes, uint32_t width, uint32_t height,
                                   uint64_t stride, const std::string& source);
std::vector<uint8_t> encode_raw10(std::span<const uint16_t> samples, uint32_t width,
                                  uint32_t height, const std::string& source);
std::vector<uint16_t> decode_pgm(std::span<const uint8_t> bytes, uint32_t width, uint32_t height,
                                 const std::string& source);
std::vector<uint8_t> encode_pgm(std::span<const uint16_t> samples, uint32_t width, uint32_t height);
std::vector<uint16_t> decode_png(std::span<const uint8_t> bytes, uint32_t width, uint32_t height,
                                 const std::string& source);
std::vector<uint8_t> encode_png(std::span<const uint16_t> samples, uint32_t width, uint32_t height,
                                const std::string& source);

std::vector<uint8_t> encode_frame(std::span<const uint16_t> samples, frame_format format,
                                  uint32_t width, uint32_t height, const std::string& source);

// Largest frame the tool reads, in samples: above the frame whose Bayer
// channel image fills the library's capacity, and a cap on what one file can
// make the tool allocate.
constexpr uint64_t kMaxFrameSamples = 100'000'000;
// Bytes a PGM header (comments included) may take before the samples.
constexpr uint64_t kMaxPgmHeaderBytes = 65536;

// Largest file of a frame of this size in this format that read_frame takes.
uint64_t max_frame_file_bytes(frame_format format, uint32_t width, uint32_t height,
                              uint64_t raw10_stride = 0);

// Whether the file can hold a frame of this size in this format, from its
// size alone (a PNG's only against the largest it may be); throws io_error
// naming the file, the size expected and the size found.
void check_frame_file(const std::string& path, frame_format format, uint32_t width,
                      uint32_t height, uint64_t raw10_stride = 0);

// Files. The frame size is checked against kMaxFrameSamples and the file's
// size against what the format needs before anything is read.
std::vector<uint16_t> read_frame(const std::string& path, frame_format format, uint32_t width,
                                 uint32_t height, uint64_t raw10_stride = 0);
void write_frame(const std::string& path, std::span<const uint16_t> samples, frame_format format,
                 uint32_t width, uint32_t height);

}  // namespace orvane_tool::io
