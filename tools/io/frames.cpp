#include "io/frames.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include "io/files.h"

namespace orvane_tool::io {

namespace {

std::string dims(uint32_t width, uint32_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

uint64_t pixels(uint32_t width, uint32_t height) { return uint64_t{width} * uint64_t{height}; }

void check_sample_count(std::span<const uint16_t> samples, uint32_t width, uint32_t height,
                        const std::string& source) {
    if (samples.size() != pixels(width, height))
        throw io_error(source + ": " + std::to_string(samples.size()) + " samples for a " +
                       dims(width, height) + " frame");
}

[[noreturn]] void raw16_size_error(uint64_t size, uint32_t width, uint32_t height,
                                   const std::string& source) {
    throw io_error(source + ": expected " + dims(width, height) + " 16-bit samples (" +
                   std::to_string(pixels(width, height) * 2) + " bytes), got " +
                   std::to_string(size) + " bytes");
}

void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v & 0xFF);
}

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// ---- PGM header -------------------------------------------------------------

struct pgm_header {
    uint64_t width = 0;
    uint64_t height = 0;
    uint64_t maxval = 0;
    size_t data_offset = 0;
};

// Whitespace and '#' comments between header tokens, then one number.
bool pgm_number(std::span<const uint8_t> b, size_t& pos, uint64_t& out) {
    for (;;) {
        while (pos < b.size() && (b[pos] == ' ' || b[pos] == '\t' || b[pos] == '\n' ||
                                  b[pos] == '\r' || b[pos] == '\v' || b[pos] == '\f'))
            ++pos;
        if (pos < b.size() && b[pos] == '#') {
            while (pos < b.size() && b[pos] != '\n' && b[pos] != '\r') ++pos;
            continue;
        }
        break;
    }
    if (pos >= b.size() || b[pos] < '0' || b[pos] > '9') return false;
    out = 0;
    while (pos < b.size() && b[pos] >= '0' && b[pos] <= '9') {
        out = out * 10 + static_cast<uint64_t>(b[pos] - '0');
        if (out > 0xFFFFFFFFull) return false;
        ++pos;
    }
    return true;
}

pgm_header parse_pgm_header(std::span<const uint8_t> b, const std::string& source) {
    if (b.size() < 2 || b[0] != 'P' || b[1] != '5')
        throw io_error(source + ": not a binary PGM file (no P5 signature)");
    pgm_header h;
    size_t pos = 2;
    if (!pgm_number(b, pos, h.width) || !pgm_number(b, pos, h.height) ||
        !pgm_number(b, pos, h.maxval) || pos >= b.size())
        throw io_error(source + ": truncated or malformed PGM header");
    if (h.maxval < 1 || h.maxval > 65535)
        throw io_error(source + ": PGM maxval " + std::to_string(h.maxval) +
                       " is outside 1..65535");
    const uint8_t sep = b[pos];
    if (sep != ' ' && sep != '\t' && sep != '\n' && sep != '\r')
        throw io_error(source + ": malformed PGM header");
    h.data_offset = pos + 1;
    return h;
}

// ---- PNG through libpng -------------------------------------------------------

struct png_io {
    std::span<const uint8_t> in;
    size_t pos = 0;
    std::vector<uint8_t>* out = nullptr;
    char message[160] = {};
};

void png_fail(png_structp png, png_const_charp msg) {
    auto* io = static_cast<png_io*>(png_get_error_ptr(png));
    std::snprintf(io->message, sizeof io->message, "%s", msg);
    png_longjmp(png, 1);
}

void png_ignore_warning(png_structp, png_const_charp) {}

void png_read_bytes(png_structp png, png_bytep out, size_t n) {
    auto* io = static_cast<png_io*>(png_get_io_ptr(png));
    if (n > io->in.size() - io->pos) png_error(png, "truncated file");
    std::memcpy(out, io->in.data() + io->pos, n);
    io->pos += n;
}

void png_write_bytes(png_structp png, png_bytep data, size_t n) {
    auto* io = static_cast<png_io*>(png_get_io_ptr(png));
    io->out->insert(io->out->end(), data, data + n);
}

void png_flush_nothing(png_structp) {}

const char* png_kind(int color_type) {
    switch (color_type) {
        case PNG_COLOR_TYPE_GRAY: return "grayscale";
        case PNG_COLOR_TYPE_GRAY_ALPHA: return "grayscale with alpha";
        case PNG_COLOR_TYPE_RGB: return "RGB";
        case PNG_COLOR_TYPE_RGB_ALPHA: return "RGBA";
        case PNG_COLOR_TYPE_PALETTE: return "palette";
    }
    return "unknown";
}

// The setjmp frames hold only trivially destructible locals, so libpng's
// longjmp on an error skips no destructor.
bool png_read_header(png_structp png, png_infop info, png_uint_32& width, png_uint_32& height,
                     int& depth, int& color) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_info(png, info);
    int interlace = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &color, &interlace, nullptr, nullptr);
    return true;
}

