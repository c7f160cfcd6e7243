// One calibration context per fuzz process. Creating one per input (217 MB
// allocated and cleared) holds a target to about 18 inputs a second, so each
// input gets the process's context back as Orvane_create leaves it: the
// settings copied in again and the state region cleared and initialised.
// The working buffers behind the state are left as the last input left
// them: every call writes what it reads of them. The replay driver checks
// both on every input it replays: the reset against a new context, and the
// input's results on the reused context (its buffers first filled with a
// pattern) against those on a new one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "context/context.h"
#include "kernels/kernels.h"
#include "orvane.h"

namespace fuzz {

constexpr int kTables = 3;  // scalar, avx2, avx512

inline const char* table_name(int i) {
    static const char* const names[kTables] = {"scalar", "avx2", "avx512"};
    return names[i];
}

// Whether this build and this CPU have table i. Drivers linked with the
// library's internals (ORVANE_FUZZ_TABLES) see every table; the tool's
// readers, which take no context, run on the first alone.
inline bool table_present(int i) {
#ifdef ORVANE_FUZZ_TABLES
    return i == 0 || (i == 1 && orvane::avx2_kernels() != nullptr) ||
           (i == 2 && orvane::avx512_kernels() != nullptr);
#else
    return i == 0;
#endif
}

struct context_slot {
    cal_context* reused[kTables] = {};  // one per kernel table (tables driver)
    cal_context* fresh = nullptr;
    bool checking = false;   // replay driver: check the reset, poison the buffers
    bool digesting = false;  // replay and tables drivers: fold results into `digest`
    bool use_fresh = false;  // replay driver: run on a newly created context
    int table = 0;           // tables driver: the table this run's context uses
    const char* table_name = nullptr;  // ORVANE_CPU for that context; nullptr: as set
    uint64_t digest = 0;     // what the input produced, compared by the drivers
};

inline context_slot& slot() {
    static context_slot s;
    return s;
}

constexpr uint64_t kDigestBasis = 0xcbf29ce484222325ull;

// FNV-1a over everything an input produces (status words, records, blocks
// and the context's settings and state after the calls).
inline void note(const void* bytes, size_t n) {
    if (!slot().digesting) return;  // plain fuzzing: no cost
    const auto* p = static_cast<const uint8_t*>(bytes);
    uint64_t h = slot().digest;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
    slot().digest = h;
}

template <typename T>
void note(const T& value) {
    note(&value, sizeof value);
}

inline void note_context(const cal_context* ctx) {
    note(&ctx->settings, sizeof ctx->settings);
    note(&ctx->state, sizeof ctx->state);
}

// Brings a used context to the state Orvane_create gives a new one.
inline void reset(cal_context* ctx, const cal_settings& settings) {
    std::memcpy(&ctx->settings, &settings, sizeof settings);
    std::memset(&ctx->state, 0, sizeof ctx->state);
    ctx->state.dump_tag = static_cast<int16_t>(settings.dump_tag);
    ctx->state.focus_abs_sum = settings.focus_abs_sum;
    ctx->state.sweep_frames = static_cast<int16_t>(settings.sweep_frames);
    ctx->state.frames_added = 0;
}

// The reset must reproduce a new context's settings and state byte for byte.
inline void check_reset(const cal_context* ctx, const cal_settings& settings) {
    cal_context* made = Orvane_create(&settings);
    if (made == nullptr) return;
    const bool same = std::memcmp(&made->settings, &ctx->settings, sizeof made->settings) == 0 &&
                      std::memcmp(&made->state, &ctx->state, sizeof made->state) == 0;
    Orvane_destroy(made);
    if (!same) {
        std::fputs("a reset context differs from a new one\n", stderr);
        std::abort();
    }
}

// A pattern no call produces in the working buffers behind the state, so a
// read before a write changes the replay's digest.
inline void poison_working_buffers(cal_context* ctx) {
    auto* bytes = reinterpret_cast<uint8_t*>(ctx);
    const size_t first = offsetof(cal_context, state) + sizeof ctx->state;
    // The kernel table chosen at creation is the context's, not a buffer.
    const size_t table = offsetof(cal_context, kernels);
    const size_t after = table + sizeof ctx->kernels;
    std::memset(bytes + first, 0xA5, table - first);
    std::memset(bytes + after, 0xA5, sizeof(cal_context) - after);
}

// The context an input works on.
inline cal_context* context(const cal_settings& settings) {
    context_slot& s = slot();
    // A context keeps the table chosen when it is created.
    if (s.table_name != nullptr) setenv("ORVANE_CPU", s.table_name, 1);
    if (s.use_fresh) {
        Orvane_destroy(s.fresh);
        s.fresh = Orvane_create(&settings);
        return s.fresh;
    }
    cal_context*& reused = s.reused[s.table];
    if (reused == nullptr) {
        reused = Orvane_create(&settings);
        if (reused != nullptr && s.checking) poison_working_buffers(reused);
        return reused;
    }
    reset(reused, settings);
    if (s.checking) check_reset(reused, settings);
    return reused;
}

}  // namespace fuzz
