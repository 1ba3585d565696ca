// Bodies of the lifecycle hooks. They do nothing yet: the address tables,
// VRRP and the external processes fill them in (contracts in the header).
#include "config/lifecycle_hooks.h"

#include "config/config_state.h"

void hook_arp_entry(const uint8_t *, const uint8_t *, int, int, int, int, int, const uint8_t *) {}
void hook_arp_delete(const uint8_t *) {}
int hook_arp_network_of(const uint8_t *) { return 0; }
int hook_arp_exists(const uint8_t *) { return 0; }
void hook_gratuitous_arp(int, const uint8_t *, const uint8_t *) {}
void hook_neighbour_advert(int, const uint8_t *, const uint8_t *) {}
void hook_machash_insert(const uint8_t *) {}
int hook_vrrp_is_master() { return cfg.vrrp.state == VRRP_MASTER; }
void hook_vrrp_startup() {}
void hook_vrrp_shutdown() {}
void hook_run_init_command(int) {}
int hook_plugin_start(int) { return 1; }
void hook_plugin_stop(int) {}
int hook_vrrp_effective_priority() { return cfg.vrrp.priority; }
void hook_arp_walk_vips(const uint8_t *, HOOKADDRFN, void *) {}
void hook_capture_close(int) {}
