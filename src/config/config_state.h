// The one global configuration state: the four object tables, the gateway,
// the VRRP settings, the lifecycle counts and the nat outside holder, plus
// the initial values every record takes at start-up.
#pragma once

#include "config/object_types.h"

struct CONFIG {
    std::array<INTERFACE, MAXINTERFACE + 1> interfaces; // interfaces 1..29, slot 0 unused
    std::array<NETWORK, MAXNETWORK + 1> networks;       // networks 1..10, slot 0 unused
    std::array<SERVER, MAXSERVER + 1> servers;          // servers 1..1024, slot 0 unused
    std::array<TARGET, MAXTARGET + 1> targets;          // targets 1..2048, slot 0 unused

    // The server registry and the target registry (INDEXREGISTRY, mapping
    // (address, port) to a server or target number) live with their
    // operations in config/index_registry.h; each carries its own count of
    // entries and count of enabled objects, kept by the lifecycle commands.

    GATEWAY gateway;                  // the default gateway and its checks
    VRRPCONF vrrp;                    // VRRP settings and node state
    NATOUTSIDE natoutside;            // the enabled nat outside network, if any

    int32_t registered_interfaces;    // interfaces with registered = 1
    int32_t enabled_interfaces;       // interfaces with enabled = 1
    int32_t registered_networks;      // networks with registered = 1
    int32_t enabled_networks;         // networks with enabled = 1

    int32_t proxy_in_use;             // some enabled server has proxy on (set by the configuration check)
    std::array<SESSIONGROUP, MAXSESSIONGROUP + 1> sessiongroups; // groups 0..100 (set by the check)

    // Every server and target record as it was just before pass 2 of a
    // configuration reload; read by `enable target` and the post-reload
    // session sweep.
    std::array<SERVER, MAXSERVER + 1> shadow_servers;
    std::array<TARGET, MAXTARGET + 1> shadow_targets;
};

extern CONFIG cfg;

struct INDEXREGISTRY;

// The configuration that commands read and change: cfg itself, or during
// the dry run of a reload (reload_dry_run()) the scratch copy that
// cfg_scratch_begin took, so the dry run can register, enable and change
// servers and targets for real while the packet path goes on reading cfg.
// Writers, show items and the packet path read cfg directly.
CONFIG &cfg_edit();
// The registry that goes with cfg_edit(): `running` (server_registry or
// target_registry) itself, or its scratch copy.
INDEXREGISTRY *registry_edit(INDEXREGISTRY *running);
// Makes the scratch copy, both registries included, equal to the running
// configuration. The storage is taken from the heap on the first call and
// kept; allocation failure ends the process (exit code 71).
void cfg_scratch_begin();

// Puts every table into its start-up state: all records zero and
// unregistered, then server_init on every server, target_defaults on every
// target, network_defaults on every network, one reading thread per
// interface, and the VRRP virtual MAC prefix. Also clears the gateway,
// VRRP settings, counts, nat outside holder and session groups. Called once
// at start-up (and by tests to start from a clean state); it must not run
// while per-object threads are alive.
void config_init_tables();

// The server initialisation applied at start-up and by `purge server`:
// GSLB TTL 600, session identifier "src", snat off, session counters, bound
// networks and round-robin cursors cleared, lock re-initialised. Addresses,
// ports, protocol, method, timeouts, lists, name and plugin are kept.
void server_init(SERVER &s);

// The target defaults applied at start-up and by `purge target`: pseudo,
// autodisable, screate, snat, dsr, softdisabled off; autodisablecount 1;
// no lgrp; weight 1, offset 0, scale 1.0; the three scripts, alert and
// upalert cleared; trackval and the session/agent limits 0; session
// identifier "dst"; run-time probe results, counters, history and pending
// alerts cleared, no sticky interface. Name, addresses, router, port,
// protocol and the ping, agent and tcpopen settings are kept, and so are
// registered/enabled, probes_started and the lock (probe and sampler
// threads may be using it).
void target_defaults(TARGET &t);

// The network start-up state: the whole record zeroed, no sync interface.
void network_defaults(NETWORK &n);
