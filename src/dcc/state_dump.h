// The state dump: the calibration state written verbatim to a host file, so
// a sweep can be examined afterwards (orvane_state.h describes the bytes).
#pragma once

#include "orvane_state.h"

namespace orvane {

// Writes the ORVANE_STATE_DUMP_SIZE bytes of `state` to `path` (replacing the
// file). A file that cannot be opened is reported as a message from `ctx`;
// the caller's results do not depend on the dump.
void write_state_dump(const cal_state& state, const char* path, const cal_context* ctx);

}  // namespace orvane
