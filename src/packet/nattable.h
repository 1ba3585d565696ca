// NATTABLE: port translation of IPv4 hosts onto translated ports 20000 to
// 65535, one table per protocol (TCP and UDP). An entry maps an inside
// (address, port) to a translated port; frames going out are found by the
// inside pair, answers coming back by the translated port. The session
// synchronisation copies the entries to the VRRP peer.
//
// 30000 hash chains over the inside pair (in the table's POOL), an index
// of the 65536 translated ports, a next-port cursor, a list of all
// entries (newest first) with a scan cursor for the incremental expiry, a
// count and the table's reader/writer lock.
//
// Time works as in GNATTABLE (packet/gnat.h): an entry unused for more
// than `nattimeout` seconds is absent for lookups and its translated port
// is free from that moment; the expiry step only reclaims it. Lookups
// return copies taken under the lock.
#pragma once

#include <cstdint>

constexpr int NAT_BUCKETS = 30000;
constexpr int NAT_CHUNK = 256;
constexpr uint16_t NAT_PORT_FIRST = 20000;   // translated ports: 20000..65535

// The two instances, by the selector the synchronisation frames carry.
enum NATTABLEID : int {
    NAT_TCP = 0,
    NAT_UDP = 1,
    NAT_TABLES = 2,
};

// A copy of an entry as lookups return it.
struct NATPAIR {
    uint8_t addr[4];      // inside IPv4 address
    uint16_t iport;       // inside port, host order
    uint16_t oport;       // translated port, host order
    uint32_t last_used;   // uptime of the last use
    uint32_t last_sync;   // uptime of the last announcement to the peer
    int table;            // NAT_TCP or NAT_UDP: the table it came from
};

struct NATTABLE;

extern NATTABLE *nat_tables[NAT_TABLES];   // alive from program start

// A new empty table that names itself `table` in its copies ("cannot
// malloc() NATTABLE", exit 71).
NATTABLE *nat_create(int table);
void nat_free(NATTABLE *t);
// Bucket of an inside pair: the four address bytes, then the port's two
// bytes in network order, each folded as h*31 + byte, modulo 30000 in
// unsigned 32-bit arithmetic.
uint32_t nat_bucket(const uint8_t addr[4], uint16_t iport);

// The entry of the inside pair: when there is none, the next free
// translated port from the cursor (20000..65535, wrapping to 20000) is
// given out and the cursor moves past it; the new entry is announced.
// *out gets a copy. False, nothing inserted, when every port is taken.
// Entry allocation failure logs "cannot malloc() nat_new()" and ends the
// daemon (exit 71).
bool nat_new(NATTABLE *t, const uint8_t addr[4], uint16_t iport, NATPAIR *out);
// The unexpired entry of an inside pair, or of a translated port: copies
// it to *out, refreshes its last-used time and, when its last
// announcement is `natsynciv` seconds old, announces it. False when absent.
bool nat_find(NATTABLE *t, const uint8_t addr[4], uint16_t iport, NATPAIR *out);
bool nat_find_port(NATTABLE *t, uint16_t oport, NATPAIR *out);
// Makes the table map the inside pair to oport, as the peer announced it:
// entries holding either side with another mapping are removed first, an
// entry already mapping them is refreshed. Not announced. False for a
// port outside 20000..65535.
bool nat_update(NATTABLE *t, const uint8_t addr[4], uint16_t iport, uint16_t oport);
// One expiry step (see GNATTABLE).
void nat_expire_step(NATTABLE *t);
// Entries in the table, expired ones not yet swept included.
int nat_count(NATTABLE *t);
// Calls fn with a copy of every unexpired entry, newest first, under the
// reader lock, until fn returns false. fn must not use the table.
void nat_walk(NATTABLE *t, bool (*fn)(const NATPAIR &p, void *arg), void *arg);
// Removes every entry; the port cursor starts again at 20000.
void nat_clear(NATTABLE *t);
