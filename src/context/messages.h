// The library's diagnostics. Each goes to the host's handler when one is
// installed (Orvane_set_message_handler), otherwise to standard output
// unchanged.
#pragma once

#include "orvane.h"

namespace orvane {

// Sends one diagnostic, formatted as printf does, as arising in `ctx`
// (nullptr where the caller has no context at hand).
void message(const cal_context* ctx, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace orvane
