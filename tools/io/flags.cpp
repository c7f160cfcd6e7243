#include "io/flags.h"

#include <cstdio>

#include "orvane.h"

namespace orvane_tool {
namespace {

struct flag_entry {
    uint32_t bit;
    const char* name;
    uint32_t scope;
    const char* meaning;
};

constexpr flag_entry kFlags[] = {
#define ORVANE_TOOL_FLAG(bit, name, scope, meaning) {bit, name, scope, meaning},
    ORVANE_FLAG_MEANING_LIST(ORVANE_TOOL_FLAG)
#undef ORVANE_TOOL_FLAG
};

bool named_in(uint32_t bit, uint32_t scope) {
    for (const flag_entry& f : kFlags)
        if (f.bit == bit && (f.scope & scope) != 0) return true;
    return false;
}

}  // namespace

std::vector<std::string> flag_list(uint32_t flags, uint32_t scope) {
    if (flags == ORVANE_HARD_FAILURE) return {ORVANE_HARD_FAILURE_NAME};
    std::vector<std::string> names;
    uint32_t named = 0;
    for (const flag_entry& f : kFlags) {
        if ((flags & f.bit) == 0 || (named & f.bit) != 0) continue;
        if ((f.scope & scope) == 0 && named_in(f.bit, scope)) continue;
        names.emplace_back(f.name);
        named |= f.bit;
    }
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if ((flags & ~named & bit) == 0) continue;
        char text[16];
        std::snprintf(text, sizeof text, "0x%X", bit);
        names.emplace_back(text);
    }
    return names;
}

std::string flag_names(uint32_t flags, bool dcc_map) {
    std::string out;
    for (const std::string& n :
         flag_list(flags, dcc_map ? ORVANE_FLAGS_DCC_MAP : ORVANE_FLAGS_FRAME))
        out += (out.empty() ? "" : " ") + n;
    return out.empty() ? "none" : out;
}

const char* flag_meaning(const std::string& name) {
    for (const flag_entry& f : kFlags)
        if (name == f.name) return f.meaning;
    return nullptr;
}

}  // namespace orvane_tool
