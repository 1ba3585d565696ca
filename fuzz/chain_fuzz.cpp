// libFuzzer target: arbitrary bytes as a received frame through the
// default chain and the small modules' chains (see chain_harness.h).
#include <cstddef>
#include <cstdlib>
#include <cstdint>

#include "support/chain_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        if (!chain_harness_init())
            abort();
        ready = true;
    }
    if (chain_harness_run(data, size) < 0)
        abort();
    return 0;
}
