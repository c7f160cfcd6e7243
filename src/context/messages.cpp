#include "context/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace orvane {
namespace {

// The handler and its user pointer change together under the lock, and the
// lock is held while the handler runs: a message never sees half of an
// installation, calls to the handler never overlap, and once
// Orvane_set_message_handler returns the old handler is neither running nor
// called again. Recursive, so a handler may call into the library itself.
struct handler_slot {
    orvane_message_handler handler = nullptr;
    void* user = nullptr;
};

std::recursive_mutex& handler_lock() {
    static std::recursive_mutex lock;
    return lock;
}

handler_slot& installed() {
    static handler_slot slot;
    return slot;
}

}  // namespace

void message(const cal_context* ctx, const char* format, ...) {
    std::lock_guard<std::recursive_mutex> hold(handler_lock());
    const handler_slot slot = installed();
    va_list args;
    va_start(args, format);
    if (slot.handler == nullptr) {
        std::vprintf(format, args);
        va_end(args);
        return;
    }
    // The messages are short; a long dump path gets a buffer of its own, or
    // is cut to the fixed one if that cannot be had.
    char fixed[256];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(fixed, sizeof fixed, format, args);
    va_end(args);
    char* text = fixed;
    if (length >= static_cast<int>(sizeof fixed)) {
        auto* grown = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
        if (grown != nullptr) {
            std::vsnprintf(grown, static_cast<size_t>(length) + 1, format, again);
            text = grown;
        }
    }
    va_end(again);
    if (length >= 0) slot.handler(slot.user, ctx, text);
    if (text != fixed) std::free(text);
}

}  // namespace orvane

extern "C" {

ORVANE_API void Orvane_set_message_handler(orvane_message_handler handler, void* user) {
    std::lock_guard<std::recursive_mutex> hold(orvane::handler_lock());
    orvane::handler_slot& slot = orvane::installed();
    slot.handler = handler;
    slot.user = handler != nullptr ? user : nullptr;
}

}  // extern "C"
