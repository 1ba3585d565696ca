// The health-check module, the probe steps of the once-a-second callback
// and the alert starter, until health monitoring lands.
#include "packet/interface_hooks.h"
#include "packet/module.h"
#include "packet/regular_callback.h"

int mod_hc(int, int, uint8_t *, FRAMEINFO *)
{
    return 0;  // probe answers: passes every frame until probes land
}

void probe_send_due()
{
    // Target probe sender: belongs to health probes.
}

void gateway_probes()
{
    // Gateway probe sender: belongs to health probes.
}

void evaluate_gateway()
{
    // Gateway state evaluation: belongs to health probes.
}

void evaluate_targets()
{
    // Target state evaluation: belongs to health probes.
}

void run_alert_command(const char *)
{
    // Detached alert command: belongs to the script runner.
}
