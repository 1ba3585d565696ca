// Health probes of targets and the gateway, and the target state they
// decide.
#pragma once

#include "config/config_state.h"

// Starts the per-target probe threads of target n.
void health_start_probes(int n);

// Whether target n may carry traffic: a target number 1..2048 that is
// enabled and was found operational by its last evaluation. The one
// answer for selection, the packet path and the listings.
inline bool target_operational(int n)
{
    if (!valid_target(n))
        return false;
    const TARGET &t = cfg.targets[n];
    return t.enabled != 0 && t.operational != 0;
}
