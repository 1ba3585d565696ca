// POOL: the storage under every chained hash table of the daemon (the ARP
// and MAC tables, the address registries, and the session and NAT tables
// built the same way). A table kind brings its own record, its own hash and
// its own key (pool_find compares a key that is one run of bytes); the pool
// brings what they all share:
//
// - records handed out from chunks of a fixed number of records, one
//   allocation per chunk, so inserting costs no malloc() per record;
// - a free list of given-back records, reused before a new chunk is taken;
// - nothing returned to the system while the table lives, so a record
//   pointer read under a table's lock stays readable memory afterwards;
// - the bucket chains: one head per bucket, linked through an intrusive
//   `next` pointer in the record, and the walk over all of them.
//
// The record's link field is the bucket chain link while the record is in
// use and the free-list link while it is free. Chain heads live in storage
// the table provides.
//
// The pool takes no lock: every call is made under the owning table's
// writer lock, except pool_walk and the reads of the chain heads, which
// need only its reader lock. LOCKEDPOOL (below) is the shell most table
// kinds build on: a pool, the table's own reader/writer lock, and the
// chain heads in the same allocation.
//
// A LOCKEDPOOL also carries a generation, a fresh number each time its
// writer lock is taken, so a thread can keep answers it got under the
// reader lock in a POOLCACHE of its own and reuse them, without the lock,
// for as long as the generation stays the same.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <pthread.h>

// The header of one chunk; the chunk's records follow it, aligned for any
// record type.
struct alignas(std::max_align_t) POOLCHUNK {
    POOLCHUNK *next;  // the chunk taken before this one
};

struct POOL {
    void **bucket;          // chain heads (the table's storage), `buckets` of them
    int32_t buckets;        // number of chain heads
    int32_t count;          // records in use: taken and not given back
    int32_t chunk_count;    // chunks allocated
    int32_t chunk_entries;  // records per chunk
    int32_t chunk_used;     // records handed out from the newest chunk
    uint32_t entry_size;    // bytes per record
    uint32_t link_offset;   // offset of the record's `next` pointer
    POOLCHUNK *chunks;      // every chunk, newest first
    void *free;             // given-back records, linked through `next`
};

// A position in a walk over every chained record; start from {}.
struct POOLWALK {
    int32_t bucket;  // the next bucket whose chain is to be read
    void *next;      // the record to return next; nullptr = read the next bucket
};

// Sets up an empty pool over `buckets` chain heads at `bucket`, for records
// of entry_size bytes (sizeof the record) whose `next` pointer is at
// link_offset, taken chunk_entries at a time. No chunk is allocated yet.
// The heads must already be zero (calloc()ed storage): they are not
// written here, so a large head array stays untouched memory until used.
// False (nothing set up) for a geometry that cannot work: no buckets, a
// record too small for its link, fewer than one record per chunk, or a
// chunk too large to allocate.
bool pool_init(POOL *p, void **bucket, int32_t buckets, size_t entry_size, size_t link_offset,
               int32_t chunk_entries);
// Returns every chunk to the system and empties the chains and the free
// list; the pool can be used again. Only for a table that is being
// discarded or reset while no other thread can hold one of its records.
void pool_release(POOL *p);
// pool_release for a pool whose chains the caller has already emptied: the
// heads are not written, so a table with a large head array that used few
// of them resets without touching the rest.
void pool_release_chunks(POOL *p);

// A record filled with zero bytes, from the free list or else the newest
// chunk (a new chunk when that is used up). nullptr when a new chunk was
// needed and could not be allocated; the pool is then unchanged and the
// table reports the failure in its own words.
void *pool_take(POOL *p);
// pool_take for a table whose entry allocation failure is fatal: when no
// record can be had it logs `message` (naming the operation, such as
// "cannot malloc() gnat_insert()") at level 0 and ends the daemon with
// exit code 71; it never returns nullptr.
void *pool_take_or_exit(POOL *p, const char *message);
// Puts a record that is in no chain back on the free list.
void pool_give(POOL *p, void *e);

// Links a taken record in at the head of chain `b`.
void pool_push(POOL *p, uint32_t b, void *e);
// Unlinks the record from chain `b` (it stays taken); false when it is not
// in that chain.
bool pool_unlink(POOL *p, uint32_t b, void *e);
// Gives every chained record back and empties every chain.
void pool_clear(POOL *p);

