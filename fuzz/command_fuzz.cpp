// libFuzzer target: arbitrary bytes as one read from a control pipe, run
// by the command interpreter after a small configuration (see
// command_harness.h for the configuration and the commands it refuses).
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
    command_harness_run(data, size);
    return 0;
}
