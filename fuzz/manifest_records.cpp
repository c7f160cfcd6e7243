// The manifest and the record files are untrusted input: whatever the bytes,
// the readers either accept them or refuse them with io_error, one line, and
// never crash, hang or allocate without bound. What they accept is written
// back and read again to the very same record.
//
// First byte: what the rest is.
//   0  a manifest (also read as a verification sweep when bit 3 is set)
//   1  a set of records as one object {"layout", "width", "height",
//      "sensor", "settings", "limits"}: each read, then checked together as
//      a capture set's records are
//   2  a gain map, 3  a DCC map, 4  a ground truth
//   5  raw record bytes: the record of that size, then its JSON read back
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture.h"
#include "io/capture_io.h"
#include "io/fields.h"
#include "io/record_checks.h"
#include "io/records.h"

using namespace orvane_tool;
using namespace orvane_tool::io;

namespace {

// A one-line message that names its source.
void check_message(const io_error& e) {
    const std::string what = e.what();
    // Quoted names are at most a path long, values an excerpt.
    if (what.empty() || what.find('\n') != std::string::npos || what.size() > 16384) std::abort();
}

template <class Record>
void same_bytes(const Record& a, const Record& b) {
    if (std::memcmp(&a, &b, sizeof(Record)) != 0) std::abort();
}

void read_back(const sensor_cfg& c) {
    same_bytes(c, sensor_cfg_from_json(parse_json(json_text(to_json(c)), "again"), "again"));
}
void read_back(const cal_settings& s) {
    same_bytes(s, settings_from_json(parse_json(json_text(to_json(s)), "again"), "again"));
}
void read_back(const gain_limits& l) {
    same_bytes(l, limits_from_json(parse_json(json_text(to_json(l)), "again"), "again"));
}

void record_set(const json& doc) {
    const field_reader f(doc, "set", {"layout", "width", "height", "sensor", "settings", "limits"});
    capture_set set;
    set.kind = layout_from_name(f.text("layout"), "set: layout");
    set.settings = settings_from_json(f.at("settings"), "settings");
    read_back(set.settings);
    set.limits = limits_from_json(f.at("limits"), "limits");
    read_back(set.limits);
    if (set.kind == layout::dual) {
        set.width = f.get<uint32_t>("width", 1, 65535);
        set.height = f.get<uint32_t>("height", 1, 65535);
    } else {
        set.cfg = sensor_cfg_from_json(f.at("sensor"), "sensor");
        read_back(set.cfg);
        set.width = set.cfg.image_width;
        set.height = set.cfg.image_height;
    }
    record_names names{"manifest", "sensor", "settings", "limits"};
    check_records(set, names);
}

void raw_record(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    // The JSON a raw record converts to need not be readable (a count beyond
    // the record's table is refused), but reading it must not fail otherwise.
    if (size == sizeof(sensor_cfg)) {
        const sensor_cfg c = sensor_cfg_from_bytes(bytes, "raw");
        sensor_cfg_from_json(parse_json(json_text(to_json(c)), "json"), "json");
    } else if (size == sizeof(cal_settings)) {
        const cal_settings s = settings_from_bytes(bytes, "raw");
        settings_from_json(parse_json(json_text(to_json(s)), "json"), "json");
    } else if (size == sizeof(gain_limits)) {
        read_back(limits_from_bytes(bytes, "raw"));
    } else {
        limits_from_bytes(bytes, "raw");  // refused: the wrong size
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t which = data[0];
    ++data;
    --size;
    try {
        if (which % 8 == 5) {
            raw_record(data, size);
            return 0;
        }
        const json doc = parse_json(std::string(reinterpret_cast<const char*>(data), size), "in");
        switch (which % 8) {
            case 0:
                parse_manifest(doc, "/manifest/folder/manifest.json", {}, (which & 8) == 0);
                break;
            case 1:
                record_set(doc);
                break;
            case 2: {
                const gainmap m = gainmap_from_json(doc, "gainmap");
                same_bytes(m,
                           gainmap_from_json(parse_json(json_text(to_json(m)), "again"), "again"));
                break;
            }
            case 3: {
                const dccmap m = dccmap_from_json(doc, "dccmap");
                same_bytes(m,
                           dccmap_from_json(parse_json(json_text(to_json(m)), "again"), "again"));
                break;
            }
            case 4: {
                const ground_truth t = ground_truth_from_json(doc, "truth");
                const ground_truth again =
                    ground_truth_from_json(parse_json(json_text(to_json(t)), "again"), "again");
                if (again.win_rows != t.win_rows || again.win_cols != t.win_cols ||
                    again.dcc.size() != t.dcc.size())
                    std::abort();
                break;
            }
            default:
                break;
        }
    } catch (const io_error& e) {
        check_message(e);
    }
    return 0;
}