// The next chained record of a walk in bucket order, each chain from its
// head, or nullptr at the end. The record after the returned one is read
// before returning, so the caller may unlink and give back the returned
// record (but no other) before the next call.
void *pool_walk(const POOL *p, POOLWALK *w);

// Records that can still be taken without a new chunk: the free list and
// the untouched rest of the newest chunk.
int64_t pool_free_count(const POOL *p);

// A table kind's record derives from LOCKEDPOOL, the way a C record puts
// its pool first: the pool's counters then read as the table's own
// (`t->count`, `t->chunk_count`). A table whose own `count` means
// something else keeps a POOL as a member instead.
struct LOCKEDPOOL : POOL {
    uint64_t generation;    // set anew whenever the writer lock is taken; atomic access only (pool_generation)
    char spacer[56];        // keeps `lock`, written by every locker, off the cache line readers poll `generation` on
    pthread_rwlock_t lock;  // the table's lock; readers: lookups and walks; writer: changes
    uint64_t write_locks;   // lock diagnostics: writer acquisitions
};

// A new empty table of the kind named `kind` ("ARPHASH"): a zeroed record
// of record_size bytes (the size of the kind's record, derived from
// LOCKEDPOOL) with its `buckets` chain heads behind it in the same
// allocation, its pool set up as pool_init does and its lock made. When
// the memory cannot be had (or the geometry is refused) it logs
// "cannot malloc() <kind>" at level 0 and ends the daemon with exit code
// 71, as every table creation does; it never returns nullptr.
LOCKEDPOOL *pool_table_new(const char *kind, size_t record_size, int32_t buckets, size_t entry_size,
                           size_t link_offset, int32_t chunk_entries);
// Discards a table made by pool_table_new with all its records; nullptr is
// ignored. No other thread may still use it.
void pool_table_free(LOCKEDPOOL *t);
// Empties a table in place under its writer lock: every record goes to the
// free list, so a reader still holding a record pointer reads stale but
// valid memory.
void pool_table_clear(LOCKEDPOOL *t);

// The table's lock; pool_wrlock counts the acquisition for the diagnostics
// and gives the table a new generation before the caller changes anything.
void pool_rdlock(LOCKEDPOOL *t);
void pool_wrlock(LOCKEDPOOL *t);
void pool_unlock(LOCKEDPOOL *t);

// The table's generation. Every value is handed out once in the life of
// the process, to one table (at creation and at each writer lock), never
// 0: equal generations mean the same table with no writer since, even
// when a discarded table's memory has become another table.
inline uint64_t
pool_generation(const LOCKEDPOOL *t)
{
    return std::atomic_ref<uint64_t>(const_cast<uint64_t &>(t->generation)).load(std::memory_order_acquire);
}

// ---------------------------------------------------------------------------
// Per-thread answer caches
//
// A POOLCACHE is a small direct-mapped cache a table kind keeps per thread
// (thread_local) for a lookup the packet path makes on every frame. A row
// holds a key, the answer a locked lookup gave for it, and the generation
// of the table at that moment. Since the writer lock changes the
// generation before any change, a row whose generation is still the
// table's current one holds exactly what the locked lookup would answer
// now; the hit costs one load of the generation and no shared write.
// Generations are unique across tables, so one cache serves every table
// of a kind.

constexpr int POOLCACHE_SET_BITS = 7;                 // bits of the set number
constexpr int POOLCACHE_SETS = 1 << POOLCACHE_SET_BITS;  // sets per cache
constexpr int POOLCACHE_WAYS = 2;                     // rows per set, the newer first
constexpr int POOLCACHE_ROWS = POOLCACHE_SETS * POOLCACHE_WAYS;
constexpr int POOLCACHE_KEY = 16;    // longest key in bytes

// A key of up to 16 bytes as two words, zero beyond its length.
struct POOLKEY {
    uint64_t lo;  // bytes 0..7
    uint64_t hi;  // bytes 8..15
};

struct POOLCACHEROW {
    uint64_t generation;  // the table's generation when the row was filled; 0 = empty
    uintptr_t value;      // the answer of the locked lookup (a number or an entry pointer)
    POOLKEY key;          // the key
};

