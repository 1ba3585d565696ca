// NATTABLE: inside (IPv4 address, port) to translated port, with the index
// of translated ports and the incremental expiry. The expiry reasoning of
// packet/gnat.cpp holds here unchanged: an entry is gone for every
// operation once it is older than `nattimeout`, so the per-frame lookup
// hit skips the sweep and stays under the reader lock.
#include "packet/nattable.h"

#include <cstddef>
#include <cstring>

#include "command/process.h"
#include "config/parameters.h"
#include "config/pool.h"
#include "ha/sync.h"
#include "packet/age_list.h"

// The inside pair as one run of bytes (no padding), the chains' key.
struct NATKEY {
    uint8_t addr[4];   // inside IPv4 address
    uint16_t iport;    // inside port, host order
};

struct NATENTRY {
    NATKEY key;            // inside address and port
    uint16_t oport;        // translated port, host order
    uint32_t last_used;    // uptime of the last use; atomic access under the reader lock
    uint32_t last_sync;    // uptime of the last announcement; atomic access under the reader lock
    NATENTRY *next;        // bucket chain (the pool's chain; free list while free)
    AGELINK list;          // all entries, newest first
    uint32_t bucket;       // bucket of `key`
};

struct NATTABLE : LOCKEDPOOL {
    NATENTRY *port[65536];   // entry by translated port
    AGELIST list;            // every entry, newest first, with the expiry cursor
    uint16_t next_port;      // where the next port search starts
    int table;               // NAT_TCP or NAT_UDP
};

NATTABLE *nat_tables[NAT_TABLES] = {nat_create(NAT_TCP), nat_create(NAT_UDP)};

NATTABLE *nat_create(int table)
{
    NATTABLE *t = (NATTABLE *)pool_table_new("NATTABLE", sizeof(NATTABLE), NAT_BUCKETS, sizeof(NATENTRY),
                                             offsetof(NATENTRY, next), NAT_CHUNK);
    t->next_port = NAT_PORT_FIRST;
    t->table = table;
    return t;
}

void nat_free(NATTABLE *t)
{
    pool_table_free(t);
}

uint32_t nat_bucket(const uint8_t addr[4], uint16_t iport)
{
    uint32_t h = 0;
    for (int i = 0; i < 4; i++)
        h = h * 31u + addr[i];
    h = h * 31u + (uint8_t)(iport >> 8);
    h = h * 31u + (uint8_t)iport;
    return h % NAT_BUCKETS;
}

// ---------------------------------------------------------------------------
// Under the lock

static NATENTRY *entry_of(AGELINK *l)
{
    return (NATENTRY *)((char *)l - offsetof(NATENTRY, list));
}

static NATKEY key_of(const uint8_t addr[4], uint16_t iport)
{
    NATKEY k;
    memcpy(k.addr, addr, 4);
    k.iport = iport;
    return k;
}

static NATENTRY *find_pair(const NATTABLE *t, const NATKEY &k)
{
    return (NATENTRY *)pool_find(t, nat_bucket(k.addr, k.iport), offsetof(NATENTRY, key), &k, sizeof k);
}

static bool stale(const NATENTRY *e, uint32_t now)
{
    return age_stale(age_load(e->last_used), now, (uint32_t)param_value(P_NATTIMEOUT));
}

static void copy_out(const NATTABLE *t, const NATENTRY *e, NATPAIR *out)
{
    memcpy(out->addr, e->key.addr, 4);
    out->iport = e->key.iport;
    out->oport = e->oport;
    out->last_used = age_load(e->last_used);
    out->last_sync = age_load(e->last_sync);
    out->table = t->table;
}

static void remove_entry(NATTABLE *t, NATENTRY *e)
{
    pool_unlink(t, e->bucket, e);
    t->port[e->oport] = nullptr;
    al_unlink(&t->list, &e->list);
    pool_give(t, e);
}

// The live entry, under the writer lock; a stale one is removed.
static NATENTRY *claim(NATTABLE *t, NATENTRY *e, uint32_t now)
{
    if (e != nullptr && stale(e, now)) {
        remove_entry(t, e);
        return nullptr;
    }
    return e;
}

static void expire_one(NATTABLE *t, uint32_t now)
{
    if (AGELINK *l = al_step(&t->list))
        claim(t, entry_of(l), now);
}

