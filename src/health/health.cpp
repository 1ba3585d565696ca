// Health probes of targets and the gateway.
#include "health/health.h"

#include "config/config_state.h"

void health_start_probes(int)
{
    // Probes come with the health subsystem; targets stay as configured.
}

bool target_operational(int n)
{
    if (!valid_target(n))
        return false;
    const TARGET &t = cfg.targets[n];
    return t.enabled != 0 && t.operational != 0;
}
