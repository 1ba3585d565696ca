// Which network holds an address, by the networks' own settings, and the
// MAC addresses the daemon sends from into a network. The ARP table's
// binding of an address to a network comes first where the packet path
// and the commands need it (arp_find_network in packet/arp.h); this is the
// containment rule behind it, and there is no other.
#pragma once

#include <cstdint>

#include "config/config_state.h"

// Network n exists (1..10) and is enabled.
inline bool network_enabled(int n) { return valid_network(n) && cfg.networks[n].enabled; }

// The first enabled network 1..10 that contains the address (16 bytes,
// IPv4-mapped for IPv4); 0 when none does.
// - IPv4: the network's addr AND mask equals the address AND mask. A
//   network without an IPv4 side (addr 0.0.0.0) holds no IPv4 address:
//   its zero mask would otherwise make it contain every one.
// - IPv6: the network has a prefix length (mask6 1..128) and its real6
//   agrees with the address in the first mask6 bits.
int network_containing(const uint8_t addr[16]);

// The MAC of network n's real address, which its own ARP requests and
// probes carry: the one kept when the network was enabled, else 06:00 and
// the real address. n must be a valid network number.
void network_real_mac(uint8_t mac[6], int n);

// The MAC the daemon sends forwarded frames into network n from. IPv4
// (ip6 false): the virt MAC when the network has a virt address (06:00 and
// virt, or the VRRP virtual MAC while VRRP shares it), else the real MAC.
// IPv6: the VRRP virtual MAC when it has a virt6 address, else the node's
// own hardware address that real6 answers with. False, mac untouched, for
// a bad network number or a network with neither address of the family.
bool network_mac(uint8_t mac[6], int n, bool ip6);
