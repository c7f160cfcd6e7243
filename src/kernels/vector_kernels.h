// How the library's code reaches the kernel table of a context.
#pragma once

#include "context/context.h"
#include "kernels/kernels.h"

namespace orvane {

// The context's kernel table: every per-pixel pass goes through it, so the
// scalar table is what a context forced to scalar runs.
const kernel_table& context_kernels(const cal_context& ctx);

}  // namespace orvane
