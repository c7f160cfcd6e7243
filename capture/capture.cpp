#include "capture.h"

namespace orvane_tool {

const char* layout_name(layout kind) {
    switch (kind) {
        case layout::horizontal: return "horizontal";
        case layout::vertical: return "vertical";
        case layout::dual: return "dual";
    }
    return "?";
}

}  // namespace orvane_tool
