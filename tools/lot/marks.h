// The mark of a module's complete outputs (batch.json): what they were made
// from, so that a lot run again resumes where the outputs still hold.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "io/json.h"
#include "lot/modules.h"

namespace orvane_tool {

constexpr const char* kMarkName = "batch.json";
constexpr const char* kLogName = "calibrate.log";

// What a module's outputs were made from; a mark records it.
struct provenance {
    std::string manifest, manifest_hash, settings, settings_hash, library;

    io::json to_json() const {
        io::json j = io::json::object();
        j["manifest"] = manifest;
        j["manifest_fnv1a"] = manifest_hash;
        j["settings"] = settings;
        j["settings_fnv1a"] = settings_hash;
        j["library"] = library;
        return j;
    }
    bool matches(const io::json& j) const {
        auto text = [&](const char* key) {
            return j.contains(key) && j[key].is_string() ? j[key].get<std::string>()
                                                         : std::string("\x01");
        };
        return text("manifest") == manifest && text("manifest_fnv1a") == manifest_hash &&
               text("settings") == settings && text("settings_fnv1a") == settings_hash &&
               text("library") == library;
    }
};

// `settings`: the cal_settings file replacing the manifest's, or empty.
provenance provenance_of(const lot_entry& e, const std::string& settings);

// The runtime a complete folder's mark records, when the mark matches and
// every file it lists is there with its size.
std::optional<double> complete_outputs(const std::filesystem::path& dir, const provenance& p);

// Written last, after every output of the module.
void write_mark(const std::filesystem::path& dir, const provenance& p, double runtime);

}  // namespace orvane_tool
