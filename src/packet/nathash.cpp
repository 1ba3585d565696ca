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

bool nh_lookup(NATHASH *t, const NHKEY &key, uint8_t value16[16], uint8_t *value4)
{
    pool_rdlock(t);
    const NHENTRY *e = (const NHENTRY *)t->bucket[nh_bucket(key)];
    while (e != nullptr && !same_key(e->key, key))
        e = e->next;
    if (e != nullptr) {
        memcpy(value16, e->value, 16);
        if (value4 != nullptr)
            memcpy(value4, e->value4, 4);
    }
    pool_unlock(t);
    return e != nullptr;
}

void nh_walk(NATHASH *t, void (*fn)(const NHENTRY *e, void *arg), void *arg)
{
    pool_rdlock(t);
    POOLWALK w = {};
    while (const NHENTRY *e = (const NHENTRY *)pool_walk(t, &w))
        fn(e, arg);
    pool_unlock(t);
}
