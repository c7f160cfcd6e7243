// libFuzzer entry that runs each input once per kernel table the CPU has,
// each on its own context, and stops on the first input whose results (the
// digest of every status, record and the context's state) differ between
// tables. The target's own entry is renamed to orvane_fuzz_one_input when it
// is built for this driver.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_context.h"

// The target is built with LLVMFuzzerTestOneInput defined to
// orvane_fuzz_one_input; this file defines the real entry.
#undef LLVMFuzzerTestOneInput
extern "C" int orvane_fuzz_one_input(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::context_slot& s = fuzz::slot();
    s.digesting = true;
    uint64_t first = 0;
    for (int i = 0; i < fuzz::kTables; ++i) {
        if (!fuzz::table_present(i)) continue;
        s.table = i;
        s.table_name = fuzz::table_name(i);
        s.digest = fuzz::kDigestBasis;
        orvane_fuzz_one_input(data, size);
        if (i == 0) {
            first = s.digest;
        } else if (s.digest != first) {
            std::fprintf(stderr, "the %s table's results differ from the scalar table's\n",
                         fuzz::table_name(i));
            std::abort();
        }
    }
    return 0;
}
