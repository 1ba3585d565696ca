// The calls through which the lifecycle and network commands reach the
// ARP and neighbour table, the MAC table, the announcement frames, VRRP,
// interface init commands and server plugins.
//
// Each hook is a small named function so that the owner of the address
// tables, VRRP and the external processes can fill in its body without
// touching the command code. Until then the bodies do nothing: the ones
// that answer a question answer "nothing there", the ones that act
// succeed.
//
// Addresses are 16 bytes; an IPv4 address is passed IPv4-mapped
// (::ffff:a.b.c.d). MACs are 6 bytes.
#pragma once

#include <cstdint>

// Creates or updates the ARP/neighbour table entry of `ip16`:
// - mac: the hardware address to store, or nullptr for "not resolved yet"
//   (an existing entry keeps its MAC when mac is nullptr);
// - vip: 1 for one of the daemon's own addresses; fix: 1 for a network's
//   own real address; psv: the passive flag (0 = refresh actively);
// - network: the owning network number, 0 = none;
// - target: the target number when the address belongs to an enabled
//   target (the entry's target flag set, last answer time and refresh
//   counter 0), 0 when it does not (target flag clear);
// - via16: the router through which a target is reached (IPv4-mapped),
//   or nullptr for none; stored as the entry's via address.
// vis is always 0 for entries made here (only the `arp` command sets it).
// Calls made by the commands:
//   enable network, real:   (real, 06:00:<real>,  vip 1, fix 1, psv 0, net n)
//   enable network, virt:   (virt, virt MAC,      vip 1, fix 0, psv 0, net n)
//   enable network, real6:  (real6, own MAC,      vip 1, fix 1, psv 0, net n)
//   enable network, virt6:  (virt6, VRRP MAC,     vip 1, fix 0, psv 0, net n)
//   enable server, IPv4:    (addr, 06:00:<addr> or VRRP MAC, vip 1, fix 0, psv 0, net)
//   enable server, IPv6:    (addr6, VRRP MAC,     vip 1, fix 0, psv 0, net)
//   enable target, address: (addr, nullptr, vip 0, fix 0, psv 0, net 0, target t, via router or nullptr)
//   enable target, router:  (router, nullptr, vip 0, fix 0, psv 0, net of router) only when absent
//   gateway ipaddr[6]:      (gw, nullptr, vip 0, fix 0, psv 0, net) made when missing,
//                           an existing entry keeps its MAC and gets these flags
void hook_arp_entry(const uint8_t ip16[16], const uint8_t *mac, int vip, int fix, int psv,
                    int network, int target, const uint8_t *via16);

// Deletes every ARP/neighbour entry of ip16 (disable server, disable
// network for real and virt, no gateway).
void hook_arp_delete(const uint8_t ip16[16]);

// The network number bound to the existing entry of ip16 (the entry
// itself, not the one a via address leads to); 0 when there is no entry
// or it has no network.
int hook_arp_network_of(const uint8_t ip16[16]);

// 1 when an entry for ip16 exists, else 0.
int hook_arp_exists(const uint8_t ip16[16]);

// Sends a gratuitous ARP (42-byte ARP request, sender IPv4 = target IPv4 =
// ip4, sender MAC = mac, broadcast destination) on every enabled member
// interface of `network`. network 0 sends nothing.
void hook_gratuitous_arp(int network, const uint8_t ip4[4], const uint8_t mac[6]);

// Sends an unsolicited neighbour advertisement (86 bytes, to ff05::1 /
// 33:33:00:00:00:01, override flag, target ip6, option 1 with mac) on every
// enabled member interface of `network`.
void hook_neighbour_advert(int network, const uint8_t ip6[16], const uint8_t mac[6]);

// Enters mac in the own-MAC table (MACHASH of the daemon's own addresses).
void hook_machash_insert(const uint8_t mac[6]);

// 1 while this node is VRRP master, else 0.
int hook_vrrp_is_master();

// VRRP start-up (acts only in state INITIALIZE) and shut-down.
void hook_vrrp_startup();
void hook_vrrp_shutdown();

// Runs interface n's init command (its `init` text) as an external
// command through "/bin/sh -c", without waiting for it.
void hook_run_init_command(int n);

// Starts server n's plugin process (its `plugin` command) with its two
// pipes stored in plugin_pid, plugin_in, plugin_out; 1 on success, 0 on
// failure.
int hook_plugin_start(int n);
// Stops server n's plugin: closes plugin_in and plugin_out, kills
// plugin_pid with SIGKILL and clears the three fields.
void hook_plugin_stop(int n);

// The effective VRRP priority after tracking (for `show vrrp`); the
// configured priority until VRRP tracking is built.
int hook_vrrp_effective_priority();

// Calls fn with every IPv4/IPv6 VIP entry of the ARP table whose MAC is
// `mac`, in table order (for `show vrrp`). Nothing until the ARP table is
// built.
using HOOKADDRFN = void (*)(const uint8_t ip16[16], void *arg);
void hook_arp_walk_vips(const uint8_t mac[6], HOOKADDRFN fn, void *arg);

// Ends the traffic dump of interface n: closes its dumper and capture
// handle and clears both fields (disable interface).
void hook_capture_close(int n);
