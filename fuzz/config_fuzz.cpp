// libFuzzer target: arbitrary bytes as the configuration file, loaded by
// the daemon's loader, reloaded and written out again (see
// command_harness.h).
#include <cstddef>
#include <cstdint>

#include "support/command_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    command_harness_start();
    config_harness_run(data, size);
    return 0;
}
