// POOL: chunks taken as records run out, reuse through the free list, the
// bucket chains and the walk over them, clearing and releasing, the
// geometries a pool refuses, and the generations and per-thread answer
// caches of the table shell.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/pool.h"

namespace {

// A record whose link is neither first nor last, so a pool that ignored
// the link offset would overwrite the key or the payload.
struct REC {
    uint32_t key;     // the record's identity in a test
    REC *next;        // chain link, free link while free
    uint8_t tail[5];  // payload after the link
};

// A pool with its own head storage, set up and released per test.
struct Pool {
    std::vector<void *> heads;
    POOL p = {};
    Pool(int32_t buckets, int32_t chunk_entries) : heads((size_t)buckets, nullptr)
    {
        EXPECT_TRUE(pool_init(&p, heads.data(), buckets, sizeof(REC), offsetof(REC, next), chunk_entries));
    }
    ~Pool() { pool_release(&p); }
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    uint32_t bucket_of(uint32_t key) const { return key % (uint32_t)p.buckets; }
    // Takes a record for the key and links it into its chain.
    REC *add(uint32_t key)
    {
        auto *r = (REC *)pool_take(&p);
        if (r == nullptr)
            return nullptr;
        r->key = key;
        memset(r->tail, 0xab, sizeof r->tail);
        pool_push(&p, bucket_of(key), r);
        return r;
    }
    // How often each key is met by a walk over every chain.
    std::map<uint32_t, int> walked()
    {
        std::map<uint32_t, int> seen;
        POOLWALK w = {};
        while (auto *r = (REC *)pool_walk(&p, &w))
            seen[r->key]++;
        return seen;
    }
};

// A table kind built on the shell: its own field beside the pool.
struct TABLE : LOCKEDPOOL {
    uint8_t own[3];  // an odd size, so the heads behind it need aligning
};

bool all_zero(const REC *r)
{
    static const REC zero = {};
    return memcmp(r, &zero, sizeof *r) == 0;
}

TEST(PoolTest, FillingBeyondAChunkTakesAnother)
{
    const struct {
        int32_t chunk;    // records per chunk
        int32_t buckets;  // chain heads
        int32_t fill;     // records taken
    } cases[] = {
        {1, 1, 3},
        {8, 7, 8},
        {8, 7, 9},
        {8, 7, 20},
        {65536, 1024, 65537},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "chunk " << c.chunk << " fill " << c.fill);
        Pool t(c.buckets, c.chunk);
        EXPECT_EQ(t.p.chunk_count, 0) << "no chunk before the first take";
        EXPECT_EQ(pool_free_count(&t.p), 0);
        std::set<REC *> distinct;
        for (int32_t i = 0; i < c.fill; i++) {
            REC *r = t.add((uint32_t)i);
            ASSERT_NE(r, nullptr);
            EXPECT_EQ((uintptr_t)r % alignof(REC), 0u);
            distinct.insert(r);
        }
        const int32_t chunks = (c.fill + c.chunk - 1) / c.chunk;
        EXPECT_EQ(t.p.chunk_count, chunks);
        EXPECT_EQ(t.p.count, c.fill);
        EXPECT_EQ(pool_free_count(&t.p), (int64_t)chunks * c.chunk - c.fill);
        EXPECT_EQ(distinct.size(), (size_t)c.fill) << "every record is its own memory";
        int listed = 0;
        for (POOLCHUNK *k = t.p.chunks; k != nullptr; k = k->next)
            listed++;
        EXPECT_EQ(listed, chunks);
        // Nothing a record holds was overwritten by another's link.
        std::map<uint32_t, int> seen = t.walked();
        ASSERT_EQ(seen.size(), (size_t)c.fill);
        EXPECT_EQ(seen.begin()->first, 0u);
        EXPECT_EQ(seen.rbegin()->first, (uint32_t)c.fill - 1);
    }
}

