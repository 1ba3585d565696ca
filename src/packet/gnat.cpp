// GNATTABLE: the associations of the `nat` module between inside hosts
// (left) and the ports given out for them on the outside address (right).
//
// Entries come from the table's POOL, chained through the pool's buckets
// on their left side and through the table's own array on their right
// side, and listed newest first for the incremental expiry.
//
// Expiry. An association whose last use is more than `nattimeout` seconds
// old is treated as gone by every operation the moment it is that old:
// lookups miss it, a port search counts its port as free, and an insert
// or port search that meets it removes it. The incremental sweep (one
// step per insert, port search and lookup miss, and `natscan` steps a
// second) therefore only reclaims memory; it decides nothing. That is
// what lets the lookup hit, the per-frame case, skip the sweep and stay
// under the reader lock: a stale entry the sweep has not reached yet can
// never be found, refreshed or revived by a late answer.
#include "packet/gnat.h"

#include <cstddef>
#include <cstring>

#include "command/process.h"
#include "config/parameters.h"
#include "ha/sync.h"
#include "packet/age_list.h"

struct GNATENTRY {
    GNATKEY left;            // inside address, type, port or echo identifier
    GNATKEY right;           // outside address, type, port given out
    uint32_t last_used;      // uptime of the last use; atomic access under the reader lock
    uint32_t last_sync;      // uptime of the last announcement; atomic access under the reader lock
    GNATENTRY *left_next;    // left bucket chain (the pool's chain; free list while free)
    GNATENTRY *right_next;   // right bucket chain
    AGELINK list;            // all entries, newest first
    uint32_t left_bucket;    // bucket of `left`
    uint32_t right_bucket;   // bucket of `right`
};

// The pool's chain heads are the left buckets.
struct GNATTABLE : LOCKEDPOOL {
    GNATENTRY *right[GNAT_BUCKETS];   // right bucket chains
    AGELIST list;                     // every entry, newest first, with the expiry cursor
};

GNATTABLE *gnat_table = gnat_create();

GNATTABLE *gnat_create()
{
    return (GNATTABLE *)pool_table_new("GNATTABLE", sizeof(GNATTABLE), GNAT_BUCKETS, sizeof(GNATENTRY),
                                       offsetof(GNATENTRY, left_next), GNAT_CHUNK);
}

void gnat_free(GNATTABLE *t)
{
    pool_table_free(t);
}

uint32_t gnat_bucket(const GNATKEY &k)
{
    uint32_t h = 0;
    for (uint8_t b : k.addr)
        h = h * 31u + b;
    h = h * 31u + k.type;
    return (h * 31u + k.port) % GNAT_BUCKETS;
}

const char *gnat_type_name(int type)
{
    static const char *const names[GNAT_TYPES] = {" -- ", "TCP4", "UDP4", "ECH4", "TCP6", "UDP6", "ECH6"};
    return type > 0 && type < GNAT_TYPES ? names[type] : names[0];
}

// ---------------------------------------------------------------------------
// Under the lock

static GNATENTRY *entry_of(AGELINK *l)
{
    return (GNATENTRY *)((char *)l - offsetof(GNATENTRY, list));
}

static GNATENTRY *find_left(const GNATTABLE *t, const GNATKEY &k)
{
    return (GNATENTRY *)pool_find(t, gnat_bucket(k), offsetof(GNATENTRY, left), &k, sizeof k);
}

static GNATENTRY *find_right(const GNATTABLE *t, const GNATKEY &k)
{
    GNATENTRY *e = t->right[gnat_bucket(k)];
    while (e != nullptr && memcmp(&e->right, &k, sizeof k) != 0)
        e = e->right_next;
    return e;
}

static bool stale(const GNATENTRY *e, uint32_t now)
{
    return age_stale(age_load(e->last_used), now, (uint32_t)param_value(P_NATTIMEOUT));
}

static void copy_out(const GNATENTRY *e, GNATPAIR *out)
{
    out->left = e->left;
    out->right = e->right;
    out->last_used = age_load(e->last_used);
    out->last_sync = age_load(e->last_sync);
}

// Writer lock.
static void remove_entry(GNATTABLE *t, GNATENTRY *e)
{
    pool_unlink(t, e->left_bucket, e);
    for (GNATENTRY **at = &t->right[e->right_bucket]; *at != nullptr; at = &(*at)->right_next)
        if (*at == e) {
            *at = e->right_next;
            break;
        }
    al_unlink(&t->list, &e->list);
    pool_give(t, e);
}

// The live entry of a side, under the writer lock; a stale one met here is
// removed and the answer is "none".
static GNATENTRY *claim(GNATTABLE *t, GNATENTRY *e, uint32_t now)
{
    if (e != nullptr && stale(e, now)) {
        remove_entry(t, e);
        return nullptr;
    }
    return e;
}

// One expiry step, under the writer lock.
static void expire_one(GNATTABLE *t, uint32_t now)
{
    if (AGELINK *l = al_step(&t->list))
        claim(t, entry_of(l), now);
}

