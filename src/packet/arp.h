// ARP and IPv6 neighbour handling: the `arp` module (mod_arp, declared in
// packet/module.h), the once-a-second refresh of the ARP table, the
// announcements of the daemon's own addresses, and the entry points the
// configuration lifecycle, VRRP and the health probes use to make, find
// and delete ARP table entries and to send ARP/ND frames.
//
// Addresses are 16-byte keys (IPv4 as ::ffff:a.b.c.d) unless a name ends
// in 4. Network numbers are 1..10; 0 means none.
#pragma once

#include <cstdint>

#include "packet/arphash.h"

// ---------------------------------------------------------------------------
// Once a second (regular_callback)

// Walks the ARP table with the refresh step: asks for unresolved addresses
// every `arplookup` seconds and for resolved ones every `arprefresh`
// seconds, and probes own addresses when `sendprobes` is 1. Driven by
// get_uptime() through the caller; it keeps no clock of its own.
void arp_refresh();
// Sends the reminder announcements every `gratarpremind` minutes (uptime a
// multiple of gratarpremind * 60), on a VRRP master or without VRRP.
void arp_gratuitous_reminders();

// Announces every own address that is not a network's fixed real address
// (VRRP calls this on becoming master, and after switching MACs).
void vrrp_send_gratuitous_arps();
// Announces every own address, fixed ones included.
void remind_send_gratuitous_arps();

// ---------------------------------------------------------------------------
// Entries for the configuration lifecycle

// Makes (or updates) the entry of `addr` with these fields. mac nullptr
// means "no hardware address": a new entry stays unresolved and a known
// entry keeps the MAC it has. A given MAC is stored as it is (own addresses
// are set, not learned). target 0 means no target (target number -1);
// via nullptr or 0.0.0.0 means none. vis, loc, the refresh counter and the
// last answer time of a new entry are 0; an existing entry keeps vis.
// Returns the entry.
AHENTRY *arp_make_entry(const uint8_t addr[16], const uint8_t *mac, int vip, int fix, int psv, int network, int target,
                        const uint8_t *via);
AHENTRY *arp_make_entry4(const uint8_t ip4[4], const uint8_t *mac, int vip, int fix, int psv, int network,
                         int target, const uint8_t *via);

// Makes sure the address has an entry that the refresh resolves and keeps
// resolved (psv 0): a new entry is unresolved, a known one keeps its MAC
// and the rest of its fields. Returns the entry.
AHENTRY *arp_make_active(const uint8_t addr[16]);

// The packet path's passive entry for the sender of a frame: a new
// address is entered with the frame's source MAC and the network that
// contains it; a known one takes the MAC by the table's learning rules
// (ah_insert) when those could change it. An address whose entry already
// has this MAC costs a lookup without a lock.
void arp_learn_sender(const uint8_t addr[16], const uint8_t mac[6]);
// arp_learn_sender for a sender on one of the daemon's networks only (a
// sender beyond a router is reached through it and gets no entry).
void arp_learn_neighbour(const uint8_t addr[16], const uint8_t mac[6]);

// Deletes the entry of an address (nothing when there is none).
void arp_delete(const uint8_t addr[16]);
void arp_delete4(const uint8_t ip4[4]);

// True when the address has an entry of its own (via not followed).
bool arp_has_entry(const uint8_t addr[16]);

// The network bound to the address's existing entry when that network is
// enabled, else 0.
int arp_network_of(const uint8_t addr[16]);
// The network an address belongs to, for the packet path and the
// commands alike: arp_network_of, else the first enabled network that
// contains it (network_containing, config/networks.h). 0 when none.
int arp_find_network(const uint8_t addr[16]);
// The same network and the address's entry in one lookup, for the packet
// path: *found tells whether ah_resolve found an entry (via followed), and
// *hop then holds its fields.
int arp_find_network_hop(const uint8_t addr[16], AHHOP *hop, bool *found);

// Enters an own MAC in the own-MAC table (reserved, no interface).
void arp_enter_own_mac(const uint8_t mac[6]);

