// Choice of the kernel table. Contexts keep the table chosen when they were
// created; ORVANE_CPU=scalar forces the scalar kernels (A/B runs, tests).
#include <cstdlib>
#include <cstring>

#include "kernels/kernels.h"
#include "kernels/vector_kernels.h"

namespace orvane {

const kernel_table* avx2_table();    // kernels/avx2.cpp, when built
const kernel_table* avx512_table();  // kernels/avx512.cpp, when built

lane_weights weighting_of(const focus_lane* lanes, uint32_t count) {
    uint32_t weighted = 0;
    for (uint32_t l = 0; l < count; ++l) weighted += lanes[l].weights != nullptr ? 1u : 0u;
    if (weighted == 0) return lane_weights::none;
    return weighted == count ? lane_weights::all : lane_weights::mixed;
}

bool bandpass_is_stable(const bandpass_terms& t) {
    return t.b1 == 0.0f && t.a2 > -0.9f && t.a2 < 0.9f && t.a1 > -0.9f * (1.0f + t.a2) &&
           t.a1 < 0.9f * (1.0f + t.a2) && t.b0 > -1e6f && t.b0 < 1e6f && t.b2 > -1e6f &&
           t.b2 < 1e6f;
}

const kernel_table* avx2_kernels() {
#if defined(ORVANE_HAVE_AVX2) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return avx2_table();
#endif
    return nullptr;
}

const kernel_table* avx512_kernels() {
#if defined(ORVANE_HAVE_AVX2) && (defined(__x86_64__) || defined(__i386__))
    // The CPU check also covers the operating system saving the registers.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq")) {
        return avx512_table();
    }
#endif
    return nullptr;
}

const kernel_table& select_kernels() {
    const char* forced = std::getenv("ORVANE_CPU");
    if (forced != nullptr && std::strcmp(forced, "scalar") == 0) return scalar_kernels();
    const bool avx2_only = forced != nullptr && std::strcmp(forced, "avx2") == 0;
    if (const kernel_table* t = avx2_only ? nullptr : avx512_kernels()) return *t;
    if (const kernel_table* t = avx2_kernels()) return *t;
    return scalar_kernels();
}

const kernel_table& context_kernels(const cal_context& ctx) {
    return ctx.kernels != nullptr ? *ctx.kernels : scalar_kernels();
}

}  // namespace orvane
