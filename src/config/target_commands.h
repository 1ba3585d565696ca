// The `target` command family: settings of a real server while it is
// unregistered (addresses, router, health checks, weights and limits,
// session identifier), the target block, `show targets` and
// `show target <n>`.
//
// The handlers cmd_target, show_targets and show_target are declared in
// command/command_table.h and config/show.h; the block writer
// write_target_block in config/config_writer.h.
#pragma once

#include <cstdint>

#include "config/object_types.h"

// The agent value as the agent method weighs it: 0 stays 0, otherwise the
// value times the rounded scale (when that is not 1; a product of 0
// becomes 1) plus the offset. Shown as eff_agent.
long target_effective_agent(const TARGET &t);
