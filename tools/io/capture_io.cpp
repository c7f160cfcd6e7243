#include "io/capture_io.h"

#include <algorithm>
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

// The frame's manifest entry, and its files unless `images` is false.
json stage_frame(staged_files& out, const std::string& dir, const capture_set& set, const frame& f,
                 const std::string& stem, frame_format format, bool images = true) {
    json entry = json::object();
    entry["lens_position"] = f.lens_position;
    const auto put = [&](const std::vector<uint16_t>& image, const char* side, const char* key) {
        const std::string name = frame_name(stem.c_str(), format, side);
        const std::string path = (std::filesystem::path(dir) / name).string();
        if (images) out.add(name, encode_frame(image, format, set.width, set.height, path));
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

frame_entry parse_frame(const manifest& m, const json& entry, const std::string& where,
                        bool lens_required) {
    const bool dual = m.kind == layout::dual;
    const std::string source = m.path + ": " + where;
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

}  // namespace

layout layout_from_name(std::string_view name, const std::string& source) {
    for (layout kind : {layout::horizontal, layout::vertical, layout::dual})
        if (name == layout_name(kind)) return kind;
    throw io_error(source + ": unknown layout '" + shown_key(std::string(name)) +
                   "' (horizontal, vertical or dual)");
}

namespace {

// The set's records and manifest, and its frame files when `images`.
void stage_set(staged_files& out, const capture_set& set, const std::string& dir,
               const ground_truth* truth, frame_format format, bool images) {
    const bool dual = set.kind == layout::dual;
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
    manifest["flat"] = stage_frame(out, dir, set, set.flat, "flat", format, images);
    json frames = json::array();
    for (size_t k = 0; k < set.sweep.size(); ++k)
        frames.push_back(stage_frame(out, dir, set, set.sweep[k], sweep_stem(k), format, images));
    manifest["frames"] = std::move(frames);
    if (truth != nullptr) {
        out.add("truth.json", json_text(to_json(*truth)));
        manifest["truth"] = "truth.json";
    }
    out.add("manifest.json", json_text(manifest));
}

}  // namespace

void save_capture_set(const capture_set& set, const std::string& dir, const ground_truth* truth,
                      frame_format format) {
    check_set(set);
    staged_files out(dir);
    stage_set(out, set, dir, truth, format, true);
    out.commit();
}

void save_capture_plan(const capture_set& plan, const std::string& dir, frame_format format,
                       const std::vector<std::pair<std::string, std::string>>& extra) {
    staged_files out(dir);
    stage_set(out, plan, dir, nullptr, format, false);
    for (const auto& [name, text] : extra) out.add(name, text);
    out.commit();
}

manifest parse_manifest(const json& doc, const std::string& manifest_path,
                        const record_overrides& overrides, bool rising) {
    const field_reader f(doc, manifest_path,
                         {"layout", "sensor", "settings", "limits", "width", "height",
                          "black_level", "format", "raw10_stride", "flat", "frames", "truth"});
    manifest m;
    m.path = manifest_path;
    m.kind = layout_from_name(f.text("layout"), manifest_path + ": field 'layout'");
    const bool dual = m.kind == layout::dual;
    const auto record = [&](const std::string& given, const char* key) {
        return given.empty() ? resolve_beside(manifest_path, f.text(key)) : given;
    };
    m.settings = record(overrides.settings, "settings");
    m.limits = record(overrides.limits, "limits");
    if (dual) {
        if (f.has("sensor")) f.fail("sensor", "not used by the dual layout");
        if (!overrides.sensor.empty())
            throw io_error(overrides.sensor + ": the dual layout takes no sensor configuration");
        m.width = f.get<uint32_t>("width", 1, 65535);
        m.height = f.get<uint32_t>("height", 1, 65535);
        m.black_level = f.get<uint16_t>("black_level");
    } else {
        m.sensor = record(overrides.sensor, "sensor");
        if (f.has("black_level"))
            f.fail("black_level", "only for the dual layout (raw layouts take the sensor's)");
        if (f.has("width")) m.width = f.get<uint32_t>("width", 0, 65535);
        if (f.has("height")) m.height = f.get<uint32_t>("height", 0, 65535);
    }
    if (f.has("format"))
        m.format = frame_format_from_name(f.text("format"), manifest_path + ": field 'format'");
    if (f.has("raw10_stride")) {
        if (m.format != frame_format::raw10)
            f.fail("raw10_stride", "only with \"format\": \"raw10\"");
        m.raw10_stride = f.get<uint64_t>("raw10_stride", 1, int64_t{1} << 32);
    }
    m.flat = parse_frame(m, f.at("flat"), "flat", dual);
    const json& frames = f.at("frames");
    if (!frames.is_array())
        f.fail("frames", "an array of 1 to " + std::to_string(ORVANE_FRAME_SLOTS) + " frames",
               frames);
    if (frames.empty() || frames.size() > ORVANE_FRAME_SLOTS)
        f.fail("frames", "expected 1 to " + std::to_string(ORVANE_FRAME_SLOTS) + " frames, got " +
                             std::to_string(frames.size()));
    for (size_t k = 0; k < frames.size(); ++k) {
        const std::string where = "frames[" + std::to_string(k) + "]";
        m.sweep.push_back(parse_frame(m, frames[k], where, true));
        const int32_t lens = m.sweep[k].lens_position;
        if (k == 1) m.captured_falling = rising && lens < m.sweep[0].lens_position;
        const int32_t before = k > 0 ? m.sweep[k - 1].lens_position : 0;
        if (rising && k > 0 && (m.captured_falling ? lens >= before : lens <= before))
            throw io_error(manifest_path + ": " + where + ": field 'lens_position': " +
                           std::to_string(lens) + " does not " +
                           (m.captured_falling ? "fall below" : "rise above") + " frames[" +
                           std::to_string(k - 1) + "]'s " + std::to_string(before) +
                           " (lens positions rise, or fall, with the frame index)");
    }
    // The library takes a sweep near to far: frames captured far to near are
    // fed last to first.
    if (m.captured_falling) std::reverse(m.sweep.begin(), m.sweep.end());
    if (f.has("truth")) m.truth = resolve_beside(manifest_path, f.text("truth"));
    return m;
}

std::string manifest_path_of(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return (std::filesystem::path(path) / "manifest.json").string();
    return path;
}

namespace {

void check_frame_files(const manifest& m, const frame_entry& entry, uint32_t width,
                       uint32_t height) {
    for (const std::string* name : {&entry.file, &entry.left, &entry.right}) {
        if (name->empty()) continue;
        const std::string path = resolve_beside(m.path, *name);
        check_frame_file(path, m.format ? *m.format : frame_format_of(path), width, height,
                         m.raw10_stride);
    }
}

}  // namespace

frame read_frame_files(const manifest& m, const frame_entry& entry, uint32_t width,
                       uint32_t height) {
    const auto image = [&](const std::string& name) {
        const std::string path = resolve_beside(m.path, name);
        return read_frame(path, m.format ? *m.format : frame_format_of(path), width, height,
                          m.raw10_stride);
    };
    frame out;
    out.lens_position = entry.lens_position;
    if (m.kind == layout::dual) {
        out.left = image(entry.left);
        out.right = image(entry.right);
    } else {
        out.raw = image(entry.file);
    }
    return out;
}

frame sweep_files::read(size_t k) const {
    if (k >= plan.sweep.size()) throw io_error(plan.path + ": no sweep frame " + std::to_string(k));
    return read_frame_files(plan, plan.sweep[k], width, height);
}

capture_set load_capture_set(const std::string& manifest_path) {
    std::optional<ground_truth> ignored;
    return load_capture_set(manifest_path, ignored);
}

capture_set load_capture_set(const std::string& manifest_path, std::optional<ground_truth>& truth,
                             const record_overrides& overrides, bool rising,
                             sweep_files* deferred) {
    const manifest m =
        parse_manifest(read_json_file(manifest_path), manifest_path, overrides, rising);
    capture_set set;
    set.kind = m.kind;
    record_names names;
    names.manifest = manifest_path;
    names.settings = m.settings;
    names.limits = m.limits;
    const auto refuse = [&](const char* field, const std::string& why) {
        throw io_error(manifest_path + ": field '" + field + "': " + why);
    };
    if (m.kind == layout::dual) {
        set.width = m.width.value_or(0);
        set.height = m.height.value_or(0);
        set.black_level = m.black_level;
    } else {
        names.sensor = m.sensor;
        set.cfg = load_sensor_cfg(names.sensor);
        set.width = set.cfg.image_width;
        set.height = set.cfg.image_height;
        set.black_level = set.cfg.black_level;
        if (m.width && *m.width != set.width)
            refuse("width", "is " + std::to_string(*m.width) +
                                ", but the sensor's image_width is " + std::to_string(set.width));
        if (m.height && *m.height != set.height)
            refuse("height", "is " + std::to_string(*m.height) +
                                 ", but the sensor's image_height is " +
                                 std::to_string(set.height));
        if (set.width == 0 || set.height == 0)
            throw io_error(manifest_path + ": the sensor configuration gives an empty " +
                           std::to_string(set.width) + "x" + std::to_string(set.height) + " frame");
    }
    // Settings left out of a JSON file take the defaults for this module.
    const module_shape shape = m.kind == layout::dual ? shape_of_dual(set.width, set.height, 1)
                                                      : shape_of(set.cfg, m.kind);
    set.settings = load_settings(names.settings, &shape);
    set.limits = load_limits(names.limits);

    // Everything that can be checked without the frames is, before the first
    // frame is read.
    check_records(set, names);
    if (uint64_t{set.width} * set.height > kMaxFrameSamples)
        throw io_error((m.kind == layout::dual ? manifest_path + ": field 'width'"
                                               : names.sensor + ": field 'image_width'") +
                       ": " + std::to_string(set.width) + " x " + std::to_string(set.height) +
                       " frames have more than the " + std::to_string(kMaxFrameSamples) +
                       " samples the tool reads");
    if (m.sweep.size() != static_cast<size_t>(set.settings.sweep_frames))
        refuse("frames", "has " + std::to_string(m.sweep.size()) + " frames, but " +
                             names.settings + " has sweep_frames " +
                             std::to_string(set.settings.sweep_frames));

    check_frame_files(m, m.flat, set.width, set.height);
    for (const frame_entry& entry : m.sweep) check_frame_files(m, entry, set.width, set.height);

    set.flat = read_frame_files(m, m.flat, set.width, set.height);
    if (deferred != nullptr) {
        // Only the lens positions now; the images when the calibration takes them.
        for (const frame_entry& entry : m.sweep) {
            frame f;
            f.lens_position = entry.lens_position;
            set.sweep.push_back(std::move(f));
        }
        *deferred = sweep_files{m, set.width, set.height};
    } else {
        for (const frame_entry& entry : m.sweep)
            set.sweep.push_back(read_frame_files(m, entry, set.width, set.height));
    }

    truth.reset();
    if (m.truth) truth = ground_truth_from_json(read_json_file(*m.truth), *m.truth);
    return set;
}

}  // namespace orvane_tool::io