TEST(PoolTest, GivenBackRecordsAreTakenAgainBeforeANewChunk)
{
    Pool t(5, 8);
    std::vector<REC *> recs;
    for (uint32_t i = 0; i < 16; i++)
        recs.push_back(t.add(i));  // exactly two chunks
    ASSERT_EQ(t.p.chunk_count, 2);
    POOLCHUNK *newest = t.p.chunks;
    const uint32_t given[] = {3, 9, 14, 0};
    for (uint32_t i : given) {
        ASSERT_TRUE(pool_unlink(&t.p, t.bucket_of(i), recs[i]));
        pool_give(&t.p, recs[i]);
    }
    EXPECT_EQ(t.p.count, 12);
    EXPECT_EQ(pool_free_count(&t.p), 4);
    // The free list hands out the last record given back first, each
    // cleared, and no chunk is taken while it lasts.
    for (int k = 3; k >= 0; k--) {
        auto *r = (REC *)pool_take(&t.p);
        EXPECT_EQ(r, recs[given[k]]);
        EXPECT_TRUE(all_zero(r));
        r->key = 100 + (uint32_t)k;
        pool_push(&t.p, t.bucket_of(r->key), r);
    }
    EXPECT_EQ(t.p.chunk_count, 2);
    EXPECT_EQ(t.p.chunks, newest);
    EXPECT_EQ(pool_free_count(&t.p), 0);
    // Only when the free list is empty is a third chunk taken.
    REC *r = t.add(200);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(t.p.chunk_count, 3);
    EXPECT_EQ(std::count(recs.begin(), recs.end(), r), 0);
}

TEST(PoolTest, WalkVisitsEveryLiveRecordOnce)
{
    Pool t(7, 4);
    std::vector<REC *> recs;
    for (uint32_t i = 0; i < 40; i++)  // several records per chain
        recs.push_back(t.add(i));
    std::set<uint32_t> live;
    for (uint32_t i = 0; i < 40; i++)
        if (i % 3 == 0) {
            ASSERT_TRUE(pool_unlink(&t.p, t.bucket_of(i), recs[i]));
            pool_give(&t.p, recs[i]);
        } else {
            live.insert(i);
        }
    std::map<uint32_t, int> seen = t.walked();
    EXPECT_EQ(seen.size(), live.size());
    for (uint32_t k : live)
        EXPECT_EQ(seen[k], 1) << k;

    // A walk may give back the record it was just handed.
    POOLWALK w = {};
    int visited = 0;
    while (auto *r = (REC *)pool_walk(&t.p, &w)) {
        visited++;
        if (r->key % 2 == 0) {
            ASSERT_TRUE(pool_unlink(&t.p, t.bucket_of(r->key), r));
            pool_give(&t.p, r);
        }
    }
    EXPECT_EQ(visited, (int)live.size());
    seen = t.walked();
    for (uint32_t k : live)
        EXPECT_EQ(seen.count(k), k % 2 == 0 ? 0u : 1u) << k;
    EXPECT_EQ(t.p.count, (int32_t)seen.size());

    Pool empty(3, 4);
    EXPECT_TRUE(empty.walked().empty());
}

TEST(PoolTest, UnlinkHeadMiddleAndTail)
{
    Pool t(1, 8);  // one chain: head is the newest record
    REC *r[5];
    for (uint32_t i = 0; i < 5; i++)
        r[i] = t.add(i);
    auto chain = [&t] {
        std::vector<uint32_t> keys;
        for (auto *e = (REC *)t.p.bucket[0]; e != nullptr; e = e->next)
            keys.push_back(e->key);
        return keys;
    };
    EXPECT_EQ(chain(), (std::vector<uint32_t>{4, 3, 2, 1, 0}));
    EXPECT_TRUE(pool_unlink(&t.p, 0, r[2]));
    EXPECT_TRUE(pool_unlink(&t.p, 0, r[4]));
    EXPECT_TRUE(pool_unlink(&t.p, 0, r[0]));
    EXPECT_EQ(chain(), (std::vector<uint32_t>{3, 1}));
    EXPECT_FALSE(pool_unlink(&t.p, 0, r[2])) << "no longer in the chain";
    EXPECT_EQ(chain(), (std::vector<uint32_t>{3, 1}));
    EXPECT_EQ(t.p.count, 5) << "unlinked records stay taken until given back";
}

