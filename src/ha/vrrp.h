// VRRP between two balancers: the node's VRRP state as the rest of the
// daemon asks about it, and the entry points the commands, the termination
// path and the start-up call.
//
// The questions below are the only definitions of what "VRRP is
// configured" and "this node is backup" mean; every subsystem asks them
// here instead of testing the VRRP settings itself.
#pragma once

#include "config/config_state.h"

// The first four questions are asked by every frame's modules, so they are
// defined here, inline.

// vrid and priority are set (the VRRP network may still be missing). An
// IPv6 network needs this much VRRP, and `show vrrp` reports the state
// from here on instead of OFF.
inline bool vrrp_identity_set() { return cfg.vrrp.vrid != 0 && cfg.vrrp.priority != 0; }

// vrid, priority and the VRRP network are set (the network may be
// disabled): the once-a-second timer step runs, the virt addresses of the
// networks take the virtual MAC, and only a master sends the reminder
// announcements.
inline bool vrrp_settings_complete() { return vrrp_identity_set() && cfg.vrrp.network != 0; }

// VRRP is configured: vrid, priority and the VRRP network are set and that
// network is enabled. Servers with IPv6 addresses, the strict MAC test and
// the VRRP start and stop depend on it.
inline bool vrrp_configured()
{
    int n = cfg.vrrp.network;
    return vrrp_settings_complete() && valid_network(n) && cfg.networks[n].enabled;
}

// This node is a VRRP backup: VRRP is configured and the state is BACKUP.
// A backup drops the traffic for the shared addresses and stays silent.
inline bool vrrp_backup() { return vrrp_configured() && cfg.vrrp.state == VRRP_BACKUP; }

// The VRRP state is MASTER.
bool vrrp_is_master();

// The priority this node advertises; the configured priority until the
// tracking of targets, gateway and links is built.
int vrrp_effective_priority();

// Start-up (acts only in state INITIALIZE): called when a setting
// completes the VRRP configuration and after `enable network`.
void vrrp_startup();
// Shut-down: back to INITIALIZE with the own MACs on the shared addresses.
void vrrp_shutdown();

// On the termination path: a master sends the priority-0 advertisement that
// hands mastership to the backup at once.
void vrrp_resign_if_master();

// Start-up: the VRRP multicast and virtual MAC addresses.
void vrrp_setup_addresses();