bool png_read_pixels(png_structp png, png_infop info, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    png_read_end(png, info);
    return true;
}

bool png_write_pixels(png_structp png, png_infop info, png_io* io, uint32_t width, uint32_t height,
                      const uint16_t* samples, uint8_t* row) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, io, png_write_bytes, png_flush_nothing);
    png_set_compression_level(png, 3);
    png_set_IHDR(png, info, width, height, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y) {
        const uint16_t* line = samples + size_t{y} * width;
        for (uint32_t x = 0; x < width; ++x) put_be16(row + 2 * size_t{x}, line[x]);
        png_write_row(png, row);
    }
    png_write_end(png, info);
    return true;
}

}  // namespace

const char* frame_format_name(frame_format format) {
    switch (format) {
        case frame_format::raw16: return "raw16";
        case frame_format::raw10: return "raw10";
        case frame_format::pgm: return "pgm";
        case frame_format::png: return "png";
    }
    return "?";
}

const char* frame_extension(frame_format format) {
    switch (format) {
        case frame_format::raw16: return ".raw";
        case frame_format::raw10: return ".raw10";
        case frame_format::pgm: return ".pgm";
        case frame_format::png: return ".png";
    }
    return "";
}

frame_format frame_format_from_name(std::string_view name, const std::string& source) {
    for (frame_format f :
         {frame_format::raw16, frame_format::raw10, frame_format::pgm, frame_format::png})
        if (name == frame_format_name(f)) return f;
    std::string shown(name.substr(0, 40));
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    throw io_error(source + ": unknown frame format '" + shown + (name.size() > 40 ? "..." : "") +
                   "' (raw16, raw10, pgm or png)");
}

frame_format frame_format_of(const std::string& path) {
    const std::string ext = extension_of(path);
    if (ext == ".pgm") return frame_format::pgm;
    if (ext == ".png") return frame_format::png;
    if (ext == ".raw10") return frame_format::raw10;
    return frame_format::raw16;
}

uint64_t raw10_line_bytes(uint32_t width) { return (uint64_t{width} * 5 + 3) / 4; }

// ---- raw16 ------------------------------------------------------------------

