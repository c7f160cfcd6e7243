// The mark of a module's complete outputs (batch.json): what they were made
// from, so that a lot run again resumes where the outputs still hold.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "io/capture_io.h"
#include "io/json.h"
#include "lot/modules.h"

namespace orvane_tool {

constexpr const char* kMarkName = "batch.json";
constexpr const char* kLogName = "calibrate.log";

// What a module's outputs were made from; a mark records it.
struct provenance {
    std::string manifest, manifest_hash, settings, settings_hash, library;
    // Replacing records given to batch besides the settings; marks written
    // before they were recorded match when none is given.
    std::string sensor, sensor_hash, limits, limits_hash;

    io::json to_json() const {
        io::json j = io::json::object();
        j["manifest"] = manifest;
        j["manifest_fnv1a"] = manifest_hash;
        j["settings"] = settings;
        j["settings_fnv1a"] = settings_hash;
        j["library"] = library;
        if (!sensor.empty()) j["sensor"] = sensor, j["sensor_fnv1a"] = sensor_hash;
        if (!limits.empty()) j["limits"] = limits, j["limits_fnv1a"] = limits_hash;
        return j;
    }
    bool matches(const io::json& j) const {
        auto text = [&](const char* key) {
            return j.contains(key) && j[key].is_string() ? j[key].get<std::string>()
                                                         : std::string("\x01");
        };
        auto optional = [&](const char* key) { return j.contains(key) ? text(key) : ""; };
        return text("manifest") == manifest && text("manifest_fnv1a") == manifest_hash &&
               text("settings") == settings && text("settings_fnv1a") == settings_hash &&
               text("library") == library && optional("sensor") == sensor &&
               optional("sensor_fnv1a") == sensor_hash && optional("limits") == limits &&
               optional("limits_fnv1a") == limits_hash;
    }
};

// `records`: the files replacing the manifest's, or empty.
provenance provenance_of(const lot_entry& e, const io::record_overrides& records);

// The runtime a complete folder's mark records, when the mark matches and
// every file it lists is there with its size.
std::optional<double> complete_outputs(const std::filesystem::path& dir, const provenance& p);

// Written last, after every output of the module.
void write_mark(const std::filesystem::path& dir, const provenance& p, double runtime);

}  // namespace orvane_tool
