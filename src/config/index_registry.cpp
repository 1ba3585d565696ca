// INDEXREGISTRY: chained hash of (address, port) keys with an all-entries
// list for walks, guarded by one reader/writer lock per registry.
#include "config/index_registry.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "command/log.h"
#include "command/process.h"
#include "config/addr.h"

INDEXREGISTRY *server_registry = nullptr;
INDEXREGISTRY *target_registry = nullptr;

// Generations are drawn from one counter for every registry, so that a
// registry made where a discarded one was never repeats one of its
// generations. Drawn only under a writer lock, by commands.
static std::atomic<uint64_t> last_generation{0};

// The writer lock, with a new generation before anything changes.
static void
wrlock(INDEXREGISTRY *ir)
{
    pthread_rwlock_wrlock(&ir->lock);
    uint64_t g = last_generation.fetch_add(1, std::memory_order_relaxed) + 1;
    std::atomic_ref<uint64_t>(ir->generation).store(g, std::memory_order_release);
}

static uint64_t
generation(const INDEXREGISTRY *ir)
{
    return std::atomic_ref<uint64_t>(const_cast<uint64_t &>(ir->generation)).load(std::memory_order_acquire);
}

INDEXREGISTRY *
ir_new()
{
    auto *ir = static_cast<INDEXREGISTRY *>(calloc(1, sizeof(INDEXREGISTRY)));
    if (ir == nullptr ||
        !pool_init(&ir->pool, ir->heads, IR_BUCKETS, sizeof(IRENTRY), offsetof(IRENTRY, next), IR_CHUNK)) {
        log_message(0, "cannot malloc() INDEXREGISTRY");
        daemon_exit(EXIT_OSERR);
    }
    table_rwlock_init(&ir->lock);
    ir->generation = last_generation.fetch_add(1, std::memory_order_relaxed) + 1;
    return ir;
}

void
ir_clear(INDEXREGISTRY *ir)
{
    wrlock(ir);
    pool_release(&ir->pool);
    ir->list = nullptr;
    ir->count = 0;
    ir->enabled = 0;
    pthread_rwlock_unlock(&ir->lock);
}

void
registries_init()
{
    if (server_registry == nullptr)
        server_registry = ir_new();
    else
        ir_clear(server_registry);
    if (target_registry == nullptr)
        target_registry = ir_new();
    else
        ir_clear(target_registry);
}

uint32_t
ir_hash(const uint8_t addr[16], uint16_t port_n)
{
    uint8_t port[2];
    memcpy(port, &port_n, 2);
    uint32_t h = addr[0];
    for (int i = 1; i < 16; i++)
        h = h * 31 + addr[i];
    h = h * 31 + port[0];
    h = h * 31 + port[1];
    return h % IR_BUCKETS;
}

static bool
key_equal(const IRENTRY *e, const uint8_t addr[16], uint16_t port_n)
{
    return memcmp(e->addr, addr, 16) == 0 && memcmp(e->port, &port_n, 2) == 0;
}

// Caller holds the lock (either kind).
static IRENTRY *
find_locked(INDEXREGISTRY *ir, const uint8_t addr[16], uint16_t port_n)
{
    for (auto *e = (IRENTRY *)ir->pool.bucket[ir_hash(addr, port_n)]; e != nullptr; e = e->next)
        if (key_equal(e, addr, port_n))
            return e;
    return nullptr;
}

void
ir_insert(INDEXREGISTRY *ir, const uint8_t addr[16], uint16_t port_n, int32_t number)
{
    // The existence test and the change are done under the write lock in
    // one go: a test under the read lock followed by a separate write would
    // let two writers insert the same key.
    wrlock(ir);
    IRENTRY *e = find_locked(ir, addr, port_n);
    if (e != nullptr) {
        e->number = number;
        pthread_rwlock_unlock(&ir->lock);
        return;
    }
    e = static_cast<IRENTRY *>(pool_take(&ir->pool));
    if (e == nullptr) {
        pthread_rwlock_unlock(&ir->lock);
        log_message(0, "cannot malloc(): ir_insert()");
        daemon_exit(EXIT_OSERR);
    }
    memcpy(e->addr, addr, 16);
    e->family = (addr[10] == 0xff && addr[11] == 0xff) ? 4 : 6;
    memcpy(e->port, &port_n, 2);
    e->number = number;
    pool_push(&ir->pool, ir_hash(addr, port_n), e);
    e->list_next = ir->list;
    if (ir->list != nullptr)
        ir->list->list_prev = e;
    ir->list = e;
    pthread_rwlock_unlock(&ir->lock);
}

void
ir_insert4(INDEXREGISTRY *ir, const uint8_t addr[4], uint16_t port_n, int32_t number)
{
    uint8_t a16[16];
    ipv4_mapped(a16, addr);
    ir_insert(ir, a16, port_n, number);
}

