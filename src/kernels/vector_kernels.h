// How the library's code reaches the kernel table of a context.
#pragma once

#include "context/context.h"
#include "kernels/kernels.h"

namespace orvane {

// The context's vector table, or nullptr when it runs the scalar code.
const kernel_table* vector_kernels(const cal_context& ctx);

}  // namespace orvane
