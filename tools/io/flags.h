// Names of the status flags, from the one list in orvane.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvane_tool {

// Names of the bits set in `flags`, a status word of `scope`
// (ORVANE_FLAGS_FRAME or ORVANE_FLAGS_DCC_MAP): the scope decides the name of
// 0x80, other bits are named whichever call raised them, bits without a name
// are shown in hex. The hard failure is the single name "hard_failure".
std::vector<std::string> flag_list(uint32_t flags, uint32_t scope);

// The same, space separated; "none" for 0.
std::string flag_names(uint32_t flags, bool dcc_map);

// What a named flag means, from the header's table; nullptr for a name it
// does not hold (a hex bit).
const char* flag_meaning(const std::string& name);

}  // namespace orvane_tool
