#include "lot/progress.h"

#include <cmath>
#include <cstdio>

namespace orvane_tool {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string duration_text(double s) {
    if (!std::isfinite(s) || s < 0) return "?";
    const long t = std::lround(s);
    char buf[32];
    if (t >= 3600) {
        std::snprintf(buf, sizeof buf, "%ldh%02ldm", t / 3600, t / 60 % 60);
    } else if (t >= 60) {
        std::snprintf(buf, sizeof buf, "%ldm%02lds", t / 60, t % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%lds", t);
    }
    return buf;
}

}  // namespace orvane_tool