// Gratuitous ARP (sender = target = ip4, sender MAC mac) on the enabled
// member interfaces of the network; nothing for network 0.
void arp_send_gratuitous(const uint8_t ip4[4], const uint8_t mac[6], int network);
// Unsolicited neighbour advertisement of an own IPv6 address on the
// network's member interfaces.
void arp_send_neighbour_advert(const uint8_t addr6[16], const uint8_t mac[6], int network);

// Sets the MAC of every own address that is not fixed, and the kept virt
// MAC of its network: to the VRRP virtual MAC (to_virtual 1) or back to
// 06:00:<IPv4 bytes> (to_virtual 0, IPv4 entries only). VRRP start-up and
// shutdown use it before announcing.
void arp_switch_vip_macs(int to_virtual);

// Calls fn with the address of every own-address entry whose MAC is `mac`,
// in table order (`show vrrp`, the VRRP advertisement's address list). fn
// runs under the table's reader lock and must not change the table.
void arp_walk_vips(const uint8_t mac[6], void (*fn)(const uint8_t addr[16], void *arg), void *arg);

// True when the MAC is one of the daemon's own: in the own-MAC table (the
// MACs of the networks' and servers' addresses, the node's own hardware
// address and the one it solicits from, entered when they are enabled),
// or the VRRP virtual MAC while VRRP is configured, except on a VRRP
// backup. Answered without a lock on repeat (mh_lookup's per-thread
// cache), so the packet path asks it per frame.
bool arp_is_own_mac(const uint8_t mac[6]);

// ---------------------------------------------------------------------------
// Destinations the routing step resolves
//
// A frame the routing step has for an address without an entry makes the
// entry, unresolved and passive (the refresh never asks for it), and sends
// one ARP request or neighbour solicitation; the frame is dropped. While
// frames keep coming for it and no answer has arrived, the routing step
// asks again, at most once per `arplookup` seconds, so a lost answer costs
// one interval instead of the host, and an address nobody sends to any
// more is not asked for again. An answer resolves the entry as any other;
// it then stays like every learnt entry.
//
// Forwarded traffic must not grow the table without bound (a sweep of
// every address of a large network would): at most ARP_ROUTED_MAX such
// entries are unresolved at a time, and the refresh removes those that no
// frame asked for during ARP_ROUTED_IDLE seconds, at most
// ARP_ROUTED_SWEEP a second.

// Unresolved routed entries at most: what a kernel keeps of neighbour
// entries by default, more than the hosts a busy router resolves at once.
// Beyond it frames to further new addresses are dropped unasked until the
// refresh makes room.
constexpr int ARP_ROUTED_MAX = 1024;
// Seconds an unresolved routed entry stays without a frame for it: longer
// than the gaps of a client's connection retries (TCP doubles them up to
// 32 s), so a retrying client keeps its entry and its request interval,
// while a scanned address is gone within a minute.
constexpr uint32_t ARP_ROUTED_IDLE = 60;
// Abandoned routed entries the refresh removes per second at most (one
// writer lock each): a full ARP_ROUTED_MAX is cleared in eight seconds.
constexpr int ARP_ROUTED_SWEEP = 128;

// The routing step has a frame for addr, a destination in network n, and
// no MAC to send it to. No entry: makes the routed entry and sends the
// first request (from the network's real or real6 address), unless
// ARP_ROUTED_MAX are unresolved. An unresolved routed entry: notes the
// frame and asks again when the last request is `arplookup` seconds old;
// of concurrent callers exactly one sends. Any other entry is its owner's
// to resolve. Takes the writer lock only to make an entry.
void arp_route_unresolved(const uint8_t addr[16], int network);
// Unresolved routed entries: the last refresh's count, raised by every
// entry made since.
int arp_routed_pending();

// ---------------------------------------------------------------------------
// Frames for the health probes and the refresh

// ARP request for tip from the network's real address and MAC on its
// member interfaces; nothing when the network has no real address.
void arp_send_request(int network, const uint8_t tip[4]);
// Neighbour solicitation for target from the network's real6 address on its
// member interfaces; nothing when the network has no real6.
void nd_send_solicitation(int network, const uint8_t target[16]);
