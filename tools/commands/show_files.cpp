// The `orvane inspect FILE [--json]` subcommand: shows a calibration block, a
// curve-of-field or zero-PD offset block, or a state dump as grids (or JSON),
// and checks the checksum.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "io/flags.h"
#include "io/blocks.h"
#include "io/fields.h"
#include "io/files.h"
#include "io/records.h"

namespace orvane_tool {

namespace {

using io::json;

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
    return out.empty() ? "none" : out;
}

std::string hex(uint32_t v, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, v);
    return text;
}

// Shortest text that reads back to the same float.
std::string float_text(float v) {
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, v);
    return std::string(text, r.ptr);
}

// Fixed-point DCC in lens units per pixel of disparity.
float dcc_value(int16_t raw, uint16_t shift) {
    return static_cast<float>(std::ldexp(static_cast<double>(raw), -std::min<int>(shift, 1000)));
}

void grid(std::ostringstream& out, const std::string& title, size_t cols, size_t rows,
          const std::function<std::string(size_t)>& cell) {
    out << title << ":\n";
    if (cols == 0 || rows == 0) {
        out << "  (empty)\n";
        return;
    }
    std::vector<std::string> cells(cols * rows);
    size_t width = 1;
    for (size_t i = 0; i < cells.size(); ++i) width = std::max(width, (cells[i] = cell(i)).size());
    width = std::max(width, std::to_string(cols - 1).size() + 1);
    const size_t label = std::to_string(rows - 1).size() + 1;
    const auto pad = [](const std::string& s, size_t w) {
        return std::string(w > s.size() ? w - s.size() : 0, ' ') + s;
    };
    out << "  " << std::string(label, ' ');
    for (size_t c = 0; c < cols; ++c) out << ' ' << pad("c" + std::to_string(c), width);
    out << '\n';
    for (size_t r = 0; r < rows; ++r) {
        out << "  " << pad("r" + std::to_string(r), label);
        for (size_t c = 0; c < cols; ++c) out << ' ' << pad(cells[r * cols + c], width);
        out << '\n';
    }
}

template <class T>
std::function<std::string(size_t)> ints(const T* values) {
    return [values](size_t i) { return std::to_string(values[i]); };
}

std::function<std::string(size_t)> floats(const float* values) {
    return [values](size_t i) { return float_text(values[i]); };
}

template <class T>
json int_grid(const T* values, size_t cols, size_t rows) {
    return io::grid_json(values, cols, rows, [](T v) { return v; });
}

json float_grid(const float* values, size_t cols, size_t rows) {
    return io::grid_json(values, cols, rows, [](float v) { return io::float_json(v); });
}

json dcc_value_grid(const int16_t* values, size_t cols, size_t rows, uint16_t shift) {
    return io::grid_json(values, cols, rows,
                         [shift](int16_t v) { return io::float_json(dcc_value(v, shift)); });
}

// ---- blocks -------------------------------------------------------------------

const char* kind_key(io::block_kind kind) {
    switch (kind) {
        case io::block_kind::calibration: return "calibration";
        case io::block_kind::calibration_both: return "calibration_both";
        case io::block_kind::calibration_both_no_vdcc: return "calibration_both_no_vdcc";
        case io::block_kind::curve_of_field: return "curve_of_field";
        case io::block_kind::zero_pd_offset: return "zero_pd_offset";
    }
    return "?";
}

std::string checksum_line(const io::block& b) {
    std::string line = "checksum " + hex(b.stored_checksum, 2);
    if (b.stored_checksum != b.computed_checksum)
        return line + " MISMATCH (computed " + hex(b.computed_checksum, 2) + ")";
    return line + (b.intact ? " ok" : " matches, but the library's block reader rejects it");
}

std::string block_failure(const io::block& b) {
    if (b.stored_checksum != b.computed_checksum)
        return "checksum mismatch: stored " + hex(b.stored_checksum, 2) + ", computed " +
               hex(b.computed_checksum, 2);
    return "rejected by the library's block reader";
}