std::vector<uint16_t> decode_raw16(std::span<const uint8_t> bytes, uint32_t width, uint32_t height,
                                   const std::string& source) {
    if (bytes.size() != pixels(width, height) * 2)
        raw16_size_error(bytes.size(), width, height, source);
    std::vector<uint16_t> samples(pixels(width, height));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

std::vector<uint8_t> encode_raw16(std::span<const uint16_t> samples) {
    std::vector<uint8_t> bytes(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(samples[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(samples[i] >> 8);
    }
    return bytes;
}

// ---- RAW10 -------------------------------------------------------------------

namespace {

// The stride in use (0: the packed line), after checking that a file of
// `size` bytes holds exactly `height` lines of it.
uint64_t raw10_stride_for(uint64_t size, uint32_t width, uint32_t height, uint64_t stride,
                          const std::string& source) {
    const uint64_t line = raw10_line_bytes(width);
    if (stride == 0) stride = line;
    if (stride < line)
        throw io_error(source + ": RAW10 stride of " + std::to_string(stride) +
                       " bytes is shorter than a " + std::to_string(width) + "-pixel line (" +
                       std::to_string(line) + " bytes)");
    const uint64_t expected = stride * height;  // stride < 2^33, height < 2^32
    if (size != expected)
        throw io_error(source + ": expected " + dims(width, height) + " RAW10 pixels with a " +
                       std::to_string(stride) + "-byte stride (" + std::to_string(expected) +
                       " bytes), got " + std::to_string(size) + " bytes");
    return stride;
}

}  // namespace

std::vector<uint16_t> decode_raw10(std::span<const uint8_t> bytes, uint32_t width, uint32_t height,
                                   uint64_t stride, const std::string& source) {
    stride = raw10_stride_for(bytes.size(), width, height, stride, source);
    std::vector<uint16_t> samples(pixels(width, height));
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* in = bytes.data() + stride * y;
        uint16_t* out = samples.data() + size_t{y} * width;
        for (uint32_t x0 = 0; x0 < width; x0 += 4) {
            const uint32_t k = width - x0 < 4 ? width - x0 : 4;
            const uint8_t low = in[k];
            for (uint32_t i = 0; i < k; ++i)
                out[x0 + i] = static_cast<uint16_t>((in[i] << 2) | ((low >> (2 * i)) & 3));
            in += k + 1;
        }
    }
    return samples;
}

std::vector<uint8_t> encode_raw10(std::span<const uint16_t> samples, uint32_t width,
                                  uint32_t height, const std::string& source) {
    check_sample_count(samples, width, height, source);
    const uint64_t line = raw10_line_bytes(width);
    std::vector<uint8_t> bytes(line * height);
    for (uint32_t y = 0; y < height; ++y) {
        const uint16_t* in = samples.data() + size_t{y} * width;
        uint8_t* out = bytes.data() + line * y;
        for (uint32_t x0 = 0; x0 < width; x0 += 4) {
            const uint32_t k = width - x0 < 4 ? width - x0 : 4;
            uint8_t low = 0;
            for (uint32_t i = 0; i < k; ++i) {
                const uint16_t v = in[x0 + i];
                if (v > 1023)
                    throw io_error(source + ": sample " + std::to_string(v) + " at (" +
                                   std::to_string(x0 + i) + ", " + std::to_string(y) +
                                   ") does not fit in 10 bits");
                out[i] = static_cast<uint8_t>(v >> 2);
                low = static_cast<uint8_t>(low | ((v & 3) << (2 * i)));
            }
            out[k] = low;
            out += k + 1;
        }
    }
    return bytes;
}

// ---- PGM ----------------------------------------------------------------------

std::vector<uint16_t> decode_pgm(std::span<const uint8_t> bytes, uint32_t width, uint32_t height,
                                 const std::string& source) {
    const pgm_header h = parse_pgm_header(bytes, source);
    if (h.width != width || h.height != height)
        throw io_error(source + ": image is " + std::to_string(h.width) + "x" +
                       std::to_string(h.height) + ", expected " + dims(width, height));
    const uint64_t per_sample = h.maxval > 255 ? 2 : 1;
    const uint64_t expected = pixels(width, height) * per_sample;
    const uint64_t present = bytes.size() - h.data_offset;
    if (present != expected)
        throw io_error(source + ": expected " + std::to_string(expected) +
                       " bytes of samples after the PGM header, got " + std::to_string(present));
    std::vector<uint16_t> samples(pixels(width, height));
    const uint8_t* data = bytes.data() + h.data_offset;
    for (size_t i = 0; i < samples.size(); ++i) {
        const uint16_t v = per_sample == 2 ? be16(data + 2 * i) : data[i];
        if (v > h.maxval)
            throw io_error(source + ": sample " + std::to_string(v) + " exceeds the maxval " +
                           std::to_string(h.maxval));
        samples[i] = v;
    }
    return samples;
}

std::vector<uint8_t> encode_pgm(std::span<const uint16_t> samples, uint32_t width,
                                uint32_t height) {
    const std::string header =
        "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n65535\n";
    std::vector<uint8_t> bytes(header.begin(), header.end());
    const size_t start = bytes.size();
    bytes.resize(start + samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) put_be16(bytes.data() + start + 2 * i, samples[i]);
    return bytes;
}

// ---- PNG ------------------------------------------------------------------------

std::vector<uint16_t> decode_png(std::span<const uint8_t> bytes, uint32_t width, uint32_t height,
                                 const std::string& source) {
    if (bytes.size() < 8 || png_sig_cmp(bytes.data(), 0, 8) != 0)
        throw io_error(source + ": not a PNG file");
    png_io io;
    io.in = bytes;
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, &io, png_fail, png_ignore_warning);
    if (png == nullptr) throw std::bad_alloc();
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        throw std::bad_alloc();
    }
    png_set_read_fn(png, &io, png_read_bytes);
    // Ancillary chunks (text, profiles) are never used: no memory for them.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
    png_set_chunk_malloc_max(png, 1u << 20);
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Fuzz builds only: checksums would stop nearly every mutated input at
    // the first chunk.
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
#ifdef PNG_IGNORE_ADLER32
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
#endif

    png_uint_32 w = 0, h = 0;
    int depth = 0, color = 0;
    std::string failure;
    std::vector<uint8_t> data;
    std::vector<png_bytep> rows;
    if (!png_read_header(png, info, w, h, depth, color)) {
        failure = std::string("unreadable PNG: ") + io.message;
    } else if (color != PNG_COLOR_TYPE_GRAY || depth != 16) {
        failure = "expected a 16-bit grayscale PNG, got " + std::to_string(depth) + "-bit " +
                  png_kind(color);
    } else if (w != width || h != height) {
        failure = "image is " + dims(w, h) + ", expected " + dims(width, height);
    } else {
        data.resize(pixels(width, height) * 2);
        rows.resize(height);
        for (uint32_t y = 0; y < height; ++y) rows[y] = data.data() + size_t{y} * width * 2;
        if (!png_read_pixels(png, info, rows.data()))
            failure = std::string("unreadable PNG: ") + io.message;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    if (!failure.empty()) throw io_error(source + ": " + failure);

    std::vector<uint16_t> samples(pixels(width, height));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = be16(data.data() + 2 * i);
    return samples;
}

std::vector<uint8_t> encode_png(std::span<const uint16_t> samples, uint32_t width, uint32_t height,
                                const std::string& source) {
    check_sample_count(samples, width, height, source);
    if (width == 0 || height == 0)
        throw io_error(source + ": a PNG cannot hold an empty " + dims(width, height) + " frame");
    std::vector<uint8_t> out;
    std::vector<uint8_t> row(size_t{width} * 2);
    png_io io;
    io.out = &out;
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &io, png_fail, png_ignore_warning);
    if (png == nullptr) throw std::bad_alloc();
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        throw std::bad_alloc();
    }
    const bool ok = png_write_pixels(png, info, &io, width, height, samples.data(), row.data());
    png_destroy_write_struct(&png, &info);
    if (!ok) throw io_error(source + ": cannot encode PNG: " + io.message);
    return out;
}