TEST(PoolTest, ClearGivesEverythingBackAndReleaseReturnsTheChunks)
{
    Pool t(11, 16);
    std::set<REC *> first;
    for (uint32_t i = 0; i < 50; i++)
        first.insert(t.add(i));
    ASSERT_EQ(t.p.chunk_count, 4);
    pool_clear(&t.p);
    EXPECT_EQ(t.p.count, 0);
    EXPECT_EQ(t.p.chunk_count, 4);
    EXPECT_TRUE(t.walked().empty());
    for (void *h : t.heads)
        EXPECT_EQ(h, nullptr);
    // Refilling reuses the cleared records.
    for (uint32_t i = 0; i < 50; i++)
        EXPECT_EQ(first.count(t.add(1000 + i)), 1u);
    EXPECT_EQ(t.p.chunk_count, 4);
    EXPECT_EQ(t.walked().size(), 50u);

    pool_release(&t.p);
    EXPECT_EQ(t.p.chunk_count, 0);
    EXPECT_EQ(t.p.chunks, nullptr);
    EXPECT_EQ(t.p.count, 0);
    EXPECT_EQ(pool_free_count(&t.p), 0);
    EXPECT_TRUE(t.walked().empty());
    // A released pool is usable again.
    ASSERT_NE(t.add(7), nullptr);
    EXPECT_EQ(t.p.chunk_count, 1);
    EXPECT_EQ(t.walked().size(), 1u);
}

TEST(PoolTest, ImpossibleGeometriesAreRefused)
{
    void *heads[4] = {};
    const struct {
        const char *name;
        void **bucket;
        int32_t buckets;
        size_t size;
        size_t link;
        int32_t chunk;
    } cases[] = {
        {"no head storage", nullptr, 4, sizeof(REC), offsetof(REC, next), 8},
        {"no buckets", heads, 0, sizeof(REC), offsetof(REC, next), 8},
        {"negative buckets", heads, -1, sizeof(REC), offsetof(REC, next), 8},
        {"no records per chunk", heads, 4, sizeof(REC), offsetof(REC, next), 0},
        {"link beyond the record", heads, 4, sizeof(REC), sizeof(REC), 8},
        {"link cut by the record's end", heads, 4, sizeof(REC), sizeof(REC) - 2, 8},
        {"record smaller than a link", heads, 4, 4, 0, 8},
        {"chunk too large", heads, 4, (size_t)1 << 30, 0, 1 << 20},
    };
    for (const auto &c : cases) {
        POOL p;
        memset(&p, 0x5a, sizeof p);
        POOL before = p;
        EXPECT_FALSE(pool_init(&p, c.bucket, c.buckets, c.size, c.link, c.chunk)) << c.name;
        EXPECT_EQ(memcmp(&p, &before, sizeof p), 0) << c.name << ": nothing set up";
    }
    POOL p;
    EXPECT_TRUE(pool_init(&p, heads, 4, sizeof(void *), 0, 1)) << "a record that is only its link";
}

TEST(PoolTest, AFailedChunkLeavesThePoolUnchanged)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer reserves address space an address-space limit would cut";
#elif defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer ends the process on a failed malloc() instead of returning nullptr";
#else
    // Limit the address space to a little more than is mapped now, so the
    // allocation of a 1 GiB chunk fails whatever the overcommit policy.
    long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    ASSERT_NE(statm, nullptr);
    ASSERT_EQ(fscanf(statm, "%ld", &pages), 1);
    fclose(statm);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    struct rlimit tight = saved;
    tight.rlim_cur = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + ((rlim_t)64 << 20);
    if (saved.rlim_cur != RLIM_INFINITY && saved.rlim_cur < tight.rlim_cur)
        tight.rlim_cur = saved.rlim_cur;

    void *heads[1] = {};
    POOL p;
    ASSERT_TRUE(pool_init(&p, heads, 1, (size_t)1 << 20, 0, 1 << 10));
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    void *r = pool_take(&p);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(p.chunk_count, 0);
    EXPECT_EQ(p.chunks, nullptr);
    EXPECT_EQ(p.count, 0);
    EXPECT_EQ(pool_free_count(&p), 0);
    pool_release(&p);
#endif
}

