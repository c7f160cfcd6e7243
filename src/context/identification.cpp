#include <cstring>

#include "orvane.h"

namespace {

constexpr char kVersion[] = "Orvane Library, Version-L (Official).\n";
constexpr const char* kFeatureLines[] = {
    "Features:\n",
    "  Dual-photodiode PD sensor support added.\n",
    "  2x1 microlens PD sensor support added.\n",
    "  2x2 microlens PD sensor support added.\n",
    "  DCC calibration has integrated validation check.\n",
    "  Sensor configuration file is provided by sensor manufacturers.\n",
};

}  // namespace

extern "C" {

// A missing buffer gets -1, a count no text can have.
ORVANE_API int32_t Orvane_get_lib_version(char* buffer) {
    if (buffer == nullptr) return -1;
    std::memcpy(buffer, kVersion, sizeof(kVersion));
    return static_cast<int32_t>(sizeof(kVersion) - 1);
}

ORVANE_API int32_t Orvane_get_lib_features(char* buffer) {
    if (buffer == nullptr) return -1;
    size_t length = 0;
    for (const char* line : kFeatureLines) {
        const size_t n = std::strlen(line);
        std::memcpy(buffer + length, line, n);
        length += n;
    }
    buffer[length] = '\0';
    return static_cast<int32_t>(length);
}

}  // extern "C"