// ---- dispatch and files ---------------------------------------------------------------

std::vector<uint8_t> encode_frame(std::span<const uint16_t> samples, frame_format format,
                                  uint32_t width, uint32_t height, const std::string& source) {
    check_sample_count(samples, width, height, source);
    switch (format) {
        case frame_format::raw16: return encode_raw16(samples);
        case frame_format::raw10: return encode_raw10(samples, width, height, source);
        case frame_format::pgm: return encode_pgm(samples, width, height);
        case frame_format::png: return encode_png(samples, width, height, source);
    }
    throw io_error(source + ": unknown frame format");
}

uint64_t max_frame_file_bytes(frame_format format, uint32_t width, uint32_t height,
                              uint64_t raw10_stride) {
    const uint64_t samples = pixels(width, height);
    switch (format) {
        case frame_format::raw16: return samples * 2;
        case frame_format::raw10:
            return (raw10_stride == 0 ? raw10_line_bytes(width) : raw10_stride) * height;
        case frame_format::pgm: return samples * 2 + kMaxPgmHeaderBytes;
        case frame_format::png:
            // Deflate can grow incompressible data a little, and the chunks
            // and their headers add more: twice the filtered rows and a
            // megabyte is far beyond any encoder's output.
            return (samples * 2 + height) * 2 + (uint64_t{1} << 20);
    }
    return 0;
}

void check_frame_file(const std::string& path, frame_format format, uint32_t width,
                      uint32_t height, uint64_t raw10_stride) {
    if (pixels(width, height) > kMaxFrameSamples)
        throw io_error(path + ": a " + dims(width, height) + " frame has more than the " +
                       std::to_string(kMaxFrameSamples) + " samples the tool reads");
    // What the format needs is known from the frame size: a file that cannot
    // hold it, or holds far more, is refused before it is read.
    const uint64_t size = file_size(path);
    if (format == frame_format::raw16 && size != pixels(width, height) * 2)
        raw16_size_error(size, width, height, path);
    if (format == frame_format::raw10) raw10_stride_for(size, width, height, raw10_stride, path);
    const uint64_t most = max_frame_file_bytes(format, width, height, raw10_stride);
    // A PGM holds at least a byte per sample after its header.
    const uint64_t least = format == frame_format::pgm ? pixels(width, height) + 1 : 0;
    const std::string what =
        std::string("a ") + dims(width, height) + " " + frame_format_name(format) + " frame";
    if (size > most)
        throw io_error(path + ": " + std::to_string(size) + " bytes, more than " + what +
                       " may have (" + std::to_string(most) + ")");
    if (size < least)
        throw io_error(path + ": expected at least " + std::to_string(least) + " bytes for " +
                       what + ", got " + std::to_string(size) + " bytes");
}

std::vector<uint16_t> read_frame(const std::string& path, frame_format format, uint32_t width,
                                 uint32_t height, uint64_t raw10_stride) {
    check_frame_file(path, format, width, height, raw10_stride);
    const std::string what =
        std::string("a ") + dims(width, height) + " " + frame_format_name(format) + " frame";
    const std::vector<uint8_t> bytes =
        read_file(path, max_frame_file_bytes(format, width, height, raw10_stride), what.c_str());
    switch (format) {
        case frame_format::raw16: return decode_raw16(bytes, width, height, path);
        case frame_format::raw10: return decode_raw10(bytes, width, height, raw10_stride, path);
        case frame_format::pgm: return decode_pgm(bytes, width, height, path);
        case frame_format::png: return decode_png(bytes, width, height, path);
    }
    throw io_error(path + ": unknown frame format");
}

void write_frame(const std::string& path, std::span<const uint16_t> samples, frame_format format,
                 uint32_t width, uint32_t height) {
    write_file_atomic(path, encode_frame(samples, format, width, height, path));
}

}  // namespace orvane_tool::io
