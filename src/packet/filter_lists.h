// The five address filter lists (ipallow, ipdeny, macallow, macdeny,
// macrouter). The IP lists are ARPHASH tables of 16-byte addresses (IPv4
// held IPv4-mapped) stored with an all-zero MAC; the MAC lists are MACHASH
// tables. The filter modules only look up; commands insert, and
// `no <list>` empties a list as a whole. The macrouter table belongs to the
// MAC tables (packet/machash.h), since the ARP table's learning rules read
// it; here it is served as a list like the others.
//
// Emptying keeps the table and moves its entries to the table's free list
// under its writer lock, so a packet thread that is looking up at that
// moment reads valid memory and the list pointer never changes.
#pragma once

#include <cstdint>

#include "packet/arphash.h"
#include "packet/machash.h"

enum FILTERLIST {
    FL_IPALLOW = 0,
    FL_IPDENY = 1,
    FL_MACALLOW = 2,
    FL_MACDENY = 3,
    FL_MACROUTER = 4,
    FL_COUNT = 5,
};

// MAC list entries carry this interface slot: a list records no place, and
// a slot other than MH_NOIF lets the table's walk visit the entry.
constexpr uint32_t FL_NOSLOT = 0;

// The list tables, alive from program start.
extern ARPHASH *ipallow_list;    // sources the ipallow module passes
extern ARPHASH *ipdeny_list;     // sources the ipdeny module drops
extern MACHASH *macallow_list;   // source MACs the macallow module passes
extern MACHASH *macdeny_list;    // source MACs the macdeny module drops

// Inserts a MAC address (MAC lists) or an IP address (IP lists); an entry
// already present stays as it is. False for a list of the other kind. The
// all-zero MAC is not stored (MACHASH ignores it), so it is never listed.
bool fl_insert_mac(int list, const uint8_t mac[6]);
bool fl_insert_ip(int list, const uint8_t addr[16]);
// Lookups under the table's reader lock; false for a list of the other kind.
bool fl_has_mac(int list, const uint8_t mac[6]);
bool fl_has_ip(int list, const uint8_t addr[16]);
// Empties a list.
void fl_clear(int list);
// Entries in a list.
int fl_count(int list);

// The configuration writer of the lists is write_filter_lists
// (config/config_writer.h): "<list> {" blocks, each list in ascending
// address order.
