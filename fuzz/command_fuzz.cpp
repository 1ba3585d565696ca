// libFuzzer target: arbitrary bytes as one read from a control pipe, run
// by the command interpreter after a small configuration (see
// command_harness.h for the configuration and the commands it refuses).
#include <cstddef>
#include <cstdint>

#include "support/command_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    command_harness_start();
    command_harness_run(data, size);
    return 0;
}