void text_block(std::ostringstream& out, const std::string& path, const io::block& b) {
    out << path << ": " << io::block_kind_name(b.kind) << ", " << b.length << " bytes";
    if (b.padding > 0) out << " (followed by " << b.padding << " zero bytes)";
    out << ", " << checksum_line(b) << "\n";
    const size_t wc = b.win_cols, wr = b.win_rows;
    if (b.kind == io::block_kind::curve_of_field) {
        out << "window grid " << wc << " x " << wr << " (cols x rows)\n\n";
        grid(out, "in-focus lens position per window", wc, wr, ints(b.peak_lens.data()));
        return;
    }
    if (b.kind == io::block_kind::zero_pd_offset) {
        out << "window grid " << wc << " x " << wr << " (cols x rows)\n\n";
        grid(out, "zero-PD offset per window (zero_pd_lens - peak_lens, lens units)", wc, wr,
             ints(b.zero_pd_offset.data()));
        return;
    }
    const size_t gc = b.cols, gr = b.rows;
    out << "gain grid " << gc << " x " << gr << ", window grid " << wc << " x " << wr
        << " (cols x rows), dcc_shift " << b.dcc_shift << "\n\n";
    const bool both = b.kind != io::block_kind::calibration;
    grid(out, both ? "horizontal left gains" : "first gain table (left)", gc, gr,
         ints(b.left.data()));
    grid(out, both ? "horizontal right gains" : "second gain table (right)", gc, gr,
         ints(b.right.data()));
    const std::string q = std::to_string(b.dcc_shift);
    const auto dcc_grids = [&](const std::vector<int16_t>& dcc, const std::string& which) {
        grid(out, which + "DCC per window (stored, " + q + " fraction bits)", wc, wr,
             ints(dcc.data()));
        grid(out, which + "DCC per window (lens units per pixel)", wc, wr,
             [&](size_t i) { return float_text(dcc_value(dcc[i], b.dcc_shift)); });
    };
    dcc_grids(b.dcc, both ? "horizontal " : "");
    if (!both) return;
    grid(out, "vertical left gains", gc, gr, ints(b.left_v.data()));
    grid(out, "vertical right gains", gc, gr, ints(b.right_v.data()));
    if (b.kind == io::block_kind::calibration_both) dcc_grids(b.dcc_v, "vertical ");
}

json json_block(const std::string& path, const io::block& b) {
    json j = json::object();
    j["file"] = path;
    j["kind"] = kind_key(b.kind);
    j["length"] = b.length;
    j["padding"] = b.padding;
    j["checksum"] = {
        {"stored", b.stored_checksum}, {"computed", b.computed_checksum}, {"ok", b.intact}};
    const size_t wc = b.win_cols, wr = b.win_rows;
    if (b.kind == io::block_kind::curve_of_field) {
        j["win_cols"] = b.win_cols;
        j["win_rows"] = b.win_rows;
        j["peak_lens"] = int_grid(b.peak_lens.data(), wc, wr);
        return j;
    }
    if (b.kind == io::block_kind::zero_pd_offset) {
        j["win_cols"] = b.win_cols;
        j["win_rows"] = b.win_rows;
        j["zero_pd_offset"] = int_grid(b.zero_pd_offset.data(), wc, wr);
        return j;
    }
    const size_t gc = b.cols, gr = b.rows;
    j["cols"] = b.cols;
    j["rows"] = b.rows;
    j["left"] = int_grid(b.left.data(), gc, gr);
    j["right"] = int_grid(b.right.data(), gc, gr);
    j["dcc_shift"] = b.dcc_shift;
    j["win_cols"] = b.win_cols;
    j["win_rows"] = b.win_rows;
    j["dcc"] = int_grid(b.dcc.data(), wc, wr);
    j["dcc_value"] = dcc_value_grid(b.dcc.data(), wc, wr, b.dcc_shift);
    if (b.kind == io::block_kind::calibration) return j;
    j["left_v"] = int_grid(b.left_v.data(), gc, gr);
    j["right_v"] = int_grid(b.right_v.data(), gc, gr);
    if (b.kind == io::block_kind::calibration_both) {
        j["dcc_v"] = int_grid(b.dcc_v.data(), wc, wr);
        j["dcc_v_value"] = dcc_value_grid(b.dcc_v.data(), wc, wr, b.dcc_shift);
    }
    return j;
}

// ---- state dumps -----------------------------------------------------------------

struct dump_shape {
    size_t gain_cols, gain_rows, win_cols, win_rows, frames;
};

