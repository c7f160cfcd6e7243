#include "context/context.h"

extern "C" ORVANE_API uint32_t Orvane_get_dccmap(cal_context*, dccmap*, const char*) {
    return orvane::kHardFailure;
}