TEST(PoolTest, TableShellHoldsItsHeadsAndCountsWriterLocks)
{
    const int32_t buckets = 13;
    auto *t = (TABLE *)pool_table_new("TABLE", sizeof(TABLE), buckets, sizeof(REC), offsetof(REC, next), 4);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->buckets, buckets);
    EXPECT_EQ(t->count, 0);
    EXPECT_EQ(t->write_locks, 0u);
    // The heads lie behind the record, aligned, in the same allocation.
    EXPECT_GE((char *)t->bucket, (char *)t + sizeof(TABLE));
    EXPECT_LT((char *)t->bucket, (char *)t + sizeof(TABLE) + alignof(void *));
    EXPECT_EQ((uintptr_t)t->bucket % alignof(void *), 0u);
    for (int32_t b = 0; b < buckets; b++)
        EXPECT_EQ(t->bucket[b], nullptr);

    pool_wrlock(t);
    for (uint32_t i = 0; i < 30; i++) {
        auto *r = (REC *)pool_take(t);
        ASSERT_NE(r, nullptr);
        r->key = i;
        pool_push(t, i % (uint32_t)buckets, r);
    }
    pool_unlock(t);
    EXPECT_EQ(t->chunk_count, 8);
    uint32_t key = 29;
    pool_rdlock(t);
    auto *found = (REC *)pool_find(t, key % (uint32_t)buckets, offsetof(REC, key), &key, sizeof key);
    pool_unlock(t);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->key, 29u);
    key = 30;
    EXPECT_EQ(pool_find(t, key % (uint32_t)buckets, offsetof(REC, key), &key, sizeof key), nullptr);

    pool_table_clear(t);
    EXPECT_EQ(t->count, 0);
    EXPECT_EQ(t->chunk_count, 8);
    EXPECT_EQ(t->write_locks, 2u) << "one for the fill, one for the clear";
    pool_table_free(t);
    pool_table_free(nullptr);
}

TABLE *new_table()
{
    return (TABLE *)pool_table_new("TABLE", sizeof(TABLE), 13, sizeof(REC), offsetof(REC, next), 4);
}

TEST(PoolTest, GenerationsAreNeverReused)
{
    std::set<uint64_t> seen;
    TABLE *a = new_table();
    TABLE *b = new_table();
    EXPECT_TRUE(seen.insert(pool_generation(a)).second);
    EXPECT_TRUE(seen.insert(pool_generation(b)).second);
    EXPECT_NE(pool_generation(a), 0u);
    uint64_t before = pool_generation(a);
    pool_rdlock(a);
    pool_unlock(a);
    EXPECT_EQ(pool_generation(a), before) << "readers leave the generation alone";
    for (int i = 0; i < 3; i++) {
        pool_wrlock(a);
        EXPECT_TRUE(seen.insert(pool_generation(a)).second);
        pool_unlock(a);
        pool_table_clear(b);
        EXPECT_TRUE(seen.insert(pool_generation(b)).second);
    }
    // A table made where a discarded one was is still another table.
    pool_table_free(a);
    TABLE *c = new_table();
    EXPECT_TRUE(seen.insert(pool_generation(c)).second);
    pool_table_free(b);
    pool_table_free(c);
}

// Keys of every length a cache accepts: each byte within the length tells
// keys apart, bytes beyond it do not.
TEST(PoolTest, CacheKeysUseExactlyTheirLength)
{
    for (size_t len : {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16}) {
        SCOPED_TRACE(len);
        uint8_t k[POOLCACHE_KEY + 1];
        for (size_t i = 0; i <= POOLCACHE_KEY; i++)
            k[i] = (uint8_t)(0x11 * (i + 1));
        POOLKEY base = pool_cache_key(k, len);
        uint8_t beyond[POOLCACHE_KEY + 1];
        memcpy(beyond, k, sizeof k);
        for (size_t i = len; i <= POOLCACHE_KEY; i++)
            beyond[i] ^= 0xff;
        POOLKEY same = pool_cache_key(beyond, len);
        EXPECT_TRUE(same.lo == base.lo && same.hi == base.hi);
        for (size_t i = 0; i < len; i++) {
            uint8_t d[POOLCACHE_KEY + 1];
            memcpy(d, k, sizeof k);
            d[i] ^= 0x01;
            POOLKEY other = pool_cache_key(d, len);
            EXPECT_FALSE(other.lo == base.lo && other.hi == base.hi) << "byte " << i;
        }
    }
}

