// Health probes of targets and the gateway.
#include "health/health.h"

#include "config/config_state.h"

void health_start_probes(int)
{
    // Probes come with the health subsystem; targets stay as configured.
}