struct POOLCACHE {
    POOLCACHEROW row[POOLCACHE_ROWS];
};

// The key (key_len at most POOLCACHE_KEY bytes) as words. A short tail is
// gathered in a register rather than stored into a zeroed buffer and read
// back, which would stall the read until the narrow stores retire.
inline POOLKEY
pool_cache_key(const void *key, size_t key_len)
{
    const uint8_t *k = (const uint8_t *)key;
    POOLKEY w = {0, 0};
    size_t whole = key_len >= 8 ? 8 : 0;
    if (whole != 0)
        memcpy(&w.lo, k, 8);
    if (key_len == 16) {
        memcpy(&w.hi, k + 8, 8);
        return w;
    }
    // The tail (under 8 bytes) in loads of 4, 2 and 1 bytes.
    const uint8_t *p = k + whole;
    size_t n = key_len - whole;
    uint64_t tail = 0;
    int shift = 0;
    if (n >= 4) {
        uint32_t v;
        memcpy(&v, p, 4);
        tail = v;
        p += 4;
        n -= 4;
        shift = 32;
    }
    if (n >= 2) {
        uint16_t v;
        memcpy(&v, p, 2);
        tail |= (uint64_t)v << shift;
        p += 2;
        n -= 2;
        shift += 16;
    }
    if (n >= 1)
        tail |= (uint64_t)*p << shift;
    (whole == 0 ? w.lo : w.hi) = tail;
    return w;
}

// The first row of the set a key maps to. Multiplicative hashing: only
// the top bits of a product depend on every bit of the word multiplied,
// so those are taken. Two rows a set, so that the few keys one frame asks
// for do not push each other out when two of them meet in a set.
inline POOLCACHEROW *
pool_cache_row(POOLCACHE *c, const POOLKEY &k)
{
    uint64_t h = k.lo * 0x9e3779b97f4a7c15u ^ k.hi * 0xc2b2ae3d27d4eb4fu;
    return &c->row[(h >> (64 - POOLCACHE_SET_BITS)) * POOLCACHE_WAYS];
}

// True with *value set when this thread's cache holds the key's answer
// for the table's current generation; false means: look it up under the
// reader lock and store the answer with pool_cache_put.
inline bool
pool_cache_get(POOLCACHE *c, const LOCKEDPOOL *t, const void *key, size_t key_len, uintptr_t *value)
{
    POOLKEY k = pool_cache_key(key, key_len);
    const POOLCACHEROW *set = pool_cache_row(c, k);
    uint64_t g = pool_generation(t);
    for (int w = 0; w < POOLCACHE_WAYS; w++) {
        const POOLCACHEROW *r = &set[w];
        if (r->generation == g && r->key.lo == k.lo && r->key.hi == k.hi) {
            *value = r->value;
            return true;
        }
    }
    return false;
}

// Stores the answer of a lookup made under the table's reader lock, which
// the caller still holds (so the generation read is the answer's). The
// answer goes first in its set; the row it replaces moves second unless
// it held the same key.
inline void
pool_cache_put(POOLCACHE *c, const LOCKEDPOOL *t, const void *key, size_t key_len, uintptr_t value)
{
    POOLKEY k = pool_cache_key(key, key_len);
    POOLCACHEROW *set = pool_cache_row(c, k);
    if (set[0].key.lo != k.lo || set[0].key.hi != k.hi)
        set[1] = set[0];
    set[0].key = k;
    set[0].value = value;
    set[0].generation = pool_generation(t);
}

// The `next` pointer of a record.
inline void **
pool_link(const POOL *p, void *e)
{
    return (void **)((char *)e + p->link_offset);
}

// The first record of chain `b` whose key_len bytes at key_offset equal
// the key, or nullptr: the lookup of a table whose key is one run of bytes
// in its record. Inline, since the packet path looks up per frame.
inline void *
pool_find(const POOL *p, uint32_t b, size_t key_offset, const void *key, size_t key_len)
{
    for (void *e = p->bucket[b]; e != nullptr; e = *pool_link(p, e))
        if (memcmp((const char *)e + key_offset, key, key_len) == 0)
            return e;
    return nullptr;
}