// A new association, under the writer lock; neither side exists.
static GNATENTRY *link_new(GNATTABLE *t, const GNATKEY &left, const GNATKEY &right, uint32_t now)
{
    GNATENTRY *e = (GNATENTRY *)pool_take_or_exit(t, "cannot malloc() gnat_insert()");
    e->left = left;
    e->right = right;
    e->last_used = now;
    e->last_sync = now;
    e->left_bucket = gnat_bucket(left);
    e->right_bucket = gnat_bucket(right);
    pool_push(t, e->left_bucket, e);
    e->right_next = t->right[e->right_bucket];
    t->right[e->right_bucket] = e;
    al_push(&t->list, &e->list);
    return e;
}

// ---------------------------------------------------------------------------
// Operations

// find-left and find-right. The hit takes only the reader lock; a miss
// takes the writer lock for the operation's expiry step.
static bool find_side(GNATTABLE *t, const GNATKEY &k, bool right, GNATPAIR *out)
{
    uint32_t now = get_uptime();
    pool_rdlock(t);
    GNATENTRY *e = right ? find_right(t, k) : find_left(t, k);
    bool hit = e != nullptr && !stale(e, now);
    bool announce = false;
    if (hit) {
        announce = age_refresh(e->last_used, e->last_sync, now, (uint32_t)param_value(P_NATSYNCIV));
        copy_out(e, out);
    }
    pool_unlock(t);
    if (hit) {
        if (announce)
            sync_announce_gnat(*out);
        return true;
    }
    pool_wrlock(t);
    expire_one(t, now);
    pool_unlock(t);
    return false;
}

bool gnat_find_left(GNATTABLE *t, const GNATKEY &left, GNATPAIR *out)
{
    return find_side(t, left, false, out);
}

bool gnat_find_right(GNATTABLE *t, const GNATKEY &right, GNATPAIR *out)
{
    return find_side(t, right, true, out);
}

void gnat_insert(GNATTABLE *t, const GNATKEY &left, const GNATKEY &right, GNATPAIR *out)
{
    uint32_t now = get_uptime();
    pool_wrlock(t);
    expire_one(t, now);
    GNATENTRY *e = claim(t, find_left(t, left), now);
    if (e == nullptr)
        e = claim(t, find_right(t, right), now);
    bool fresh = e == nullptr;
    if (fresh)
        e = link_new(t, left, right, now);
    copy_out(e, out);
    pool_unlock(t);
    if (fresh)
        sync_announce_gnat(*out);
}

bool gnat_allocate_port(GNATTABLE *t, const GNATKEY &left, const uint8_t right_addr[16], uint16_t type,
                        uint16_t *cursor, GNATPAIR *out)
{
    uint32_t now = get_uptime();
    pool_wrlock(t);
    expire_one(t, now);
    // Two frames of a new flow may both have missed it; the second one
    // finds the first one's association here.
    if (GNATENTRY *e = claim(t, find_left(t, left), now)) {
        copy_out(e, out);
        pool_unlock(t);
        return true;
    }
    GNATKEY right;
    memcpy(right.addr, right_addr, 16);
    right.type = type;
    // A cursor below the range would never come round again: it starts at
    // the first port like 0 does.
    const uint32_t start = *cursor < GNAT_PORT_FIRST ? GNAT_PORT_FIRST : *cursor;
    uint32_t p = start;
    do {
        right.port = (uint16_t)p;
        if (claim(t, find_right(t, right), now) == nullptr) {
            *cursor = p == 65535 ? GNAT_PORT_FIRST : (uint16_t)(p + 1);
            copy_out(link_new(t, left, right, now), out);
            pool_unlock(t);
            sync_announce_gnat(*out);
            return true;
        }
        p = p == 65535 ? GNAT_PORT_FIRST : p + 1;
    } while (p != start);
    pool_unlock(t);
    return false;
}

void gnat_expire_step(GNATTABLE *t)
{
    uint32_t now = get_uptime();
    pool_wrlock(t);
    expire_one(t, now);
    pool_unlock(t);
}

int gnat_count(GNATTABLE *t)
{
    pool_rdlock(t);
    int n = t->count;
    pool_unlock(t);
    return n;
}

void gnat_walk(GNATTABLE *t, bool (*fn)(const GNATPAIR &p, void *arg), void *arg)
{
    uint32_t now = get_uptime();
    pool_rdlock(t);
    for (AGELINK *l = t->list.head; l != nullptr; l = l->next) {
        const GNATENTRY *e = entry_of(l);
        if (stale(e, now))
            continue;
        GNATPAIR p;
        copy_out(e, &p);
        if (!fn(p, arg))
            break;
    }
    pool_unlock(t);
}

void gnat_clear(GNATTABLE *t)
{
    pool_wrlock(t);
    pool_clear(t);   // every entry is on exactly one left chain
    memset(t->right, 0, sizeof t->right);
    al_reset(&t->list);
    pool_unlock(t);
}
