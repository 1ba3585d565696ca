// SESSIONTABLE: the session table's operations. The table's storage is a
// LOCKEDPOOL; the bucket chains are doubly linked through the entries, so
// a reclaimed session leaves its chain without a walk, and the
// all-sessions and synchronisation lists are AGELISTs. Every time stamp
// comes from st_now().
#include "balance/session_table.h"

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstring>

#include "command/process.h"
#include "config/config_files.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "ha/sync.h"
#include "ha/vrrp.h"

SESSIONTABLE *session_table = st_init();

void (*st_announce)(const char *id, int server, int target, uint32_t timeout) = sync_announce_session;

// Bucket heads walked under one reader lock hold by st_maxbucket.
constexpr int32_t MAXBUCKET_SLICE = 65536;

SESSIONTABLE *
st_init()
{
    return (SESSIONTABLE *)pool_table_new("SESSIONTABLE", sizeof(SESSIONTABLE), STSIZE, sizeof(SESSION),
                                          offsetof(SESSION, chain_next), STCHUNK);
}

void
st_free(SESSIONTABLE *t)
{
    pool_table_free(t);
}

// Everything but the pool itself back to its start value.
static void
reset_lists(SESSIONTABLE *t)
{
    t->created = 0;
    al_reset(&t->all);
    for (int l = 0; l < ST_LISTS; l++) {
        al_reset(&t->lists[l]);
        t->list_count[l] = 0;
    }
    t->pin = nullptr;
    t->announce_second = 0;
    t->announce_count = 0;
}

void
st_clear(SESSIONTABLE *t)
{
    pool_wrlock(t);
    // Every live session is on the all-sessions list: its bucket is one of
    // the few heads in use.
    for (AGELINK *l = t->all.head; l != nullptr; l = l->next) {
        const SESSION *s = (const SESSION *)((const char *)l - offsetof(SESSION, all));
        t->bucket[s->bucket] = nullptr;
    }
    pool_release_chunks(t);
    reset_lists(t);
    pool_unlock(t);
}

// h = h * 33 + c over the id's bytes (as signed chars), from 5381. Every
// client frame's id is hashed, so the sum is taken eight bytes at a time
// where all eight are below 0x80 (ids are text: addresses, ports, Call-IDs):
// h * 33^8 + g0 * 33^4 + g1, where g0 and g1 are the sums of bytes 0..3 and
// 4..7 (b0 * 33^3 + b1 * 33^2 + b2 * 33 + b3), built in the lanes of one
// word: first pairs (b * 33 + b', below 2^13 in 16-bit lanes), then
// quadruples (p * 33^2 + p', below 2^23 in 32-bit lanes). Nothing carries
// between lanes, so the result is the byte-by-byte one modulo 2^32. Words
// with a byte of 0x80 or more, and the tail, go byte by byte.
uint32_t
st_bucket(const char *id, size_t len)
{
    auto c = [id](size_t i) { return (uint32_t)(int32_t)(signed char)id[i]; };
    constexpr uint32_t P4 = 33u * 33u * 33u * 33u;
    constexpr uint32_t P8 = P4 * P4;
    constexpr uint64_t LANES16 = 0x00ff00ff00ff00ffu;
    constexpr uint64_t LANES32 = 0x0000ffff0000ffffu;
    uint32_t h = 5381;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        memcpy(&w, id + i, 8);
        if constexpr (std::endian::native == std::endian::big)
            w = __builtin_bswap64(w);
        if ((w & 0x8080808080808080u) != 0) {
            for (size_t j = i; j < i + 8; j++)
                h = h * 33u + c(j);
            continue;
        }
        // Little-endian lanes: the earlier byte is the lower one.
        uint64_t p = (w & LANES16) * 33u + ((w >> 8) & LANES16);
        uint64_t q = (p & LANES32) * (33u * 33u) + ((p >> 16) & LANES32);
        h = h * P8 + (uint32_t)q * P4 + (uint32_t)(q >> 32);
    }
    for (; i < len; i++)
        h = h * 33u + c(i);
    return h & (uint32_t)(STSIZE - 1);
}

