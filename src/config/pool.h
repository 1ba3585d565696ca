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
#pragma once

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

// A record filled with zero bytes, from the free list or else the newest
// chunk (a new chunk when that is used up). nullptr when a new chunk was
// needed and could not be allocated; the pool is then unchanged and the
// table reports the failure in its own words.
void *pool_take(POOL *p);
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

// The table's lock; pool_wrlock counts the acquisition for the diagnostics.
void pool_rdlock(LOCKEDPOOL *t);
void pool_wrlock(LOCKEDPOOL *t);
void pool_unlock(LOCKEDPOOL *t);

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
