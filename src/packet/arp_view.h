// The address-table lookups the small modules need (ARP table entry of an
// IP address, MAC table learn and lookup), answered from the ARP table and
// the learned MAC table.
#pragma once

#include <cstdint>

// What the modules read from an ARP table entry.
struct ARPVIEW {
    uint8_t mac[6];                // resolved MAC, zero = unresolved
    int vip;                       // 1 for one of the daemon's own addresses
    int network;                   // owning network, 0 = none
};

// Looks a 16-byte address (IPv4 mapped) up; false when there is no entry.
bool arp_view_lookup(const uint8_t addr[16], ARPVIEW *out);
// Records that a MAC was seen on an interface slot (switch learning).
void mac_learn(const uint8_t mac[6], int slot);
// Slot on which a MAC was learned, or -1.
int mac_interface(const uint8_t mac[6]);

// Table maintenance for tests and the fuzz target: an entry of the ARP
// table (passive, no target) and emptying the two tables.
constexpr int ARPVIEW_CAPACITY = 256;
bool arp_view_insert(const uint8_t addr[16], const uint8_t mac[6], int vip, int network);
void arp_view_clear();
void mac_view_clear();
