// Bodies of the lifecycle hooks: the address-table hooks call the ARP and
// neighbour module; VRRP, plugins, init commands and captures still do
// nothing until their subsystems exist (contracts in the header).
#include "config/lifecycle_hooks.h"

#include "config/config_state.h"
#include "packet/arp.h"

void hook_arp_entry(const uint8_t *ip16, const uint8_t *mac, int vip, int fix, int psv, int network, int target,
                    const uint8_t *via16)
{
    // The address table keeps the via address as IPv4 bytes.
    arp_make_entry(ip16, mac, vip, fix, psv, network, target, via16 != nullptr ? via16 + 12 : nullptr);
}

void hook_arp_delete(const uint8_t *ip16) { arp_delete(ip16); }
int hook_arp_network_of(const uint8_t *ip16) { return arp_network_of(ip16); }
int hook_arp_exists(const uint8_t *ip16) { return arp_has_entry(ip16) ? 1 : 0; }
void hook_gratuitous_arp(int network, const uint8_t *ip4, const uint8_t *mac) { arp_send_gratuitous(ip4, mac, network); }

void hook_neighbour_advert(int network, const uint8_t *ip6, const uint8_t *mac)
{
    arp_send_neighbour_advert(ip6, mac, network);
}

void hook_machash_insert(const uint8_t *mac) { arp_enter_own_mac(mac); }
int hook_vrrp_is_master() { return cfg.vrrp.state == VRRP_MASTER; }
void hook_vrrp_startup() {}
void hook_vrrp_shutdown() {}
void hook_run_init_command(int) {}
int hook_plugin_start(int) { return 1; }
void hook_plugin_stop(int) {}
int hook_vrrp_effective_priority() { return cfg.vrrp.priority; }
void hook_arp_walk_vips(const uint8_t *mac, HOOKADDRFN fn, void *arg) { arp_walk_vips(mac, fn, arg); }
void hook_capture_close(int) {}
