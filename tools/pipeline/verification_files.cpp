// Reading a calibration folder for the verification.
#include <algorithm>
#include <filesystem>

#include "io/capture_io.h"
#include "io/files.h"
#include "orvane.h"
#include "pipeline/verification.h"

namespace orvane_tool {
namespace {

namespace fs = std::filesystem;

std::string in_dir(const std::string& dir, const char* name) {
    return (fs::path(dir) / name).string();
}

}  // namespace

calibration_files load_calibration(const std::string& dir) {
    calibration_files c;
    c.dir = dir;
    c.block_path = in_dir(dir, "calibration_block.bin");
    c.cof_path = in_dir(dir, "curve_of_field_block.bin");
    c.zero_pd_path = in_dir(dir, "zero_pd_offset_block.bin");
    c.dump_path = in_dir(dir, "state_dump.bin");
    c.summary_path = in_dir(dir, "summary.json");
    std::error_code ec;

    if (!fs::is_regular_file(c.block_path, ec))
        throw io::io_error(c.block_path +
                           ": missing: the calibration folder has no calibration block");
    c.block = io::parse_block(io::read_file(c.block_path), c.block_path);
    if (c.block.kind == io::block_kind::curve_of_field ||
        c.block.kind == io::block_kind::zero_pd_offset)
        throw io::io_error(c.block_path + ": a " + io::block_kind_name(c.block.kind) +
                           ", not a calibration block");
    if (!c.block.intact)
        throw io::io_error(c.block_path + ": damaged: format tag or checksum wrong");

    if (!fs::is_regular_file(c.cof_path, ec))
        throw io::io_error(c.cof_path +
                           ": missing: the calibration folder has no curve-of-field block");
    c.cof = io::parse_block(io::read_file(c.cof_path), c.cof_path);
    if (c.cof.kind != io::block_kind::curve_of_field)
        throw io::io_error(c.cof_path + ": a " + io::block_kind_name(c.cof.kind) +
                           ", not a curve-of-field block");
    if (!c.cof.intact) throw io::io_error(c.cof_path + ": damaged: format tag or checksum wrong");

    // The library's reader owns the format: it checks the size, tag and checksum.
    if (fs::is_regular_file(c.zero_pd_path, ec)) {
        const std::vector<uint8_t> bytes =
            io::read_file(c.zero_pd_path, ORVANE_BLOCK_ZERO_PD_BUFFER_SIZE, "zero-PD offset block");
        zero_pd_map map{};
        if (Orvane_read_zero_pd_offset_block(bytes.data(), static_cast<uint32_t>(bytes.size()),
                                             &map) != 0)
            throw io::io_error(c.zero_pd_path + ": damaged: size, format tag or checksum wrong");
        c.zero_pd = map;
    }

    if (fs::is_regular_file(c.dump_path, ec)) {
        c.dump = io::parse_state_dump(io::read_file(c.dump_path), c.dump_path);
    }
    if (fs::is_regular_file(c.summary_path, ec)) {
        const io::json s = io::read_json_file(c.summary_path);
        if (s.is_object() && s.contains("layout") && s["layout"].is_string()) {
            c.kind = io::layout_from_name(s["layout"].get<std::string>(), c.summary_path);
        }
        if (s.is_object() && s.contains("lens_positions") && s["lens_positions"].is_array()) {
            for (const io::json& v : s["lens_positions"]) {
                if (!v.is_number_integer())
                    throw io::io_error(c.summary_path + ": lens_positions: not an integer list");
                c.sweep_lens.push_back(v.get<int32_t>());
            }
        }
    }
    if (c.sweep_lens.size() < 2 && c.dump && c.dump->sweep_frames >= 2) {
        c.sweep_lens.clear();
        const int frames = std::min<int>(c.dump->sweep_frames, ORVANE_FRAME_SLOTS);
        for (int k = 0; k < frames; ++k) c.sweep_lens.push_back(c.dump->slots[k].lens_position);
    }
    return c;
}

}  // namespace orvane_tool
