// Replaces the nothrow array allocation of the whole test program so that
// tests can make the resampler's scratch unobtainable on demand. Outside a
// refusal it forwards to the ordinary allocation, which the ordinary
// delete[] then releases.
#include <new>

#include "gainmap_fixture.h"

namespace orvane::test {
bool refuse_array_allocations = false;
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (orvane::test::refuse_array_allocations) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}