// Keys differing in any one byte spread over the sets: addresses of one
// network or MACs of one vendor differ in their last bytes only.
TEST(PoolTest, CacheRowsDependOnEveryKeyByte)
{
    static POOLCACHE cache;
    for (size_t len : {6, 16}) {
        for (size_t i = 0; i < len; i++) {
            SCOPED_TRACE("length " + std::to_string(len) + " byte " + std::to_string(i));
            std::set<const POOLCACHEROW *> rows;
            for (int v = 0; v < 256; v++) {
                uint8_t k[POOLCACHE_KEY] = {0x02, 0x00, 0xc0, 0x00, 0x02, 0x0a, 0x20, 0x01,
                                            0x0d, 0xb8, 0x00, 0x00, 0xc6, 0x33, 0x64, 0x07};
                k[i] = (uint8_t)v;
                rows.insert(pool_cache_row(&cache, pool_cache_key(k, len)));
            }
            EXPECT_GE(rows.size(), (size_t)POOLCACHE_SETS / 2);
        }
    }
}

// Two keys of one set both keep their answers; a third one of the set
// pushes the older of the two out.
TEST(PoolTest, CacheSetsHoldTwoKeys)
{
    static POOLCACHE cache;
    memset(&cache, 0, sizeof cache);
    TABLE *t = new_table();
    uint8_t keys[3][16];
    int found = 0;
    const POOLCACHEROW *set = nullptr;
    for (int v = 0; v < 65536 && found < 3; v++) {
        uint8_t k[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, (uint8_t)(v >> 8), (uint8_t)v};
        const POOLCACHEROW *r = pool_cache_row(&cache, pool_cache_key(k, 16));
        if (set == nullptr)
            set = r;
        if (r == set)
            memcpy(keys[found++], k, 16);
    }
    ASSERT_EQ(found, 3);
    pool_rdlock(t);
    pool_cache_put(&cache, t, keys[0], 16, 10);
    pool_cache_put(&cache, t, keys[1], 16, 11);
    pool_unlock(t);
    uintptr_t v = 0;
    EXPECT_TRUE(pool_cache_get(&cache, t, keys[0], 16, &v));
    EXPECT_EQ(v, 10u);
    EXPECT_TRUE(pool_cache_get(&cache, t, keys[1], 16, &v));
    EXPECT_EQ(v, 11u);
    pool_rdlock(t);
    pool_cache_put(&cache, t, keys[2], 16, 12);
    pool_unlock(t);
    EXPECT_FALSE(pool_cache_get(&cache, t, keys[0], 16, &v));
    EXPECT_TRUE(pool_cache_get(&cache, t, keys[1], 16, &v));
    EXPECT_TRUE(pool_cache_get(&cache, t, keys[2], 16, &v));
    EXPECT_EQ(v, 12u);
    pool_table_free(t);
}

TEST(PoolTest, CacheAnswersOnlyForTheGenerationItWasFilledIn)
{
    static POOLCACHE cache;  // large for a stack; a table kind keeps it thread_local
    memset(&cache, 0, sizeof cache);
    TABLE *t = new_table();
    TABLE *u = new_table();
    const uint8_t k6[6] = {2, 0, 0, 0, 0, 0x32};
    const uint8_t k16[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    uintptr_t v = 0;
    EXPECT_FALSE(pool_cache_get(&cache, t, k6, 6, &v)) << "an empty cache knows nothing";
    pool_rdlock(t);
    pool_cache_put(&cache, t, k6, 6, 7);
    pool_cache_put(&cache, t, k16, 16, 0);
    pool_unlock(t);
    ASSERT_TRUE(pool_cache_get(&cache, t, k6, 6, &v));
    EXPECT_EQ(v, 7u);
    ASSERT_TRUE(pool_cache_get(&cache, t, k16, 16, &v)) << "a null answer is an answer";
    EXPECT_EQ(v, 0u);
    EXPECT_FALSE(pool_cache_get(&cache, u, k6, 6, &v)) << "another table";
    const uint8_t k6b[6] = {2, 0, 0, 0, 0, 0x33};
    EXPECT_FALSE(pool_cache_get(&cache, t, k6b, 6, &v)) << "another key";
    pool_wrlock(t);
    pool_unlock(t);
    EXPECT_FALSE(pool_cache_get(&cache, t, k6, 6, &v)) << "a writer came between";
    EXPECT_FALSE(pool_cache_get(&cache, t, k16, 16, &v));
    pool_table_free(t);
    pool_table_free(u);
}

}  // namespace
