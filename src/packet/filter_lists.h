// The five address filter lists (ipallow, ipdeny, macallow, macdeny,
// macrouter): sets of MAC addresses or 16-byte IP addresses (IPv4 held
// IPv4-mapped) that the filter modules and ARP learning look up per frame.
// Entries are only inserted; a list is emptied as a whole.
#pragma once

#include <cstdint>

enum FILTERLIST {
    FL_IPALLOW = 0,
    FL_IPDENY = 1,
    FL_MACALLOW = 2,
    FL_MACDENY = 3,
    FL_MACROUTER = 4,
    FL_COUNT = 5,
};

constexpr int FL_CAPACITY = 1024;  // entries per list

// Inserts a MAC address (MAC lists) or an IP address (IP lists); an entry
// already present succeeds. False when the list is full.
bool fl_insert_mac(int list, const uint8_t mac[6]);
bool fl_insert_ip(int list, const uint8_t addr[16]);
// Lookups, safe against concurrent inserts.
bool fl_has_mac(int list, const uint8_t mac[6]);
bool fl_has_ip(int list, const uint8_t addr[16]);
// Empties a list.
void fl_clear(int list);
// Entries in insertion order, for the configuration writer.
int fl_count(int list);
const uint8_t *fl_entry(int list, int i);  // 6 or 16 bytes
