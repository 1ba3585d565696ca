// INDEXREGISTRY: the hash map from (16-byte address, port) to an object
// number through which the packet path finds the server or target a frame
// belongs to. Two instances exist, one for servers and one for targets;
// the lifecycle commands fill them on register and empty them on
// unregister.
//
// IPv4 addresses are stored IPv4-mapped (::ffff:a.b.c.d). Ports are kept as
// the two bytes of network order, the way the records hold them. Every
// operation takes the registry's reader/writer lock itself: lookups and
// walks shared, insertions and deletions exclusive, so packet threads may
// look up while a command changes the registry. Entries and bucket chains
// live in the registry's POOL (config/pool.h): entries come in chunks and
// deleted ones are reused.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "config/pool.h"

constexpr int IR_BUCKETS = 1024;
constexpr int IR_CHUNK = 256;  // entries allocated at a time

struct IRENTRY {
    uint8_t addr[16];          // address, IPv4 stored IPv4-mapped
    int32_t family;            // 4 when bytes 10 and 11 are 0xff, else 6
    uint8_t port[2];           // port bytes in network order
    int32_t number;            // server or target number
    IRENTRY *next;             // next entry of the same bucket chain (of the free list while free)
    IRENTRY *list_next;        // next entry of the all-entries list
    IRENTRY *list_prev;        // previous entry of the all-entries list
};

// The pool is a member, not the base: `count` here is the lifecycle's
// count of registry keys, not the pool's count of entries.
struct INDEXREGISTRY {
    POOL pool;                 // entries and bucket chains
    void *heads[IR_BUCKETS];   // the chain heads pool.bucket points at
    IRENTRY *list;             // head of the all-entries list (newest first)
    pthread_rwlock_t lock;     // shared for lookups and walks, exclusive for changes
    int32_t count;             // registry keys held; kept by the lifecycle commands
    int32_t enabled;           // enabled objects; kept by the lifecycle commands
    uint64_t generation;       // raised whenever the writer lock is taken; atomic access
};

// The server registry and the target registry, created by registries_init().
extern INDEXREGISTRY *server_registry;
extern INDEXREGISTRY *target_registry;

// Creates both registries on the first call; later calls empty them and
// zero their counts (start-up state, and a clean start for tests).
void registries_init();

// A new empty registry; allocation failure logs "cannot malloc()
// INDEXREGISTRY" and ends the process with exit code 71.
INDEXREGISTRY *ir_new();
// Empties the registry, returns its entry chunks to the system and zeroes
// both counts; the registry can be filled again. Not for use while packet
// threads may hold references (they hold none: lookups return numbers).
void ir_clear(INDEXREGISTRY *ir);

// Bucket of a key: h = first address byte, then h = h*31 + byte over the
// other fifteen address bytes and the two port bytes, unsigned 32 bits,
// modulo 1024.
uint32_t ir_hash(const uint8_t addr[16], uint16_t port_n);

// Maps (addr, port) to number. An existing key only gets the new number;
// otherwise the entry goes to the head of its chain and of the list.
// Allocation failure logs "cannot malloc(): ir_insert()" and exits with 71.
void ir_insert(INDEXREGISTRY *ir, const uint8_t addr[16], uint16_t port_n, int32_t number);
void ir_insert4(INDEXREGISTRY *ir, const uint8_t addr[4], uint16_t port_n, int32_t number);

// The number held for (addr, port), 0 when the key is absent. The number is
// copied under the read lock, so a concurrent delete can never leave the
// caller holding a freed entry. Each thread keeps its recent answers and
// gives them again without the lock while the registry's generation (new
// at every writer lock, before any change) stays the same.
int32_t ir_lookup(INDEXREGISTRY *ir, const uint8_t addr[16], uint16_t port_n);
int32_t ir_lookup4(INDEXREGISTRY *ir, const uint8_t addr[4], uint16_t port_n);

// Removes every entry with the key; returns how many were removed.
int ir_delete(INDEXREGISTRY *ir, const uint8_t addr[16], uint16_t port_n);
int ir_delete4(INDEXREGISTRY *ir, const uint8_t addr[4], uint16_t port_n);

// Calls fn for every entry along the all-entries list, under the read lock;
// fn must not change the registry.
using IRWALKFN = void (*)(const IRENTRY *entry, void *arg);
void ir_walk(INDEXREGISTRY *ir, IRWALKFN fn, void *arg);
// Walks only the IPv4 entries (family 4) or only the IPv6 ones.
void ir_walk4(INDEXREGISTRY *ir, IRWALKFN fn, void *arg);
void ir_walk6(INDEXREGISTRY *ir, IRWALKFN fn, void *arg);