dump_shape shape_of(const io::state_dump& d, const std::string& path) {
    dump_shape s{d.gain_cols, d.gain_rows, d.win_cols, d.win_rows, 0};
    if (s.gain_cols * s.gain_rows > ORVANE_MAX_GAIN_CELLS)
        throw io::io_error(path + ": state dump with a " + std::to_string(s.gain_cols) + " x " +
                           std::to_string(s.gain_rows) + " gain grid; it holds at most " +
                           std::to_string(ORVANE_MAX_GAIN_CELLS) + " cells");
    if (s.win_cols * s.win_rows > ORVANE_MAX_WINDOWS)
        throw io::io_error(path + ": state dump with a " + std::to_string(s.win_cols) + " x " +
                           std::to_string(s.win_rows) + " window grid; it holds at most " +
                           std::to_string(ORVANE_MAX_WINDOWS) + " windows");
    // The frames of the sweep: as many as were added or the sweep expects.
    const int frames = std::max<int>(d.frames_added, d.sweep_frames);
    s.frames = static_cast<size_t>(std::clamp(frames, 0, ORVANE_FRAME_SLOTS));
    return s;
}

void text_dump(std::ostringstream& out, const std::string& path, const io::state_dump& d) {
    const dump_shape s = shape_of(d, path);
    out << path << ": state dump, " << ORVANE_STATE_DUMP_SIZE << " bytes (no checksum)\n"
        << "dump_tag " << d.dump_tag << ", focus_abs_sum " << unsigned{d.focus_abs_sum}
        << ", bayer_channel " << unsigned{d.bayer_channel} << "\n"
        << "frames_added " << d.frames_added << ", sweep_frames " << d.sweep_frames
        << ", frames_fitted " << d.frames_fitted << ", max_shift " << d.max_shift << ", win_margin "
        << float_text(d.win_margin) << "\n"
        << "window grid " << s.win_cols << " x " << s.win_rows << ", gain grid " << s.gain_cols
        << " x " << s.gain_rows << " (cols x rows), dcc_shift " << d.dcc_shift << "\n"
        << "dcc_flags " << hex(d.dcc_flags, 4) << ": "
        << joined(flag_list(d.dcc_flags, ORVANE_FLAGS_DCC_MAP)) << "\n\n";
    const size_t wc = s.win_cols, wr = s.win_rows;
    grid(out, "gain map of frame 0, left", s.gain_cols, s.gain_rows, ints(d.gain_left));
    grid(out, "gain map of frame 0, right", s.gain_cols, s.gain_rows, ints(d.gain_right));
    grid(out, "DCC per window (stored, " + std::to_string(d.dcc_shift) + " fraction bits)", wc, wr,
         ints(d.dcc));
    grid(out, "DCC per window (lens units per pixel)", wc, wr,
         [&](size_t i) { return float_text(dcc_value(d.dcc[i], d.dcc_shift)); });
    grid(out, "peak_lens (in-focus lens position)", wc, wr, ints(d.peak_lens));
    grid(out, "zero_pd_lens (lens position at zero disparity)", wc, wr, ints(d.zero_pd_lens));
    grid(out, "zero_pd_offset", wc, wr, ints(d.zero_pd_offset));
    grid(out, "zero_pd_offset_norm", wc, wr, floats(d.zero_pd_offset_norm));
    grid(out, "dcc_dev_limit", wc, wr, floats(d.dcc_dev_limit));
    grid(out, "fit_residual", wc, wr, floats(d.fit_residual));
    for (size_t k = 0; k < s.frames; ++k) {
        const io::dump_frame& f = d.slots[k];
        out << "\nframe " << k << ": lens position " << f.lens_position << "\n";
        grid(out, "PD (pixels of disparity)", wc, wr, floats(f.pd));
        grid(out, "focus", wc, wr, floats(f.focus));
        grid(out, "confidence", wc, wr, ints(f.confidence));
        uint32_t any = 0;
        for (size_t w = 0; w < wc * wr; ++w) any |= f.flags[w];
        if (any != 0)
            grid(out, "window flags", wc, wr, [&](size_t w) {
                return f.flags[w] == 0 ? std::string("-")
                                       : joined(flag_list(f.flags[w], ORVANE_FLAGS_FRAME));
            });
    }
}

