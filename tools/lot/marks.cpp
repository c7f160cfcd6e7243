#include "lot/marks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "io/files.h"
#include "orvane.h"
#include "pipeline/outputs.h"

namespace orvane_tool {
namespace fs = std::filesystem;

namespace {

// FNV-1a, 64 bits: enough to tell an edited manifest or settings file.
std::string fingerprint_of(const std::string& path) {
    if (path.empty()) return "";
    std::vector<uint8_t> bytes;
    try {
        bytes = io::read_file(path);
    } catch (const io::io_error&) {
        return "unreadable";
    }
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

std::string library_version() {
    char buf[64] = {};
    const int32_t n = Orvane_get_lib_version(buf);
    return n > 0 ? std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1))
                 : std::string();
}

}  // namespace

provenance provenance_of(const lot_entry& e, const io::record_overrides& records) {
    provenance p;
    p.manifest = e.manifest;
    p.manifest_hash = fingerprint_of(e.manifest);
    const auto record = [](const std::string& given, std::string& path, std::string& hash) {
        if (given.empty()) return;
        path = fs::absolute(given).lexically_normal().string();
        hash = fingerprint_of(given);
    };
    record(records.settings, p.settings, p.settings_hash);
    record(records.sensor, p.sensor, p.sensor_hash);
    record(records.limits, p.limits, p.limits_hash);
    p.library = library_version();
    return p;
}

std::optional<double> complete_outputs(const fs::path& dir, const provenance& p) {
    const fs::path mark = dir / kMarkName;
    std::error_code ec;
    if (!fs::is_regular_file(mark, ec)) return std::nullopt;
    io::json j;
    try {
        const std::vector<uint8_t> bytes = io::read_file(mark.string());
        j = io::parse_json(std::string(bytes.begin(), bytes.end()), mark.string());
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!j.is_object() || !p.matches(j) || !j.contains("files") || !j["files"].is_object() ||
        !j.contains("runtime_s") || !j["runtime_s"].is_number()) {
        return std::nullopt;
    }
    if (!j["files"].contains("summary.json")) return std::nullopt;
    for (const auto& [name, size] : j["files"].items()) {
        if (!size.is_number_unsigned()) return std::nullopt;
        const uint64_t actual = fs::file_size(dir / name, ec);
        if (ec || actual != size.get<uint64_t>()) return std::nullopt;
    }
    return j["runtime_s"].get<double>();
}

void write_mark(const fs::path& dir, const provenance& p, double runtime) {
    io::json j = p.to_json();
    j["runtime_s"] = std::round(runtime * 1000.0) / 1000.0;
    io::json files = io::json::object();
    std::vector<std::string> names = output_names(true);
    names.push_back(kLogName);
    for (const std::string& name : names) {
        std::error_code ec;
        const uint64_t size = fs::file_size(dir / name, ec);
        if (!ec) files[name] = size;
    }
    j["files"] = std::move(files);
    io::write_file_atomic((dir / kMarkName).string(), io::json_text(j));
}

}  // namespace orvane_tool