void st_rdlock(SESSIONTABLE *t) { pool_rdlock(t); }
// The packet path takes the writer lock for every client frame. No thread
// keeps answers of the session table by its generation, so the writer lock
// gives it none: the generation counter every table draws from would be
// one more cache line each reader thread writes per frame.
void st_wrlock(SESSIONTABLE *t)
{
    pthread_rwlock_wrlock(&t->lock);
    t->write_locks++;
}
void st_unlock(SESSIONTABLE *t) { pool_unlock(t); }

// ---------------------------------------------------------------------------
// Sessions and time

static SESSION *
session_of_all(AGELINK *l)
{
    return l != nullptr ? (SESSION *)((char *)l - offsetof(SESSION, all)) : nullptr;
}

static SESSION *
session_of_sync(AGELINK *l)
{
    return l != nullptr ? (SESSION *)((char *)l - offsetof(SESSION, sync)) : nullptr;
}

SESSION *st_first(SESSIONTABLE *t, STLIST list) { return session_of_sync(t->lists[list].head); }
SESSION *st_next(const SESSION *s) { return session_of_sync(s->sync.next); }

uint32_t
st_now()
{
    uint32_t now = get_uptime();
    return now != 0 ? now : 1;
}

static void
store_stamp(uint32_t &stamp, uint32_t value)
{
    std::atomic_ref<uint32_t>(stamp).store(value, std::memory_order_relaxed);
}

uint32_t
st_timeout(const SESSION *s)
{
    return s->timeout != 0 ? s->timeout : (uint32_t)param_value(P_SESSIONTIMEOUT);
}

bool
st_expired(const SESSION *s, uint32_t now)
{
    uint32_t used = age_load(s->last_used);
    if (used == 0)
        return true;
    // A stamp a little ahead of `now` was stored by a thread that read a
    // later clock: fresh, not four billion seconds old.
    uint32_t idle = now - used;
    return (int32_t)idle > 0 && idle > st_timeout(s);
}

void
st_mark(SESSION *s)
{
    store_stamp(s->last_used, 0);
}

STKEY
st_key(const char *id)
{
    size_t len = strnlen(id, ST_IDMAX);
    return {id, len, st_bucket(id, len)};
}


static bool
same_id(const SESSION *s, const STKEY &k)
{
    return memcmp(s->id, k.id, k.len) == 0 && s->id[k.len] == '\0';
}

// What besides the id a lookup compares.
enum class BY { SERVER, TARGET, ID };

