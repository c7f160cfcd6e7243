// Whether the records of a capture set let the library calibrate it, decided
// from the records alone, before any frame is read.
//
// The readers of records.h check each field against its C type; these checks
// look at what the library does with the values: capacities it refuses with
// the hard failure (window grid, gain grid, search range, window cut-outs,
// image sizes), layouts it cannot extract, and settings that leave nothing to
// measure (no search range, no filter taps, fewer than two frames to fit, a
// gain limit below unity, an empty level range).
#pragma once

#include <string>

#include "capture.h"

namespace orvane_tool::io {

// Where each record came from, for the messages.
struct record_names {
    std::string manifest;
    std::string sensor;  // raw layouts only
    std::string settings;
    std::string limits;
};

// Looks at kind, settings, sensor, limits, width and height of `set`, not at
// its frames. Throws io_error, one line: "<file>: field '<name>': <why>".
void check_records(const capture_set& set, const record_names& names);

}  // namespace orvane_tool::io
