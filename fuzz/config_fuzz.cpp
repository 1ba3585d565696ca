// libFuzzer target: arbitrary bytes as the configuration file, loaded by
// the daemon's loader, reloaded and written out again (see
// command_harness.h).
#include <cstddef>
#include <cstdint>

#include "support/command_harness.h"
#include "support/support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The private KVN_ROOT lives as long as the process and goes with it.
    static TempRoot root;
    static bool ready = false;
    if (!ready) {
        command_harness_init();
        ready = true;
    }
    config_harness_run(data, size);
    return 0;
}
