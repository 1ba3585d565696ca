// MACHASH: a table from MAC address to the interface slot on which the
// address was seen, with the target and warning state of that address.
//
// Instances: the learned MAC table (every source MAC seen, also the
// switching table), the own-MAC table, the macrouter list the ARP table's
// learning rules consult, and the MAC filter lists macallow and macdeny
// (packet/filter_lists.h, which also serves macrouter as a list). Entries
// are never removed singly; a whole table is emptied (mh_clear) or
// discarded (mh_free). Entries come from the table's POOL (config/pool.h),
// so a learned MAC costs no malloc() per frame and an entry pointer stays
// readable for the life of its table.
//
// Locking: lookups and walks take the table's reader lock, changes take its
// writer lock. A walk callback must not change the table it walks. The
// entry and interface questions (mh_lookup, mh_interface_of, and so
// mh_learn) are answered from a per-thread cache while the table's
// generation is unchanged, so the per-frame learning of an already known
// sender and the own-MAC test take no lock.
#pragma once

#include <cstdint>

#include "config/pool.h"

constexpr int MH_BUCKETS = 1024;
constexpr uint32_t MH_NOIF = 0xFFFFFFFF;    // entry reserved, not yet seen on any interface
constexpr int MH_TOOMANY = 10000;           // more entries than this are reported as a potential attack
constexpr int MH_CHUNK = 256;               // entries allocated at a time
constexpr int MH_WARNLIMIT = 5;             // "first seen" warnings given per non-target MAC

struct MHENTRY {
    uint8_t mac[6];       // the MAC address, the key
    uint32_t iface;       // interface slot where it was last seen; MH_NOIF = not yet seen
    int32_t target_flag;  // 1 = this MAC belongs to target `target`
    int32_t target;       // target number, valid with target_flag
    int32_t warnings;     // "first seen" warnings given so far, 0..6
    MHENTRY *next;        // next entry of the same bucket (of the free list while free)
};

// A chunk of MH_CHUNK entries, as the pool allocates it.
using MHCHUNK = POOLCHUNK;

// The table is its pool with the lock: `count` is the number of entries
// in the chains, `chunks` the chunks taken (newest first), `bucket` the
// MH_BUCKETS chain heads, to whose head new entries go.
struct MACHASH : LOCKEDPOOL {
};

// The table instances, alive from program start.
extern MACHASH *mac_table;       // every source MAC seen, with its interface ("show machash")
extern MACHASH *ownmac_table;    // the daemon's own MACs, entered when networks are enabled
extern MACHASH *macrouter_list;  // routers' MACs ("macrouter"): never replace a host's MAC in the ARP table

// A new empty table. Failure logs "cannot malloc() MACHASH" at level 0 and
// ends the daemon with exit code 71.
MACHASH *mh_create();
// Discards a table with all its entries. No other thread may still use it.
inline void mh_free(MACHASH *t) { pool_table_free(t); }
// Empties a table in place under its writer lock; entries go to its free
// list, so concurrent readers holding an entry pointer read stale but valid
// memory. Prefer this over mh_free for tables the packet path reads.
inline void mh_clear(MACHASH *t) { pool_table_clear(t); }

// Bucket of a MAC: the sum of its three big-endian 16-bit words mod 1024.
int mh_bucket(const uint8_t mac[6]);

// Calls fn for every entry seen on an interface (iface != MH_NOIF), under
// the reader lock.
void mh_walk(MACHASH *t, void (*fn)(MHENTRY *e, void *arg), void *arg);

// The entry of a MAC or nullptr. Answered without the lock when this
// thread asked the same since the table last changed (the own-MAC test of
// every routed frame asks it).
MHENTRY *mh_lookup(MACHASH *t, const uint8_t mac[6]);
// The interface slot the MAC was seen on, or -1 (unknown or not yet seen).
// Answered without the lock when this thread asked the same since the
// table last changed.
int mh_interface_of(MACHASH *t, const uint8_t mac[6]);
// The target number when the MAC is seen on an interface and belongs to a
// target, else -1.
int mh_target_of(MACHASH *t, const uint8_t mac[6]);

// Records that the MAC was seen on interface slot `iface`: nothing when
// mh_interface_of already says so (true returned, no writer lock) or when
// it is a group (multicast or broadcast) address, which no single
// interface reaches (false returned); else mh_insert (false returned).
bool mh_learn(MACHASH *t, const uint8_t mac[6], uint32_t iface);

// Inserts the MAC or moves it to another interface, with the sticky-target
// rule and the "first seen" warnings. The all-zero MAC is ignored; iface
// MH_NOIF reserves an entry without an interface.
void mh_insert(MACHASH *t, const uint8_t mac[6], uint32_t iface);

// Marks a MAC already seen on an interface as target `target`'s; a target
// without a sticky interface sticks to that interface.
void mh_mark_target(MACHASH *t, const uint8_t mac[6], int target);

// Moves a known MAC to another interface without any rule or message
// (used to hold a target's MAC on its sticky interface).
void mh_set_interface(MACHASH *t, const uint8_t mac[6], uint32_t iface);