// This thread's recent answers of ir_lookup, absent keys included: the
// packet path asks for every frame's destination and source (a few
// lookups a frame), and the registries change only by command. Two ways
// per set, the newer answer first, so the few keys of one frame do not
// push each other out when they meet in a set.
struct IRCACHEROW {
    uint64_t generation;       // the registry's generation when filled
    const INDEXREGISTRY *ir;   // the registry asked; nullptr = empty row
    uint64_t lo, hi;           // the address as two words
    uint16_t port_n;
    int32_t number;            // its answer, 0 for an absent key
};
constexpr int IRCACHE_SET_BITS = 7;
static thread_local IRCACHEROW ir_cache[(1 << IRCACHE_SET_BITS) * 2];

// The set's first row: multiplicative hashing of the address words, the
// port and the registry (so that a server and a target on one address and
// port do not always meet); the top bits of the sum depend on every bit.
static IRCACHEROW *
cache_set(const INDEXREGISTRY *ir, uint64_t lo, uint64_t hi, uint16_t port_n)
{
    uint64_t h = lo * 0x9e3779b97f4a7c15u + hi * 0xc2b2ae3d27d4eb4fu +
                 ((uint64_t)port_n ^ (uint64_t)(uintptr_t)ir) * 0xff51afd7ed558ccdu;
    return &ir_cache[(h >> (64 - IRCACHE_SET_BITS)) * 2];
}

static bool
row_answers(const IRCACHEROW &r, const INDEXREGISTRY *ir, uint64_t gen, uint64_t lo, uint64_t hi, uint16_t port_n)
{
    return r.ir == ir && r.generation == gen && r.lo == lo && r.hi == hi && r.port_n == port_n;
}

int32_t
ir_lookup(INDEXREGISTRY *ir, const uint8_t addr[16], uint16_t port_n)
{
    uint64_t lo, hi;
    memcpy(&lo, addr, 8);
    memcpy(&hi, addr + 8, 8);
    IRCACHEROW *set = cache_set(ir, lo, hi, port_n);
    uint64_t gen = generation(ir);
    if (row_answers(set[0], ir, gen, lo, hi, port_n))
        return set[0].number;
    if (row_answers(set[1], ir, gen, lo, hi, port_n))
        return set[1].number;
    pthread_rwlock_rdlock(&ir->lock);
    IRENTRY *e = find_locked(ir, addr, port_n);
    int32_t number = e != nullptr ? e->number : 0;
    set[1] = set[0];
    set[0] = {ir->generation, ir, lo, hi, port_n, number};
    pthread_rwlock_unlock(&ir->lock);
    return number;
}

int32_t
ir_lookup4(INDEXREGISTRY *ir, const uint8_t addr[4], uint16_t port_n)
{
    uint8_t a16[16];
    ipv4_mapped(a16, addr);
    return ir_lookup(ir, a16, port_n);
}

int
ir_delete(INDEXREGISTRY *ir, const uint8_t addr[16], uint16_t port_n)
{
    int removed = 0;
    uint32_t b = ir_hash(addr, port_n);
    wrlock(ir);
    while (IRENTRY *e = find_locked(ir, addr, port_n)) {
        pool_unlink(&ir->pool, b, e);
        if (e->list_prev != nullptr)
            e->list_prev->list_next = e->list_next;
        else
            ir->list = e->list_next;
        if (e->list_next != nullptr)
            e->list_next->list_prev = e->list_prev;
        pool_give(&ir->pool, e);
        removed++;
    }
    pthread_rwlock_unlock(&ir->lock);
    return removed;
}

int
ir_delete4(INDEXREGISTRY *ir, const uint8_t addr[4], uint16_t port_n)
{
    uint8_t a16[16];
    ipv4_mapped(a16, addr);
    return ir_delete(ir, a16, port_n);
}

static void
walk_family(INDEXREGISTRY *ir, IRWALKFN fn, void *arg, int family)
{
    pthread_rwlock_rdlock(&ir->lock);
    for (IRENTRY *e = ir->list; e != nullptr; e = e->list_next)
        if (family == 0 || e->family == family)
            fn(e, arg);
    pthread_rwlock_unlock(&ir->lock);
}

void
ir_walk(INDEXREGISTRY *ir, IRWALKFN fn, void *arg)
{
    walk_family(ir, fn, arg, 0);
}

void
ir_walk4(INDEXREGISTRY *ir, IRWALKFN fn, void *arg)
{
    walk_family(ir, fn, arg, 4);
}

void
ir_walk6(INDEXREGISTRY *ir, IRWALKFN fn, void *arg)
{
    walk_family(ir, fn, arg, 6);
}