json json_dump(const std::string& path, const io::state_dump& d) {
    const dump_shape s = shape_of(d, path);
    const size_t wc = s.win_cols, wr = s.win_rows;
    json j = json::object();
    j["file"] = path;
    j["kind"] = "state_dump";
    j["length"] = ORVANE_STATE_DUMP_SIZE;
    j["dump_tag"] = d.dump_tag;
    j["focus_abs_sum"] = d.focus_abs_sum;
    j["gain_cols"] = d.gain_cols;
    j["gain_rows"] = d.gain_rows;
    j["gain_left"] = int_grid(d.gain_left, s.gain_cols, s.gain_rows);
    j["gain_right"] = int_grid(d.gain_right, s.gain_cols, s.gain_rows);
    j["dcc_shift"] = d.dcc_shift;
    j["win_cols"] = d.win_cols;
    j["win_rows"] = d.win_rows;
    j["dcc"] = int_grid(d.dcc, wc, wr);
    j["dcc_value"] = dcc_value_grid(d.dcc, wc, wr, d.dcc_shift);
    j["peak_lens"] = int_grid(d.peak_lens, wc, wr);
    j["zero_pd_lens"] = int_grid(d.zero_pd_lens, wc, wr);
    j["zero_pd_offset"] = int_grid(d.zero_pd_offset, wc, wr);
    j["zero_pd_offset_norm"] = float_grid(d.zero_pd_offset_norm, wc, wr);
    j["fit_residual"] = float_grid(d.fit_residual, wc, wr);
    j["dcc_dev_limit"] = float_grid(d.dcc_dev_limit, wc, wr);
    j["frames_added"] = d.frames_added;
    j["sweep_frames"] = d.sweep_frames;
    j["frames_fitted"] = d.frames_fitted;
    j["max_shift"] = d.max_shift;
    j["win_margin"] = io::float_json(d.win_margin);
    j["bayer_channel"] = d.bayer_channel;
    j["dcc_flags"] = d.dcc_flags;
    j["dcc_flag_names"] = flag_list(d.dcc_flags, ORVANE_FLAGS_DCC_MAP);
    json frames = json::array();
    for (size_t k = 0; k < s.frames; ++k) {
        const io::dump_frame& f = d.slots[k];
        json fj = json::object();
        fj["index"] = k;
        fj["lens_position"] = f.lens_position;
        fj["pd"] = float_grid(f.pd, wc, wr);
        fj["focus"] = float_grid(f.focus, wc, wr);
        fj["confidence"] = int_grid(f.confidence, wc, wr);
        fj["flags"] = int_grid(f.flags, wc, wr);
        frames.push_back(std::move(fj));
    }
    j["frames"] = std::move(frames);
    return j;
}

void run_inspect(const std::string& path, bool as_json) {
    if (io::file_size(path) > ORVANE_STATE_DUMP_SIZE)
        throw io::io_error(path + ": " + std::to_string(io::file_size(path)) +
                           " bytes: larger than a state dump (" +
                           std::to_string(ORVANE_STATE_DUMP_SIZE) + ") and any block");
    const std::vector<uint8_t> bytes = io::read_file(path);
    const io::library_file file = io::parse_library_file(bytes, path);
    std::ostringstream out;
    const io::block* blk = std::get_if<io::block>(&file);
    if (blk != nullptr) {
        if (as_json)
            out << io::json_text(json_block(path, *blk));
        else
            text_block(out, path, *blk);
    } else {
        const auto& dump = std::get<io::state_dump>(file);
        if (as_json)
            out << io::json_text(json_dump(path, dump));
        else
            text_dump(out, path, dump);
    }
    std::fputs(out.str().c_str(), stdout);
    std::fflush(stdout);
    if (blk != nullptr && !blk->intact) throw io::io_error(path + ": " + block_failure(*blk));
}

}  // namespace

void add_inspect_command(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "inspect", "Show a calibration block, a curve-of-field block or a state dump");
    auto path = std::make_shared<std::string>();
    auto as_json = std::make_shared<bool>(false);
    cmd->add_option("FILE", *path, "block or state dump written by the library")->required();
    cmd->add_flag("--json", *as_json, "print JSON instead of grids");
    cmd->callback([path, as_json] { run_inspect(*path, *as_json); });
}

}  // namespace orvane_tool
