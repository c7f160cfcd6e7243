#include "io/capture_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

#include "io/fields.h"
#include "io/record_checks.h"
#include "io/records.h"

namespace orvane_tool::io {

namespace {

constexpr int64_t kLensMin = std::numeric_limits<int16_t>::min();
constexpr int64_t kLensMax = std::numeric_limits<int16_t>::max();

std::string frame_name(const char* stem, frame_format format, const char* side = nullptr) {
    std::string name = stem;
    if (side != nullptr) name += std::string("_") + side;
    return name + frame_extension(format);
}

// f00, f01, ... f11: names that sort in sweep order.
std::string sweep_stem(size_t k) {
    std::string stem = "f";
    if (k < 10) stem += '0';
    stem += std::to_string(k);
    return stem;
}

// ---- saving --------------------------------------------------------------------

void check_frame(const frame& f, const std::string& what, bool dual, uint64_t samples) {
    const auto check = [&](const std::vector<uint16_t>& image, const char* name) {
        if (image.size() != samples)
            throw io_error("capture set: " + what + " " + name + " has " +
                           std::to_string(image.size()) + " samples, expected " +
                           std::to_string(samples));
    };
    if (dual) {
        check(f.left, "left image");
        check(f.right, "right image");
    } else {
        check(f.raw, "raw frame");
    }
    if (f.lens_position < kLensMin || f.lens_position > kLensMax)
        throw io_error("capture set: " + what + " lens position " +
                       std::to_string(f.lens_position) + " is outside -32768..32767");
}

void check_set(const capture_set& set) {
    const bool dual = set.kind == layout::dual;
    if (set.width == 0 || set.height == 0)
        throw io_error("capture set: empty frame size " + std::to_string(set.width) + "x" +
                       std::to_string(set.height));
    if (!dual && (set.width != set.cfg.image_width || set.height != set.cfg.image_height))
        throw io_error("capture set: frame size " + std::to_string(set.width) + "x" +
                       std::to_string(set.height) + " differs from the sensor configuration's " +
                       std::to_string(set.cfg.image_width) + "x" +
                       std::to_string(set.cfg.image_height));
    if (set.sweep.empty() || set.sweep.size() > ORVANE_FRAME_SLOTS)
        throw io_error("capture set: " + std::to_string(set.sweep.size()) +
                       " sweep frames, expected 1 to " + std::to_string(ORVANE_FRAME_SLOTS));
    const uint64_t samples = uint64_t{set.width} * set.height;
    check_frame(set.flat, "flat field", dual, samples);
    for (size_t k = 0; k < set.sweep.size(); ++k)
        check_frame(set.sweep[k], "sweep frame " + std::to_string(k), dual, samples);
}

json stage_frame(staged_files& out, const std::string& dir, const capture_set& set, const frame& f,
                 const std::string& stem, frame_format format) {
    json entry = json::object();
    entry["lens_position"] = f.lens_position;
    const auto put = [&](const std::vector<uint16_t>& image, const char* side, const char* key) {
        const std::string name = frame_name(stem.c_str(), format, side);
        const std::string path = (std::filesystem::path(dir) / name).string();
        out.add(name, encode_frame(image, format, set.width, set.height, path));
        entry[key] = name;
    };
    if (set.kind == layout::dual) {
        put(f.left, "left", "left");
        put(f.right, "right", "right");
    } else {
        put(f.raw, nullptr, "file");
    }
    return entry;
}

// ---- loading --------------------------------------------------------------------

struct frame_source {
    std::string manifest;
    layout kind;
    uint32_t width;
    uint32_t height;
    std::optional<frame_format> format;
    uint64_t raw10_stride;
};

std::vector<uint16_t> load_image(const frame_source& src, const std::string& name) {
    const std::string path = resolve_beside(src.manifest, name);
    return read_frame(path, src.format ? *src.format : frame_format_of(path), src.width, src.height,
                      src.raw10_stride);
}

// One entry of the manifest, checked but not yet read: the frame's lens
// position and the names of its files.
struct frame_entry {
    int32_t lens_position = 0;
    std::string file;  // raw layouts
    std::string left;  // dual
    std::string right;
};

frame_entry parse_frame(const frame_source& src, const json& entry, const std::string& where,
                        bool lens_required) {
    const bool dual = src.kind == layout::dual;
    const std::string source = src.manifest + ": " + where;
    const field_reader f = dual ? field_reader(entry, source, {"lens_position", "left", "right"})
                                : field_reader(entry, source, {"lens_position", "file"});
    frame_entry out;
    if (lens_required || f.has("lens_position"))
        out.lens_position = f.get<int32_t>("lens_position", kLensMin, kLensMax);
    if (dual) {
        out.left = f.text("left");
        out.right = f.text("right");
    } else {
        out.file = f.text("file");
    }
    return out;
}

frame load_frame(const frame_source& src, const frame_entry& entry) {
    frame out;
    out.lens_position = entry.lens_position;
    if (src.kind == layout::dual) {
        out.left = load_image(src, entry.left);
        out.right = load_image(src, entry.right);
    } else {
        out.raw = load_image(src, entry.file);
    }
    return out;
}

}  // namespace

layout layout_from_name(std::string_view name, const std::string& source) {
    for (layout kind : {layout::horizontal, layout::vertical, layout::dual})
        if (name == layout_name(kind)) return kind;
    throw io_error(source + ": unknown layout '" + std::string(name) +
                   "' (horizontal, vertical or dual)");
}

void save_capture_set(const capture_set& set, const std::string& dir, const ground_truth* truth,
                      frame_format format) {
    check_set(set);
    const bool dual = set.kind == layout::dual;
    staged_files out(dir);
    json manifest = json::object();
    manifest["layout"] = layout_name(set.kind);
    if (!dual) {
        out.add("sensor.json", json_text(to_json(set.cfg)));
        manifest["sensor"] = "sensor.json";
    }
    out.add("settings.json", json_text(to_json(set.settings)));
    manifest["settings"] = "settings.json";
    out.add("limits.json", json_text(to_json(set.limits)));
    manifest["limits"] = "limits.json";
    manifest["width"] = set.width;
    manifest["height"] = set.height;
    if (dual) manifest["black_level"] = set.black_level;
    manifest["format"] = frame_format_name(format);
    manifest["flat"] = stage_frame(out, dir, set, set.flat, "flat", format);
    json frames = json::array();
    for (size_t k = 0; k < set.sweep.size(); ++k)
        frames.push_back(stage_frame(out, dir, set, set.sweep[k], sweep_stem(k), format));
    manifest["frames"] = std::move(frames);
    if (truth != nullptr) {
        out.add("truth.json", json_text(to_json(*truth)));
        manifest["truth"] = "truth.json";
    }
    out.add("manifest.json", json_text(manifest));

    // An earlier manifest must not survive next to a half-renamed new set.
    const std::string old_manifest = (std::filesystem::path(dir) / "manifest.json").string();
    if (std::remove(old_manifest.c_str()) != 0 && errno != ENOENT)
        throw io_error(old_manifest + ": cannot replace: " + std::strerror(errno));
    out.commit();
}

capture_set load_capture_set(const std::string& manifest_path) {
    std::optional<ground_truth> ignored;
    return load_capture_set(manifest_path, ignored);
}

capture_set load_capture_set(const std::string& manifest_path, std::optional<ground_truth>& truth,
                             const record_overrides& overrides) {
    const json doc = read_json_file(manifest_path);
    const field_reader f(doc, manifest_path,
                         {"layout", "sensor", "settings", "limits", "width", "height",
                          "black_level", "format", "raw10_stride", "flat", "frames", "truth"});
    capture_set set;
    set.kind = layout_from_name(f.text("layout"), manifest_path + ": field 'layout'");
    const bool dual = set.kind == layout::dual;
    const auto beside = [&](const char* key) { return resolve_beside(manifest_path, f.text(key)); };
    const auto record = [&](const std::string& given, const char* key) {
        return given.empty() ? beside(key) : given;
    };

    record_names names;
    names.manifest = manifest_path;
    names.settings = record(overrides.settings, "settings");
    names.limits = record(overrides.limits, "limits");
    set.settings = load_settings(names.settings);
    set.limits = load_limits(names.limits);
    if (dual) {
        if (f.has("sensor")) f.fail("sensor", "not used by the dual layout");
        if (!overrides.sensor.empty())
            throw io_error(overrides.sensor + ": the dual layout takes no sensor configuration");
        set.width = f.get<uint32_t>("width", 1, 65535);
        set.height = f.get<uint32_t>("height", 1, 65535);
        set.black_level = f.get<uint16_t>("black_level");
    } else {
        names.sensor = record(overrides.sensor, "sensor");
        set.cfg = load_sensor_cfg(names.sensor);
        set.width = set.cfg.image_width;
        set.height = set.cfg.image_height;
        set.black_level = set.cfg.black_level;
        if (f.has("black_level"))
            f.fail("black_level", "only for the dual layout (raw layouts take the sensor's)");
        if (f.has("width") && f.get<uint32_t>("width", 0, 65535) != set.width)
            f.fail("width", "is " + std::to_string(f.get<uint32_t>("width")) +
                                ", but the sensor's image_width is " + std::to_string(set.width));
        if (f.has("height") && f.get<uint32_t>("height", 0, 65535) != set.height)
            f.fail("height", "is " + std::to_string(f.get<uint32_t>("height")) +
                                 ", but the sensor's image_height is " +
                                 std::to_string(set.height));
        if (set.width == 0 || set.height == 0)
            throw io_error(manifest_path + ": the sensor configuration gives an empty " +
                           std::to_string(set.width) + "x" + std::to_string(set.height) + " frame");
    }

    frame_source src{manifest_path, set.kind, set.width, set.height, std::nullopt, 0};
    if (f.has("format"))
        src.format = frame_format_from_name(f.text("format"), manifest_path + ": field 'format'");
    if (f.has("raw10_stride")) {
        if (src.format != frame_format::raw10)
            f.fail("raw10_stride", "only with \"format\": \"raw10\"");
        src.raw10_stride = f.get<uint64_t>("raw10_stride", 1, int64_t{1} << 32);
    }

    // Everything that can be checked without the frames is, before the first
    // frame is read.
    const frame_entry flat = parse_frame(src, f.at("flat"), "flat", dual);
    const json& frames = f.at("frames");
    if (!frames.is_array())
        f.fail("frames", "an array of 1 to " + std::to_string(ORVANE_FRAME_SLOTS) + " frames",
               frames);
    if (frames.empty() || frames.size() > ORVANE_FRAME_SLOTS)
        f.fail("frames", "expected 1 to " + std::to_string(ORVANE_FRAME_SLOTS) + " frames, got " +
                             std::to_string(frames.size()));
    std::vector<frame_entry> sweep;
    for (size_t k = 0; k < frames.size(); ++k) {
        const std::string where = "frames[" + std::to_string(k) + "]";
        sweep.push_back(parse_frame(src, frames[k], where, true));
        if (k > 0 && sweep[k].lens_position <= sweep[k - 1].lens_position)
            throw io_error(manifest_path + ": " + where + ": field 'lens_position': " +
                           std::to_string(sweep[k].lens_position) + " does not rise above frames[" +
                           std::to_string(k - 1) + "]'s " +
                           std::to_string(sweep[k - 1].lens_position) +
                           " (lens positions rise with the frame index)");
    }
    check_records(set, names);
    if (frames.size() != static_cast<size_t>(set.settings.sweep_frames))
        f.fail("frames", "has " + std::to_string(frames.size()) + " frames, but " +
                             names.settings + " has sweep_frames " +
                             std::to_string(set.settings.sweep_frames));

    set.flat = load_frame(src, flat);
    for (const frame_entry& entry : sweep) set.sweep.push_back(load_frame(src, entry));

    truth.reset();
    if (f.has("truth")) {
        const std::string path = beside("truth");
        truth = ground_truth_from_json(read_json_file(path), path);
    }
    return set;
}

}  // namespace orvane_tool::io
