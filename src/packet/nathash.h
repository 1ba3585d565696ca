// NATHASH: a map from (address, protocol, port) to a translated address,
// the forward and reverse tables of target NAT. Port 0 means "any port".
//
// 256 buckets of chains in a LOCKEDPOOL (config/pool.h). The bucket of a
// key folds the 16 address bytes as h = h*31 + byte, then the protocol and
// the two port bytes (network order) the same way, modulo 256.
//
// Lookups return a copy of the value taken under the reader lock, so no
// caller ever holds a pointer into the table; each thread keeps the
// answers it got while the table stays unchanged, so a repeated lookup
// takes no lock.
#pragma once

#include <cstdint>

#include "config/pool.h"

constexpr int NH_BUCKETS = 256;
constexpr int NH_CHUNK = 64;

struct NHKEY {
    uint8_t addr[16];     // IPv4 as ::ffff:a.b.c.d
    uint8_t proto;        // IP protocol (6 TCP, 17 UDP)
    uint16_t port;        // host order; 0 = any port
};

struct NHENTRY {
    NHKEY key;
    uint8_t value[16];    // the translated address, IPv4-mapped for IPv4
    uint8_t value4[4];    // its IPv4 form (zero for IPv6)
    NHENTRY *next;        // bucket chain (free list while free)
};

struct NATHASH : LOCKEDPOOL {
};

// A new empty table ("cannot malloc() NATHASH", exit 71, on failure).
NATHASH *nh_create();
inline void nh_free(NATHASH *t) { pool_table_free(t); }
// Bucket of a key, as above.
int nh_bucket(const NHKEY &key);
// Inserts key -> value (16 bytes); a second insert of the same key adds
// another entry, which lookups do not see before the first is deleted.
void nh_insert(NATHASH *t, const NHKEY &key, const uint8_t value[16]);
// Removes every entry with the key; returns how many there were.
int nh_delete(NATHASH *t, const NHKEY &key);
// The value of a key (16 bytes to value16, the IPv4 form to value4 when
// not null), under the reader lock or from this thread's answer to the
// same key since the table last changed; false when absent.
bool nh_lookup(NATHASH *t, const NHKEY &key, uint8_t value16[16], uint8_t *value4);
// Calls fn with every entry, under the reader lock (the `tnat` block
// writer). fn must not change the table.
void nh_walk(NATHASH *t, void (*fn)(const NHENTRY *e, void *arg), void *arg);
// Empties the table.
inline void nh_clear(NATHASH *t) { pool_table_clear(t); }
