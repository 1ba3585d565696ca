// ARPHASH: a table from a 16-byte IP address (IPv4 held as ::ffff:a.b.c.d)
// to a MAC address, with the state the daemon keeps per address: own
// addresses (VIPs), targets, the refresh counter and the time of the last
// answer.
//
// Instances: the ARP table (every address the daemon knows) and the IP
// filter lists ipallow and ipdeny (packet/filter_lists.h). Entries live in
// the table's POOL (config/pool.h): deleted entries go to its free list and
// are reused, never returned to the system, so a pointer obtained from a
// lookup stays readable even when a command deletes the entry meanwhile.
//
// Locking: lookups and walks take the reader lock; insertions, deletions
// and MAC changes take the writer lock. A walk callback must not take the
// writer lock of the table it walks. ah_find and ah_lookup remember their
// answers per thread while the table's generation stays the same, so a
// repeated lookup of an unchanged table takes no lock. Every change of a
// key's chain or of an entry's via address must therefore be made under
// the writer lock.
#pragma once

#include <cstdint>

#include "config/pool.h"

constexpr int AH_BUCKETS = 4999;
constexpr int AH_CHUNK = 256;           // entries allocated at a time
constexpr int AH_WARNLIMIT = 5;         // MAC change messages per address

struct AHENTRY {
    uint8_t addr[16];       // the key; IPv4 as ::ffff:a.b.c.d
    int32_t family;         // 4 for IPv4-mapped keys, 6 otherwise
    uint8_t mac[6];         // resolved MAC; all zero = not resolved
    uint8_t via[4];         // when set, lookups return the entry of this IPv4 address instead
    int32_t vis;            // declared with the "arp" command (saved as a static entry)
    int32_t vip;            // one of the daemon's own addresses
    int32_t fix;            // a network's own fixed (real) address
    int32_t psv;            // passive: the refresh never asks for it
    int32_t loc;            // excluded from refreshing
    int32_t macchanges;     // MAC change messages given, 0..6
    int32_t target_flag;    // the address belongs to target `target`
    int32_t target;         // target number; -1 = none
    uint32_t last_answer;   // uptime of the last answer that set the MAC; 0 = never
    int32_t counter;        // refresh counter, see arp_refresh
    int32_t network;        // owning network 1..10; 0 = none
    int32_t routed;         // made by the routing step for a destination it had no entry for
    uint32_t asked;         // routed: uptime of the last request the routing step sent for it (atomic access)
    uint32_t wanted;        // routed: uptime of the last frame the routing step had for it (atomic access)
    AHENTRY *next;          // next entry of the same bucket (of the free list while free)
};

// A chunk of AH_CHUNK entries, as the pool allocates it.
using AHCHUNK = POOLCHUNK;

// The table is its pool with the lock: `count` is the number of entries
// in the chains, `chunks` the chunks taken (newest first), `bucket` the
// AH_BUCKETS chain heads, to whose head new entries go.
struct ARPHASH : LOCKEDPOOL {
};

extern ARPHASH *arp_table;    // every IP address the daemon knows, alive from program start

// A new empty table. Failure logs "cannot malloc() ARPHASH" at level 0 and
// ends the daemon with exit code 71.
ARPHASH *ah_create();
// Discards a table with all its entries. No other thread may still use it.
inline void ah_free(ARPHASH *t) { pool_table_free(t); }
// Empties a table in place under its writer lock (entries to the free list).
inline void ah_clear(ARPHASH *t) { pool_table_clear(t); }

// Bucket of a key: h = k0, h = h*31 + ki for the other 15 bytes, mod 4999.
int ah_bucket(const uint8_t key[16]);

// Calls fn for every entry, under the reader lock.
void ah_walk(ARPHASH *t, void (*fn)(AHENTRY *e, void *arg), void *arg);

// The entry of a key, following `via`: an entry with a via address yields
// the entry of that address instead (or nullptr when it has none). A target
// reached through a router thus resolves to the router's MAC.
AHENTRY *ah_lookup(ARPHASH *t, const uint8_t key[16]);
// What the frame path needs of an address's entry (via followed, as
// ah_lookup), copied under the reader lock: the fields may be changed by
// an answer on another thread at any moment, so the packet path reads
// this copy and never the entry itself.
struct AHHOP {
    uint8_t mac[6];         // resolved MAC; all zero = not resolved
    bool vip;               // one of the daemon's own addresses
    int32_t network;        // owning network 1..10; 0 = none
    int32_t key_network;    // the network of the key's own entry (before via); 0 = none or no entry
};
// The entry's fields for a key, following via; false when there is no
// entry. key_network is set in either case (0 without an entry). Answered from a per-thread copy while the table is unchanged, so
// the lookup of a known address takes no lock.
bool ah_resolve(ARPHASH *t, const uint8_t key[16], AHHOP *out);
AHENTRY *ah_lookup4(ARPHASH *t, const uint8_t ip4[4]);
// The entry of exactly this key, without following via.
AHENTRY *ah_find(ARPHASH *t, const uint8_t key[16]);

// Removes every entry with the key; the count never goes below 0.
void ah_delete(ARPHASH *t, const uint8_t key[16]);
void ah_delete4(ARPHASH *t, const uint8_t ip4[4]);

// Inserts the key with a MAC, or updates a known key's MAC by the learning
// rules: a zero MAC on either side never counts as a change, a VIP keeps
// its MAC (conflict logged), a macrouter MAC never replaces a host's, and
// other changes need `psvrelearn` 1. Returns the entry.
AHENTRY *ah_insert(ARPHASH *t, const uint8_t key[16], const uint8_t mac[6]);
AHENTRY *ah_insert4(ARPHASH *t, const uint8_t ip4[4], const uint8_t mac[6]);
// Inserts a copy of *proto (key in proto->addr; family set from the key,
// next ignored) when the key has no entry yet, under one writer lock, so
// no reader ever sees the entry half filled in. Returns the new entry, or
// nullptr (nothing changed) when the key already has one.
AHENTRY *ah_insert_new(ARPHASH *t, const AHENTRY *proto);

// Writer lock of a table, for callers that change an entry's fields.
inline void ah_wrlock(ARPHASH *t) { pool_wrlock(t); }
inline void ah_unlock(ARPHASH *t) { pool_unlock(t); }
