/* The public headers as a C host sees them: version macros against the
 * project version CMake configured (ORVANE_EXPECTED_VERSION), the export
 * macro on the using side, the state layout and the flag-name list. */
#include <stdio.h>
#include <string.h>

#include "orvane.h"
#include "orvane_state.h"

#define TEXT(x) #x
#define EXPANDED_TEXT(x) TEXT(x)

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "header: %s\n", what);
        ++failures;
    }
}

typedef struct flag_entry {
    uint32_t bit;
    const char* name;
    uint32_t scope;
} flag_entry;

#define FLAG_ENTRY(bit, name, scope) {bit, name, scope},
static const flag_entry flags[] = {ORVANE_FLAG_LIST(FLAG_ENTRY)};
#undef FLAG_ENTRY
enum { FLAG_COUNT = sizeof flags / sizeof flags[0] };

/* How many entries of `scope` name `bit`. */
static int names_of(uint32_t bit, uint32_t scope) {
    int n = 0;
    for (int i = 0; i < FLAG_COUNT; ++i) n += flags[i].bit == bit && (flags[i].scope & scope);
    return n;
}

int main(void) {
    check(strcmp(ORVANE_VERSION_STRING, ORVANE_EXPECTED_VERSION) == 0,
          "ORVANE_VERSION_STRING is not the project version " ORVANE_EXPECTED_VERSION);
    check(strcmp(ORVANE_VERSION_STRING,
                 EXPANDED_TEXT(ORVANE_VERSION_MAJOR) "." EXPANDED_TEXT(
                     ORVANE_VERSION_MINOR) "." EXPANDED_TEXT(ORVANE_VERSION_PATCH)) == 0,
          "ORVANE_VERSION_STRING differs from MAJOR.MINOR.PATCH");
#if !defined(_WIN32)
    /* A host compiles without ORVANE_BUILDING: the declarations carry nothing. */
    check(sizeof(EXPANDED_TEXT(ORVANE_API)) == 1, "ORVANE_API is not empty for a host");
#endif

    check(sizeof(cal_state) == ORVANE_STATE_DUMP_SIZE, "cal_state is not the dump size");
    check(sizeof(((cal_state*)0)->slots) / sizeof(frame_slot) == ORVANE_FRAME_SLOTS, "frame slots");

    /* Every flag of orvane.h has exactly one name in the scope that raises
     * it; 0x80 has one in each. Names are distinct. */
    const uint32_t frame_bits[] = {ORVANE_LENS_OUT_OF_RANGE, ORVANE_LAYOUT_UNUSABLE,
                                   ORVANE_LEVEL_TOO_HIGH,    ORVANE_LEVEL_TOO_LOW,
                                   ORVANE_GAIN_TOO_HIGH,     ORVANE_PD_AT_EDGE,
                                   ORVANE_INVALID_ROI,       ORVANE_FOCUS_FAILED};
    const uint32_t dcc_bits[] = {ORVANE_NOT_MONOTONIC, ORVANE_TOO_FEW_FRAMES, ORVANE_DCC_DEVIATION,
                                 ORVANE_PD_RANGE_LOW, ORVANE_PEAK_AT_END};
    for (size_t i = 0; i < sizeof frame_bits / sizeof frame_bits[0]; ++i)
        check(names_of(frame_bits[i], ORVANE_FLAGS_FRAME) == 1, "a frame flag without one name");
    for (size_t i = 0; i < sizeof dcc_bits / sizeof dcc_bits[0]; ++i)
        check(names_of(dcc_bits[i], ORVANE_FLAGS_DCC_MAP) == 1, "a DCC map flag without one name");
    check(FLAG_COUNT == 13, "the list has other entries than the 13 flags");
    for (int i = 0; i < FLAG_COUNT; ++i) {
        check(flags[i].bit != 0 && (flags[i].bit & (flags[i].bit - 1)) == 0,
              "an entry is not a single bit");
        check(strcmp(flags[i].name, ORVANE_HARD_FAILURE_NAME) != 0, "a flag named as the failure");
        for (int j = 0; j < i; ++j)
            check(strcmp(flags[i].name, flags[j].name) != 0, "two entries share a name");
    }
    for (int i = 0; i < FLAG_COUNT; ++i)
        if (flags[i].bit == 0x80u)
            check(
                strcmp(flags[i].name, flags[i].scope == ORVANE_FLAGS_DCC_MAP ? "not_monotonic"
                                                                             : "invalid_roi") == 0,
                "0x80 named for the wrong scope");

    if (failures == 0)
        printf("headers: version %s, state %u bytes, %d flag names\n", ORVANE_VERSION_STRING,
               (unsigned)sizeof(cal_state), FLAG_COUNT);
    return failures == 0 ? 0 : 1;
}
