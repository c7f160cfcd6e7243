#include "context/context.h"
#include "kernels/kernels.h"

#include <cstdlib>
#include <cstring>

extern "C" {

ORVANE_API cal_context* Orvane_create(const cal_settings* settings) {
    if (settings == nullptr) return nullptr;
    // calloc hands back zero pages without touching them: the 217 MB of
    // working buffers cost nothing until a call uses them.
    auto* ctx = static_cast<cal_context*>(std::calloc(1, sizeof(cal_context)));
    if (ctx == nullptr) return nullptr;
    std::memcpy(&ctx->settings, settings, sizeof(cal_settings));
    ctx->state.dump_tag = static_cast<int16_t>(settings->dump_tag);
    ctx->state.focus_abs_sum = settings->focus_abs_sum;
    ctx->state.sweep_frames = static_cast<int16_t>(settings->sweep_frames);
    ctx->state.frames_added = 0;
    ctx->kernels = &orvane::select_kernels();
    return ctx;
}

ORVANE_API int32_t Orvane_destroy(cal_context* ctx) {
    if (ctx == nullptr) return -1;
    std::free(ctx);
    return 0;
}

}  // extern "C"
