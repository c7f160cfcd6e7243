// Frame files are untrusted input: whatever the bytes, a decoder either
// gives exactly width x height samples or refuses with io_error, one line,
// never reading outside the file nor allocating more than the frame. What it
// accepts is encoded again and decodes to the very same samples.
//
// Bytes 0: format (raw16, raw10, pgm, png); 1-2: width - 1 (mod 256);
// 3-4: height - 1 (mod 256); 5: RAW10 stride beyond the packed line (0: none);
// the rest: the file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/files.h"
#include "io/frames.h"

using namespace orvane_tool::io;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const auto format = static_cast<frame_format>(data[0] % 4);
    const uint32_t width = 1 + ((data[1] | (data[2] << 8)) % 256);
    const uint32_t height = 1 + ((data[3] | (data[4] << 8)) % 256);
    const uint64_t stride = data[5] == 0 ? 0 : raw10_line_bytes(width) + data[5] - 1;
    const std::span<const uint8_t> file(data + 6, size - 6);
    if (file.size() > max_frame_file_bytes(format, width, height, stride))
        return 0;  // refused by read_frame before it is read
    std::vector<uint16_t> samples;
    try {
        switch (format) {
            case frame_format::raw16: samples = decode_raw16(file, width, height, "f"); break;
            case frame_format::raw10:
                samples = decode_raw10(file, width, height, stride, "f");
                break;
            case frame_format::pgm: samples = decode_pgm(file, width, height, "f"); break;
            case frame_format::png: samples = decode_png(file, width, height, "f"); break;
        }
    } catch (const io_error& e) {
        const std::string what = e.what();
        if (what.rfind("f: ", 0) != 0 || what.find('\n') != std::string::npos) std::abort();
        return 0;
    }
    if (samples.size() != size_t{width} * height) std::abort();
    const std::vector<uint8_t> again = encode_frame(samples, format, width, height, "g");
    std::vector<uint16_t> back;
    switch (format) {
        case frame_format::raw16: back = decode_raw16(again, width, height, "g"); break;
        case frame_format::raw10: back = decode_raw10(again, width, height, 0, "g"); break;
        case frame_format::pgm: back = decode_pgm(again, width, height, "g"); break;
        case frame_format::png: back = decode_png(again, width, height, "g"); break;
    }
    if (back != samples) std::abort();
    return 0;
}
