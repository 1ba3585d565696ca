// The once-a-second callback of the I/O loop and the steps it runs. Each
// step belongs to its subsystem; the ones not built yet have stub bodies
// in that subsystem's folder.
#pragma once

// Runs the nine steps in order; called by the I/O loop once per uptime
// second.
void regular_callback();

// Step 2: walks the target registry and sends the probes that are due (health).
void probe_send_due();
// Step 3: scans the session table for expired sessions (balance).
void st_scan_expired();
// Step 4: one NAT table scan; the callback runs it `natscan` times (routing and NAT).
void nat_scan();
// Step 5: the VRRP timer (ha); called only when vrid, priority and network are set.
void vrrp_callback();
// Step 7: sends the gateway probes that are due (health).
void gateway_probes();
// Step 8: the per-second step of the acknowledged session synchronisation (ha).
void sync_second();
// Step 9: evaluates the gateway state, then every target's state (health).
void evaluate_gateway();
void evaluate_targets();
