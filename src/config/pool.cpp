// POOL: chunked record storage with a free list, and the bucket chains of
// a hash table kept in it.
#include "config/pool.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

#include "command/log.h"
#include "command/process.h"

// Bytes of one chunk: the header, then the records.
static size_t
chunk_bytes(const POOL *p)
{
    return sizeof(POOLCHUNK) + (size_t)p->chunk_entries * p->entry_size;
}

bool
pool_init(POOL *p, void **bucket, int32_t buckets, size_t entry_size, size_t link_offset,
          int32_t chunk_entries)
{
    // A chunk stays well below the size where the byte count could wrap.
    const size_t chunk_limit = (size_t)1 << 40;
    if (bucket == nullptr || buckets < 1 || chunk_entries < 1 || entry_size > UINT32_MAX ||
        link_offset > entry_size || entry_size - link_offset < sizeof(void *) ||
        entry_size > chunk_limit / (size_t)chunk_entries)
        return false;
    memset(p, 0, sizeof *p);
    p->bucket = bucket;
    p->buckets = buckets;
    p->chunk_entries = chunk_entries;
    p->chunk_used = chunk_entries;  // no chunk yet: the first take allocates one
    p->entry_size = (uint32_t)entry_size;
    p->link_offset = (uint32_t)link_offset;
    return true;
}

void
pool_release(POOL *p)
{
    pool_release_chunks(p);
    memset(p->bucket, 0, (size_t)p->buckets * sizeof *p->bucket);
}

void
pool_release_chunks(POOL *p)
{
    POOLCHUNK *c = p->chunks;
    while (c != nullptr) {
        POOLCHUNK *next = c->next;
        free(c);
        c = next;
    }
    p->chunks = nullptr;
    p->chunk_count = 0;
    p->chunk_used = p->chunk_entries;
    p->free = nullptr;
    p->count = 0;
}

// Large tables (the session table's 2^24 heads, its 65,536-record chunks)
// are looked up at random: with 4 KiB pages nearly every lookup of a big
// table misses the TLB twice. Their whole 2 MiB pages are offered to the
// kernel as huge pages; where it has none, or declines, nothing changes.
static void
prefer_huge_pages(void *start, size_t bytes)
{
    constexpr uintptr_t HUGE = (uintptr_t)2 << 20;
    uintptr_t from = ((uintptr_t)start + HUGE - 1) & ~(HUGE - 1);
    uintptr_t to = ((uintptr_t)start + bytes) & ~(HUGE - 1);
    if (to > from)
        madvise((void *)from, to - from, MADV_HUGEPAGE);
}

void *
pool_take(POOL *p)
{
    void *e = p->free;
    if (e != nullptr) {
        p->free = *pool_link(p, e);
    } else {
        if (p->chunk_used == p->chunk_entries) {
            POOLCHUNK *c = (POOLCHUNK *)malloc(chunk_bytes(p));
            if (c == nullptr)
                return nullptr;
            prefer_huge_pages(c, chunk_bytes(p));
            c->next = p->chunks;
            p->chunks = c;
            p->chunk_count++;
            p->chunk_used = 0;
        }
        // Records of the newest chunk are handed out in address order, so
        // a fresh chunk's memory is touched only as it is used.
        e = (char *)(p->chunks + 1) + (size_t)p->chunk_used * p->entry_size;
        p->chunk_used++;
    }
    memset(e, 0, p->entry_size);
    p->count++;
    return e;
}

void *
pool_take_or_exit(POOL *p, const char *message)
{
    void *e = pool_take(p);
    if (e == nullptr) {
        log_message(0, "%s", message);
        daemon_exit(EXIT_OSERR);
    }
    return e;
}

void
pool_give(POOL *p, void *e)
{
    *pool_link(p, e) = p->free;
    p->free = e;
    p->count--;
}

void
pool_push(POOL *p, uint32_t b, void *e)
{
    *pool_link(p, e) = p->bucket[b];
    p->bucket[b] = e;
}

bool
pool_unlink(POOL *p, uint32_t b, void *e)
{
    for (void **at = &p->bucket[b]; *at != nullptr; at = pool_link(p, *at))
        if (*at == e) {
            *at = *pool_link(p, e);
            return true;
        }
    return false;
}

void
pool_clear(POOL *p)
{
    for (int32_t b = 0; b < p->buckets; b++) {
        void *e = p->bucket[b];
        while (e != nullptr) {
            void *next = *pool_link(p, e);
            pool_give(p, e);
            e = next;
        }
        p->bucket[b] = nullptr;
    }
}

void *
pool_walk(const POOL *p, POOLWALK *w)
{
    while (w->next == nullptr) {
        if (w->bucket >= p->buckets)
            return nullptr;
        w->next = p->bucket[w->bucket++];
    }
    void *e = w->next;
    w->next = *pool_link(p, e);
    return e;
}

int64_t
pool_free_count(const POOL *p)
{
    return (int64_t)p->chunk_count * p->chunk_entries - p->count;
}

// ---------------------------------------------------------------------------
// The table shell

// The last generation handed out. Taken only at table creation and under
// a writer lock, so this shared counter is no cost of the lookups.
static std::atomic<uint64_t> last_generation{0};

// Gives the table a generation no table has had.
static void
new_generation(LOCKEDPOOL *t)
{
    uint64_t g = last_generation.fetch_add(1, std::memory_order_relaxed) + 1;
    std::atomic_ref<uint64_t>(t->generation).store(g, std::memory_order_release);
}

LOCKEDPOOL *
pool_table_new(const char *kind, size_t record_size, int32_t buckets, size_t entry_size, size_t link_offset,
               int32_t chunk_entries)
{
    // The heads follow the record, aligned for pointers.
    size_t heads_at = (record_size + alignof(void *) - 1) / alignof(void *) * alignof(void *);
    LOCKEDPOOL *t = nullptr;
    if (record_size >= sizeof(LOCKEDPOOL) && buckets >= 1)
        t = (LOCKEDPOOL *)calloc(1, heads_at + (size_t)buckets * sizeof(void *));
    if (t != nullptr)
        prefer_huge_pages(t, heads_at + (size_t)buckets * sizeof(void *));
    if (t == nullptr ||
        !pool_init(t, (void **)((char *)t + heads_at), buckets, entry_size, link_offset, chunk_entries)) {
        log_message(0, "cannot malloc() %s", kind);
        daemon_exit(EXIT_OSERR);
    }
    table_rwlock_init(&t->lock);
    new_generation(t);
    return t;
}

void
pool_table_free(LOCKEDPOOL *t)
{
    if (t == nullptr)
        return;
    pool_release(t);
    pthread_rwlock_destroy(&t->lock);
    free(t);
}

void
pool_table_clear(LOCKEDPOOL *t)
{
    pool_wrlock(t);
    pool_clear(t);
    pool_unlock(t);
}

void
pool_rdlock(LOCKEDPOOL *t)
{
    pthread_rwlock_rdlock(&t->lock);
}

void
pool_wrlock(LOCKEDPOOL *t)
{
    pthread_rwlock_wrlock(&t->lock);
    t->write_locks++;
    new_generation(t);
}

void
pool_unlock(LOCKEDPOOL *t)
{
    pthread_rwlock_unlock(&t->lock);
}
