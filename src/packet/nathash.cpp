// NATHASH: (address, protocol, port) to a translated address, the forward
// and reverse tables of target NAT.
#include "packet/nathash.h"

#include <cstddef>
#include <cstring>

#include "config/addr.h"

NATHASH *nh_create()
{
    return (NATHASH *)pool_table_new("NATHASH", sizeof(NATHASH), NH_BUCKETS, sizeof(NHENTRY),
                                     offsetof(NHENTRY, next), NH_CHUNK);
}

int nh_bucket(const NHKEY &key)
{
    uint32_t h = 0;
    for (uint8_t b : key.addr)
        h = h * 31u + b;
    h = h * 31u + key.proto;
    h = h * 31u + (uint8_t)(key.port >> 8);  // the port's bytes in network order
    h = h * 31u + (uint8_t)key.port;
    return (int)(h % NH_BUCKETS);
}

// The key has a padding byte, so keys are compared field by field.
static bool same_key(const NHKEY &a, const NHKEY &b)
{
    return a.proto == b.proto && a.port == b.port && memcmp(a.addr, b.addr, 16) == 0;
}

void nh_insert(NATHASH *t, const NHKEY &key, const uint8_t value[16])
{
    pool_wrlock(t);
    NHENTRY *e = (NHENTRY *)pool_take_or_exit(t, "nh_insert(): cannot malloc");
    memcpy(e->key.addr, key.addr, 16);
    e->key.proto = key.proto;
    e->key.port = key.port;
    memcpy(e->value, value, 16);
    if (is_ipv4_mapped(value))
        memcpy(e->value4, value + 12, 4);
    // At the tail of its chain: lookups answer with the first entry of a
    // key, so a repeated rule stays hidden behind the older one.
    NHENTRY **at = (NHENTRY **)&t->bucket[nh_bucket(key)];
    while (*at != nullptr)
        at = &(*at)->next;
    *at = e;
    pool_unlock(t);
}

int nh_delete(NATHASH *t, const NHKEY &key)
{
    pool_wrlock(t);
    int removed = 0;
    for (NHENTRY **at = (NHENTRY **)&t->bucket[nh_bucket(key)]; *at != nullptr;) {
        NHENTRY *e = *at;
        if (same_key(e->key, key)) {
            *at = e->next;
            pool_give(t, e);
            removed++;
        } else {
            at = &e->next;
        }
    }
    pool_unlock(t);
    return removed;
}

// Per-thread answers of nh_lookup. While rules exist, the `tnat` module
// looks up to four keys of every TCP and UDP frame, nearly all of them
// misses, and each locked lookup writes the lock's shared cache line. A
// row holds a key, what the locked lookup answered for it and the table's
// generation at that moment; while the table keeps that generation (no
// writer since) the row is the answer the locked lookup would give now.
// The POOLCACHE of config/pool.h works the same way, but its rows hold
// neither a key of this size nor a 16-byte value. Generations are unique
// across tables, so the forward and reverse tables share the rows.
namespace {

constexpr int NHCACHE_ROWS = 64;   // 1 << 6: the top 6 bits of a hash pick the row

struct NHCACHEROW {
    uint64_t generation;   // the table's generation when filled; 0 = empty
    NHKEY key;             // the key looked up
    bool found;            // the lookup's answer
    uint8_t value16[16];   // the value when found
    uint8_t value4[4];     // its IPv4 form
};

thread_local NHCACHEROW nh_cache[NHCACHE_ROWS];

// The row of a key: the top bits of multiplicative hashes of its words.
// The bucket fold would do, but its 19 dependent multiplications cost more
// than the locked lookup this row saves.
NHCACHEROW &cache_row(const NHKEY &key)
{
    uint64_t lo, hi;
    memcpy(&lo, key.addr, 8);
    memcpy(&hi, key.addr + 8, 8);
    uint64_t h = lo * 0x9e3779b97f4a7c15u ^ hi * 0xc2b2ae3d27d4eb4fu ^
                 ((uint64_t)key.proto << 16 | key.port) * 0x165667b19e3779f9u;
    return nh_cache[h >> 58];
}

} // namespace

bool nh_lookup(NATHASH *t, const NHKEY &key, uint8_t value16[16], uint8_t *value4)
{
    NHCACHEROW &r = cache_row(key);
    if (r.generation != pool_generation(t) || !same_key(r.key, key)) {
        pool_rdlock(t);
        const NHENTRY *e = (const NHENTRY *)t->bucket[nh_bucket(key)];
        while (e != nullptr && !same_key(e->key, key))
            e = e->next;
        r.found = e != nullptr;
        if (r.found) {
            memcpy(r.value16, e->value, 16);
            memcpy(r.value4, e->value4, 4);
        }
        memcpy(r.key.addr, key.addr, 16);
        r.key.proto = key.proto;
        r.key.port = key.port;
        // Read under the lock: the generation the answer belongs to.
        r.generation = pool_generation(t);
        pool_unlock(t);
    }
    if (r.found) {
        memcpy(value16, r.value16, 16);
        if (value4 != nullptr)
            memcpy(value4, r.value4, 4);
    }
    return r.found;
}

void nh_walk(NATHASH *t, void (*fn)(const NHENTRY *e, void *arg), void *arg)
{
    pool_rdlock(t);
    POOLWALK w = {};
    while (const NHENTRY *e = (const NHENTRY *)pool_walk(t, &w))
        fn(e, arg);
    pool_unlock(t);
}
