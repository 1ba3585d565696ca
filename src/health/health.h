// Health probes of targets and the gateway.
#pragma once

// Starts the per-target probe threads of target n.
void health_start_probes(int n);
