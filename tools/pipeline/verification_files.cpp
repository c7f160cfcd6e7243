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
    c.dump_path = in_dir(dir, "state_dump.bin");
    c.summary_path = in_dir(dir, "summary.json");
    std::error_code ec;

    if (!fs::is_regular_file(c.block_path, ec))
        throw io::io_error(c.block_path +
                           ": missing: the calibration folder has no calibration block");
    c.block = io::parse_block(io::read_file(c.block_path), c.block_path);
    if (c.block.kind == io::block_kind::curve_of_field)
        throw io::io_error(c.block_path + ": a curve-of-field block, not a calibration block");
    if (!c.block.intact)
        throw io::io_error(c.block_path + ": damaged: format tag or checksum wrong");

    if (!fs::is_regular_file(c.cof_path, ec))
        throw io::io_error(c.cof_path +
                           ": missing: the calibration folder has no curve-of-field block");
    c.cof = io::parse_block(io::read_file(c.cof_path), c.cof_path);
    if (c.cof.kind != io::block_kind::curve_of_field)
        throw io::io_error(c.cof_path + ": a calibration block, not a curve-of-field block");
    if (!c.cof.intact) throw io::io_error(c.cof_path + ": damaged: format tag or checksum wrong");

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