static SESSION *
find(const SESSIONTABLE *t, const STKEY &k, BY by, int n, uint32_t now)
{
    for (SESSION *s = (SESSION *)t->bucket[k.bucket]; s != nullptr; s = s->chain_next) {
        if (!same_id(s, k) || (by == BY::SERVER && s->server != n) || (by == BY::TARGET && s->target != n))
            continue;
        if (!st_expired(s, now))
            return s;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Counts

// Adds delta to a count under the object's mutex, never below 0.
static void
count_add(pthread_mutex_t *lock, int32_t *count, int delta)
{
    pthread_mutex_lock(lock);
    if (delta > 0 || *count > 0)
        *count += delta;
    pthread_mutex_unlock(lock);
}

static void
count_target(int target, int delta)
{
    if (valid_target(target))
        count_add(&cfg.targets[target].lock, &cfg.targets[target].cur_sessions, delta);
}

static void
count_server(int server, int delta)
{
    if (valid_server(server))
        count_add(&cfg.servers[server].lock, &cfg.servers[server].cur_sessions, delta);
}

void
st_count(int server, int target, int delta)
{
    count_target(target, delta);
    count_server(server, delta);
}

static void
count_created(int server)
{
    if (!valid_server(server))
        return;
    SERVER &s = cfg.servers[server];
    pthread_mutex_lock(&s.lock);
    s.sessions_created++;
    pthread_mutex_unlock(&s.lock);
}

// ---------------------------------------------------------------------------
// Lists and chains (writer lock)

static void
list_leave(SESSIONTABLE *t, SESSION *s)
{
    if (s->list == ST_LIST_NONE)
        return;
    al_unlink(&t->lists[s->list], &s->sync);
    t->list_count[s->list]--;
    s->list = ST_LIST_NONE;
}

static void
list_join(SESSIONTABLE *t, SESSION *s, STLIST list)
{
    al_push(&t->lists[list], &s->sync);
    t->list_count[list]++;
    s->list = list;
}

// The move of st_set_*: only from one of the two other lists.
static void
list_move(SESSIONTABLE *t, SESSION *s, STLIST list)
{
    if (s->list == ST_LIST_NONE || s->list == list)
        return;
    list_leave(t, s);
    list_join(t, s, list);
}

static void
chain_push(SESSIONTABLE *t, SESSION *s)
{
    SESSION *head = (SESSION *)t->bucket[s->bucket];
    s->chain_prev = nullptr;
    s->chain_next = head;
    if (head != nullptr)
        head->chain_prev = s;
    t->bucket[s->bucket] = s;
}

static void
chain_unlink(SESSIONTABLE *t, SESSION *s)
{
    if (s->chain_prev != nullptr)
        s->chain_prev->chain_next = s->chain_next;
    else
        t->bucket[s->bucket] = s->chain_next;
    if (s->chain_next != nullptr)
        s->chain_next->chain_prev = s->chain_prev;
}

// Takes a session out of the table and lowers its counts; the cursor (by
// al_unlink) and the pin move on to the next older session.
static void
reclaim(SESSIONTABLE *t, SESSION *s)
{
    if (t->pin == s)
        t->pin = session_of_all(s->all.next);
    chain_unlink(t, s);
    al_unlink(&t->all, &s->all);
    list_leave(t, s);
    st_count(s->server, s->target, -1);
    pool_give(t, s);
}

// A new session of (id, server) on NEW, in its chain and at the head of
// the all-sessions list; counts and announcements are the callers'.
static SESSION *
create(SESSIONTABLE *t, const STKEY &k, int server, int target, uint32_t timeout, uint32_t now)
{
    SESSION *s = (SESSION *)pool_take_or_exit(t, "cannot malloc() st_newchunk()");
    memcpy(s->id, k.id, k.len);  // the rest of the entry is zero
    s->server = server;
    s->target = target;
    s->timeout = timeout;
    s->last_used = now;
    s->last_synced = now;
    s->bucket = k.bucket;
    chain_push(t, s);
    list_join(t, s, ST_LIST_NEW);
    al_push(&t->all, &s->all);
    return s;
}

// The announcement of a creation or refresh, at most `maxsyncps` of them
// in one uptime second (0: no limit). Writer lock.
static void
announce_limited(SESSIONTABLE *t, const SESSION *s, uint32_t now)
{
    if (t->announce_second != now) {
        t->announce_second = now;
        t->announce_count = 1;
    } else {
        t->announce_count++;
    }
    int32_t most = param_value(P_MAXSYNCPS);
    if (most == 0 || most >= t->announce_count)
        st_announce(s->id, s->server, s->target, s->timeout);
}

// ---------------------------------------------------------------------------
// Lookups

// A hit by server or target: used now, and announced again when its last
// announcement is `sessionsynciv` seconds old (one claimant when several
// readers hit it at once).
static SESSION *
lookup_used(SESSIONTABLE *t, const STKEY &k, BY by, int n)
{
    uint32_t now = st_now();
    SESSION *s = find(t, k, by, n, now);
    if (s != nullptr && age_refresh(s->last_used, s->last_synced, now, (uint32_t)param_value(P_SESSIONSYNCIV)))
        st_announce(s->id, s->server, s->target, s->timeout);
    return s;
}

SESSION *
st_lookup(SESSIONTABLE *t, const char *id, int server)
{
    return lookup_used(t, st_key(id), BY::SERVER, server);
}

SESSION *
st_lookup_target(SESSIONTABLE *t, const char *id, int target)
{
    return lookup_used(t, st_key(id), BY::TARGET, target);
}

SESSION *
st_lookup_key(SESSIONTABLE *t, const STKEY &key, int server)
{
    return lookup_used(t, key, BY::SERVER, server);
}

SESSION *
st_lookup_target_key(SESSIONTABLE *t, const STKEY &key, int target)
{
    return lookup_used(t, key, BY::TARGET, target);
}

static SESSION *
lookup_locked(SESSIONTABLE *t, const char *id, BY by, int n)
{
    pool_rdlock(t);
    SESSION *s = lookup_used(t, st_key(id), by, n);
    pool_unlock(t);
    return s;
}

SESSION *
st_lookup_locked(SESSIONTABLE *t, const char *id, int server)
{
    return lookup_locked(t, id, BY::SERVER, server);
}

SESSION *
st_lookup_target_locked(SESSIONTABLE *t, const char *id, int target)
{
    return lookup_locked(t, id, BY::TARGET, target);
}

SESSION *
st_lookup_id(SESSIONTABLE *t, const char *id)
{
    uint32_t now = st_now();
    pool_rdlock(t);
    SESSION *s = find(t, st_key(id), BY::ID, 0, now);
    if (s != nullptr && age_load(s->last_used) != now)
        store_stamp(s->last_used, now);
    pool_unlock(t);
    return s;
}

int
st_mark_id(SESSIONTABLE *t, const char *id)
{
    uint32_t now = st_now();
    pool_rdlock(t);
    SESSION *s = find(t, st_key(id), BY::ID, 0, now);
    if (s != nullptr)
        st_mark(s);
    pool_unlock(t);
    return s != nullptr;
}

// The id of an IPv4 address and a port in network order.
static void
id4(char out[ST_IDLEN], const uint8_t addr[4], const uint8_t port[2])
{
    snprintf(out, ST_IDLEN, "%d.%d.%d.%d:%d", addr[0], addr[1], addr[2], addr[3], port[0] * 256 + port[1]);
}

SESSION *
st_lookup4(SESSIONTABLE *t, const uint8_t addr[4], const uint8_t port[2], int server)
{
    char id[ST_IDLEN];
    id4(id, addr, port);
    return st_lookup_locked(t, id, server);
}

SESSION *
st_lookup_target4(SESSIONTABLE *t, const uint8_t addr[4], const uint8_t port[2], int target)
{
    char id[ST_IDLEN];
    id4(id, addr, port);
    return st_lookup_target_locked(t, id, target);
}

// ---------------------------------------------------------------------------
// Insert, refresh, shorten

void
st_update(SESSIONTABLE *t, const char *id, int server, int target, uint32_t timeout)
{
    pool_wrlock(t);
    st_gc_step(t);
    st_gc_step(t);
    if (SESSION *s = st_lookup(t, id, server)) {
        int old = s->target;
        s->target = target;
        s->timeout = timeout;
        if (old != target) {
            count_target(old, -1);
            count_target(target, 1);
        }
    } else {
        create(t, st_key(id), server, target, timeout, st_now());
        st_count(server, target, 1);
    }
    pool_unlock(t);
}

void
st_update4(SESSIONTABLE *t, const uint8_t addr[4], const uint8_t port[2], int server, int target, uint32_t timeout)
{
    char id[ST_IDLEN];
    id4(id, addr, port);
    st_update(t, id, server, target, timeout);
}

SESSION *
st_refresh(SESSIONTABLE *t, const char *id, int server, int target, uint32_t timeout)
{
    st_gc_step(t);
    st_gc_step(t);
    if (timeout == ST_TIMEOUT_NULL)
        return nullptr;
    uint32_t now = st_now();
    SESSION *s = st_lookup(t, id, server);
    if (s == nullptr) {
        s = create(t, st_key(id), server, target, timeout, now);
        announce_limited(t, s, now);
        t->created++;
        count_created(server);
        return s;
    }
    int old = s->target;
    s->target = target;
    count_target(old, -1);
    count_server(server, -1);
    store_stamp(s->last_synced, now);
    store_stamp(s->last_used, now);
    announce_limited(t, s, now);
    if (s->list != ST_LIST_NEW) {
        list_leave(t, s);
        list_join(t, s, ST_LIST_NEW);
    }
    return s;
}

SESSION *
st_refresh_locked(SESSIONTABLE *t, const char *id, int server, int target, uint32_t timeout)
{
    pool_wrlock(t);
    SESSION *s = st_refresh(t, id, server, target, timeout);
    pool_unlock(t);
    return s;
}

SESSION *
st_refresh4(SESSIONTABLE *t, const uint8_t addr[4], const uint8_t port[2], int server, int target,
            uint32_t timeout)
{
    char id[ST_IDLEN];
    id4(id, addr, port);
    return st_refresh_locked(t, id, server, target, timeout);
}

void
st_shorten(SESSIONTABLE *, SESSION *s)
{
    if (s->ftimeout != 0)
        s->timeout = s->ftimeout;
}

// ---------------------------------------------------------------------------
// Garbage collection

int
st_gc_step(SESSIONTABLE *t)
{
    SESSION *s = session_of_all(t->all.cursor);
    if (s == nullptr) {
        t->all.cursor = t->all.head;
        return 0;
    }
    if (s == t->pin || !st_expired(s, st_now())) {
        t->all.cursor = s->all.next;
        return 0;
    }
    reclaim(t, s);  // the cursor moves on to s's successor
    return 1;
}

int
st_gc_step_locked(SESSIONTABLE *t)
{
    pool_wrlock(t);
    int r = st_gc_step(t);
    pool_unlock(t);
    return r;
}

void
st_scan(SESSIONTABLE *t)
{
    int32_t count = vrrp_backup() ? param_value(P_SESSIONSCANBUP) : param_value(P_SESSIONSCAN);
    for (int32_t i = 0; i < count - 1; i++)
        st_gc_step_locked(t);
    int32_t limit = param_value(P_SESSIONGCLIMIT);
    for (int32_t i = 0; i < limit; i++)
        if (st_gc_step_locked(t) == 0)
            break;
}

void
st_release(SESSIONTABLE *t, SESSION *s)
{
    pool_wrlock(t);
    reclaim(t, s);
    pool_unlock(t);
}

// ---------------------------------------------------------------------------
// Walks

int
st_foreach(SESSIONTABLE *t, int (*fn)(SESSION *s, void *arg), void *arg)
{
    uint32_t now = st_now();
    int called = 0;
    pool_rdlock(t);
    for (SESSION *s = session_of_all(t->all.head); s != nullptr; s = session_of_all(s->all.next)) {
        if (st_expired(s, now))
            continue;
        called++;
        if (fn(s, arg) < 0)
            break;
    }
    pool_unlock(t);
    return called;
}

int
st_walk_batch(SESSIONTABLE *t, STWALK *w, int (*fn)(SESSION *s, void *arg), void *arg)
{
    if (w->done)
        return 0;
    uint32_t now = st_now();
    int called = 0;
    pool_rdlock(t);
    SESSION *s = w->started ? t->pin : session_of_all(t->all.head);
    w->started = true;
    for (int visited = 0; s != nullptr && visited < ST_BATCH; visited++) {
        SESSION *here = s;
        s = session_of_all(s->all.next);
        if (st_expired(here, now))
            continue;
        called++;
        int r = fn(here, arg);
        if (r < 0)
            s = nullptr;
        if (r != 0)
            break;
    }
    // Only the command thread writes the pin; the step reads it under the
    // writer lock, which this reader lock keeps out.
    t->pin = s;
    w->done = s == nullptr;
    pool_unlock(t);
    return called;
}

void
st_walk_end(SESSIONTABLE *t, STWALK *w)
{
    if (w->started && !w->done) {
        pool_rdlock(t);
        t->pin = nullptr;
        pool_unlock(t);
    }
    w->done = true;
}

int
st_foreach_batched(SESSIONTABLE *t, int (*fn)(SESSION *s, void *arg), void *arg)
{
    STWALK w = {};
    int called = 0;
    while (!w.done)
        called += st_walk_batch(t, &w, fn, arg);
    return called;
}

// ---------------------------------------------------------------------------
// Synchronisation lists

void st_set_new_unlocked(SESSIONTABLE *t, SESSION *s) { list_move(t, s, ST_LIST_NEW); }
void st_set_waitack_unlocked(SESSIONTABLE *t, SESSION *s) { list_move(t, s, ST_LIST_WAITACK); }
void st_set_acked_unlocked(SESSIONTABLE *t, SESSION *s) { list_move(t, s, ST_LIST_ACKED); }

static void
set_locked(SESSIONTABLE *t, SESSION *s, STLIST list)
{
    pool_wrlock(t);
    list_move(t, s, list);
    pool_unlock(t);
}

void st_set_new(SESSIONTABLE *t, SESSION *s) { set_locked(t, s, ST_LIST_NEW); }
void st_set_waitack(SESSIONTABLE *t, SESSION *s) { set_locked(t, s, ST_LIST_WAITACK); }
void st_set_acked(SESSIONTABLE *t, SESSION *s) { set_locked(t, s, ST_LIST_ACKED); }

int st_is_new_unlocked(SESSIONTABLE *, SESSION *s) { return s->list == ST_LIST_NEW; }
int st_is_waitack_unlocked(SESSIONTABLE *, SESSION *s) { return s->list == ST_LIST_WAITACK; }
int st_is_acked_unlocked(SESSIONTABLE *, SESSION *s) { return s->list == ST_LIST_ACKED; }

static int
is_locked(SESSIONTABLE *t, SESSION *s, STLIST list)
{
    pool_rdlock(t);
    int on = s->list == list;
    pool_unlock(t);
    return on;
}

int st_is_new(SESSIONTABLE *t, SESSION *s) { return is_locked(t, s, ST_LIST_NEW); }
int st_is_waitack(SESSIONTABLE *t, SESSION *s) { return is_locked(t, s, ST_LIST_WAITACK); }
int st_is_acked(SESSIONTABLE *t, SESSION *s) { return is_locked(t, s, ST_LIST_ACKED); }

// ---------------------------------------------------------------------------
// Displays

void
st_counts(SESSIONTABLE *t, STCOUNTS *c)
{
    pool_rdlock(t);
    c->total = t->count;
    c->created = t->created;
    c->fresh = t->list_count[ST_LIST_NEW];
    c->waitack = t->list_count[ST_LIST_WAITACK];
    c->acked = t->list_count[ST_LIST_ACKED];
    c->chunks = t->chunk_count;
    pool_unlock(t);
}

void
st_info(SESSIONTABLE *t, FILE *out)
{
    STCOUNTS c;
    st_counts(t, &c);
    fprintf(out, "  bytes/session: %d\n", (int)sizeof(SESSION));
    fprintf(out, "  allocated %d chunks of %d entries\n", c.chunks, STCHUNK);
    fprintf(out, "  current number of TOTAL sessions ......... : %10d\n", c.total);
    fprintf(out, "  sessions created since startup ........... : %10u\n", c.created);
    fprintf(out, "  current number of NEW (unsynched) sessions : %10d\n", c.fresh);
    fprintf(out, "  current number of sessions waiting for ACK : %10d\n", c.waitack);
    fprintf(out, "  current number of ACK'ed sessions ........ : %10d\n", c.acked);
}

void
st_maxbucket(SESSIONTABLE *t, FILE *out)
{
    int longest = 0;
    for (int32_t first = 0; first < STSIZE; first += MAXBUCKET_SLICE) {
        pool_rdlock(t);
        for (int32_t b = first; b < first + MAXBUCKET_SLICE; b++) {
            int len = 0;
            for (const SESSION *s = (const SESSION *)t->bucket[b]; s != nullptr; s = s->chain_next)
                len++;
            if (len > longest)
                longest = len;
        }
        pool_unlock(t);
    }
    fprintf(out, "  length of longest session table bucket list: %d\n", longest);
}

// ---------------------------------------------------------------------------
// Reload

static int
mark_if_orphaned(SESSION *s, void *)
{
    if (!reload_session_survives(s->server, s->target))
        st_mark(s);
    return 0;
}

void
reload_session_sweep()
{
    st_foreach_batched(session_table, mark_if_orphaned, nullptr);
}
