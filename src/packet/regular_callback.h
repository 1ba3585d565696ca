// The once-a-second callback of the I/O loop and the steps it runs. Each
// step belongs to its subsystem; the ones not built yet have stub bodies
// in that subsystem's folder.
#pragma once

// Runs the steps in their order (ARP refresh, probes, session expiry, NAT
// and SNAT expiry, VRRP timer, reminder announcements, gateway probes,
// synchronisation, state evaluation); called by the I/O loop once per
// uptime second.
void regular_callback();

// Walks the target registry and sends the probes that are due (health).
void probe_send_due();
// One NAT table scan; the callback runs it `natscan` times (routing and NAT).
void nat_scan();
// The VRRP timer (ha); called only while vrrp_settings_complete().
void vrrp_callback();
// Sends the gateway probes that are due (health).
void gateway_probes();
// The per-second step of the acknowledged session synchronisation (ha).
void sync_second();
// Evaluates the gateway state, then every target's state (health).
void evaluate_gateway();
void evaluate_targets();