// A new entry; neither the pair nor the port is in use.
static NATENTRY *link_new(NATTABLE *t, const NATKEY &k, uint16_t oport, uint32_t now)
{
    NATENTRY *e = (NATENTRY *)pool_take_or_exit(t, "cannot malloc() nat_new()");
    e->key = k;
    e->oport = oport;
    e->last_used = now;
    e->last_sync = now;
    e->bucket = nat_bucket(k.addr, k.iport);
    pool_push(t, e->bucket, e);
    t->port[oport] = e;
    al_push(&t->list, &e->list);
    return e;
}

// ---------------------------------------------------------------------------
// Operations

// The lookups: a hit under the reader lock; a miss does the operation's
// expiry step under the writer lock.
static bool find_entry(NATTABLE *t, const NATKEY *k, uint16_t oport, NATPAIR *out)
{
    uint32_t now = get_uptime();
    pool_rdlock(t);
    NATENTRY *e = k != nullptr ? find_pair(t, *k) : t->port[oport];
    bool hit = e != nullptr && !stale(e, now);
    bool announce = false;
    if (hit) {
        announce = age_refresh(e->last_used, e->last_sync, now, (uint32_t)param_value(P_NATSYNCIV));
        copy_out(t, e, out);
    }
    pool_unlock(t);
    if (hit) {
        if (announce)
            sync_announce_nat(*out);
        return true;
    }
    pool_wrlock(t);
    expire_one(t, now);
    pool_unlock(t);
    return false;
}

bool nat_find(NATTABLE *t, const uint8_t addr[4], uint16_t iport, NATPAIR *out)
{
    NATKEY k = key_of(addr, iport);
    return find_entry(t, &k, 0, out);
}

bool nat_find_port(NATTABLE *t, uint16_t oport, NATPAIR *out)
{
    return find_entry(t, nullptr, oport, out);
}

bool nat_new(NATTABLE *t, const uint8_t addr[4], uint16_t iport, NATPAIR *out)
{
    uint32_t now = get_uptime();
    NATKEY k = key_of(addr, iport);
    pool_wrlock(t);
    expire_one(t, now);
    if (NATENTRY *e = claim(t, find_pair(t, k), now)) {
        copy_out(t, e, out);
        pool_unlock(t);
        return true;
    }
    const uint32_t start = t->next_port;   // 20000..65535 always
    uint32_t p = start;
    do {
        if (claim(t, t->port[p], now) == nullptr) {
            t->next_port = p == 65535 ? NAT_PORT_FIRST : (uint16_t)(p + 1);
            copy_out(t, link_new(t, k, (uint16_t)p, now), out);
            pool_unlock(t);
            sync_announce_nat(*out);
            return true;
        }
        p = p == 65535 ? NAT_PORT_FIRST : p + 1;
    } while (p != start);
    pool_unlock(t);
    return false;
}

bool nat_update(NATTABLE *t, const uint8_t addr[4], uint16_t iport, uint16_t oport)
{
    if (oport < NAT_PORT_FIRST)
        return false;
    uint32_t now = get_uptime();
    NATKEY k = key_of(addr, iport);
    pool_wrlock(t);
    expire_one(t, now);
    NATENTRY *e = find_pair(t, k);
    if (e != nullptr && e->oport != oport) {
        remove_entry(t, e);
        e = nullptr;
    }
    if (e == nullptr) {
        if (NATENTRY *holder = t->port[oport])
            remove_entry(t, holder);
        link_new(t, k, oport, now);
    } else {
        e->last_used = now;
    }
    pool_unlock(t);
    return true;
}

void nat_expire_step(NATTABLE *t)
{
    uint32_t now = get_uptime();
    pool_wrlock(t);
    expire_one(t, now);
    pool_unlock(t);
}

int nat_count(NATTABLE *t)
{
    pool_rdlock(t);
    int n = t->count;
    pool_unlock(t);
    return n;
}

void nat_walk(NATTABLE *t, bool (*fn)(const NATPAIR &p, void *arg), void *arg)
{
    uint32_t now = get_uptime();
    pool_rdlock(t);
    for (AGELINK *l = t->list.head; l != nullptr; l = l->next) {
        const NATENTRY *e = entry_of(l);
        if (stale(e, now))
            continue;
        NATPAIR p;
        copy_out(t, e, &p);
        if (!fn(p, arg))
            break;
    }
    pool_unlock(t);
}

void nat_clear(NATTABLE *t)
{
    pool_wrlock(t);
    pool_clear(t);
    memset(t->port, 0, sizeof t->port);
    al_reset(&t->list);
    t->next_port = NAT_PORT_FIRST;
    pool_unlock(t);
}
