// INDEXREGISTRY: the bucket hash, chains, the all-entries list, deletes,
// and concurrent readers against a writer.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <set>
#include <vector>

#include "config/addr.h"
#include "config/index_registry.h"

namespace {

std::vector<int32_t> walk_numbers(INDEXREGISTRY *ir, void (*walker)(INDEXREGISTRY *, IRWALKFN, void *))
{
    std::vector<int32_t> out;
    walker(ir, [](const IRENTRY *e, void *arg) { static_cast<std::vector<int32_t> *>(arg)->push_back(e->number); },
           &out);
    return out;
}

struct Registry : ::testing::Test {
    INDEXREGISTRY *ir = ir_new();
    ~Registry() override
    {
        ir_clear(ir);
        free(ir);
    }
};

TEST_F(Registry, HashFollowsTheAddressAndPortBytes)
{
    uint8_t a[16];
    const uint8_t v4[4] = {192, 0, 2, 10};
    ipv4_mapped(a, v4);
    uint16_t port = htons(80);  // bytes 0x00 0x50
    uint32_t h = a[0];
    for (int i = 1; i < 16; i++)
        h = h * 31 + a[i];
    h = h * 31 + 0x00;
    h = h * 31 + 0x50;
    EXPECT_EQ(ir_hash(a, port), h % 1024);
    // The port bytes are hashed in stored (network) order.
    EXPECT_NE(ir_hash(a, htons(80)), ir_hash(a, htons(0x5000)));
}

TEST_F(Registry, InsertLookupReplaceDelete)
{
    const uint8_t a[4] = {198, 51, 100, 7};
    EXPECT_EQ(ir_lookup4(ir, a, htons(80)), 0);
    ir_insert4(ir, a, htons(80), 5);
    ir_insert4(ir, a, htons(443), 6);
    EXPECT_EQ(ir_lookup4(ir, a, htons(80)), 5);
    EXPECT_EQ(ir_lookup4(ir, a, htons(443)), 6);
    EXPECT_EQ(ir_lookup4(ir, a, htons(81)), 0);
    // An existing key only gets the new number: no second entry.
    ir_insert4(ir, a, htons(80), 9);
    EXPECT_EQ(ir_lookup4(ir, a, htons(80)), 9);
    EXPECT_EQ(walk_numbers(ir, ir_walk).size(), 2u);
    EXPECT_EQ(ir_delete4(ir, a, htons(80)), 1);
    EXPECT_EQ(ir_delete4(ir, a, htons(80)), 0);
    EXPECT_EQ(ir_lookup4(ir, a, htons(80)), 0);
    EXPECT_EQ(walk_numbers(ir, ir_walk), std::vector<int32_t>{6});
}

// Lookups are answered from this thread's earlier answers while the
// registry is unchanged: every change, clearing included, is seen at once,
// and a registry made anew where a discarded one was gives none of the old
// one's answers.
TEST_F(Registry, RepeatedLookupsFollowEveryChange)
{
    const uint8_t a[4] = {203, 0, 113, 80};
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(ir_lookup4(ir, a, htons(80)), 0);
    ir_insert4(ir, a, htons(80), 1);
    EXPECT_EQ(ir_lookup4(ir, a, htons(80)), 1);
    EXPECT_EQ(ir_lookup4(ir, a, htons(80)), 1);
    ir_insert4(ir, a, htons(80), 2);
    EXPECT_EQ(ir_lookup4(ir, a, htons(80)), 2);
    ir_clear(ir);
    EXPECT_EQ(ir_lookup4(ir, a, htons(80)), 0);
    for (int round = 0; round < 20; round++) {
        INDEXREGISTRY *other = ir_new();
        ir_insert4(other, a, htons(80), 100 + round);
        EXPECT_EQ(ir_lookup4(other, a, htons(80)), 100 + round);
        ir_clear(other);
        free(other);
    }
}

TEST_F(Registry, FamiliesAndWalkOrder)
{
    const uint8_t a4[4] = {203, 0, 113, 1};
    uint8_t a6[16];
    ASSERT_TRUE(parse_ipv6("2001:db8::1", a6));
    ir_insert4(ir, a4, htons(80), 1);
    ir_insert(ir, a6, htons(80), 2);
    ir_insert4(ir, a4, htons(81), 3);
    EXPECT_EQ(walk_numbers(ir, ir_walk), (std::vector<int32_t>{3, 2, 1}));  // newest first
    EXPECT_EQ(walk_numbers(ir, ir_walk4), (std::vector<int32_t>{3, 1}));
    EXPECT_EQ(walk_numbers(ir, ir_walk6), (std::vector<int32_t>{2}));
    // Deleting from the middle of the list keeps it linked both ways.
    EXPECT_EQ(ir_delete(ir, a6, htons(80)), 1);
    EXPECT_EQ(walk_numbers(ir, ir_walk), (std::vector<int32_t>{3, 1}));
}

TEST_F(Registry, SharedBucketChains)
{
    // Find keys that land in one bucket, then insert, look up and delete
    // them in an order that exercises head, middle and tail of the chain.
    uint8_t base[4] = {192, 0, 2, 0};
    uint8_t a16[16];
    ipv4_mapped(a16, base);
    uint32_t target = ir_hash(a16, htons(1));
    std::vector<uint16_t> ports;
    for (uint32_t p = 1; p < 65536 && ports.size() < 5; p++)
        if (ir_hash(a16, htons((uint16_t)p)) == target)
            ports.push_back((uint16_t)p);
    ASSERT_EQ(ports.size(), 5u);
    for (size_t i = 0; i < ports.size(); i++)
        ir_insert(ir, a16, htons(ports[i]), (int32_t)i + 1);
    for (size_t i = 0; i < ports.size(); i++)
        EXPECT_EQ(ir_lookup(ir, a16, htons(ports[i])), (int32_t)i + 1);
    EXPECT_EQ(ir_delete(ir, a16, htons(ports[2])), 1);
    EXPECT_EQ(ir_delete(ir, a16, htons(ports[4])), 1);
    EXPECT_EQ(ir_delete(ir, a16, htons(ports[0])), 1);
    EXPECT_EQ(ir_lookup(ir, a16, htons(ports[1])), 2);
    EXPECT_EQ(ir_lookup(ir, a16, htons(ports[3])), 4);
    EXPECT_EQ(ir_lookup(ir, a16, htons(ports[2])), 0);
    EXPECT_EQ(walk_numbers(ir, ir_walk), (std::vector<int32_t>{4, 2}));
}

TEST_F(Registry, FillDeleteAndReinsertManyKeys)
{
    const int N = 3000;
    for (int i = 0; i < N; i++) {
        uint8_t a[4] = {198, 51, (uint8_t)(i >> 8), (uint8_t)i};
        ir_insert4(ir, a, htons((uint16_t)(i % 7)), i + 1);
    }
    EXPECT_EQ(walk_numbers(ir, ir_walk).size(), (size_t)N);
    for (int i = 0; i < N; i += 2) {
        uint8_t a[4] = {198, 51, (uint8_t)(i >> 8), (uint8_t)i};
        EXPECT_EQ(ir_delete4(ir, a, htons((uint16_t)(i % 7))), 1);
    }
    for (int i = 0; i < N; i++) {
        uint8_t a[4] = {198, 51, (uint8_t)(i >> 8), (uint8_t)i};
        EXPECT_EQ(ir_lookup4(ir, a, htons((uint16_t)(i % 7))), i % 2 ? i + 1 : 0) << i;
    }
    for (int i = 0; i < N; i += 2) {
        uint8_t a[4] = {198, 51, (uint8_t)(i >> 8), (uint8_t)i};
        ir_insert4(ir, a, htons((uint16_t)(i % 7)), i + 1);
    }
    std::vector<int32_t> all = walk_numbers(ir, ir_walk);
    EXPECT_EQ(std::set<int32_t>(all.begin(), all.end()).size(), (size_t)N);
}

// Readers look up a set of stable keys while a writer inserts and deletes
// other keys in the same buckets; every stable key must always be found.
struct Stress {
    INDEXREGISTRY *ir;
    std::atomic<bool> stop{false};
    std::atomic<long> misses{0};
    std::atomic<long> lookups{0};
};

constexpr int STABLE = 200;

void *stress_reader(void *arg)
{
    auto *s = static_cast<Stress *>(arg);
    while (!s->stop.load()) {
        for (int i = 0; i < STABLE; i++) {
            uint8_t a[4] = {192, 0, 2, (uint8_t)i};
            if (ir_lookup4(s->ir, a, htons(80)) != i + 1)
                s->misses++;
            s->lookups++;
        }
        ir_walk(s->ir, [](const IRENTRY *, void *) {}, nullptr);
    }
    return nullptr;
}

TEST_F(Registry, ConcurrentReadersAndWriter)
{
    for (int i = 0; i < STABLE; i++) {
        uint8_t a[4] = {192, 0, 2, (uint8_t)i};
        ir_insert4(ir, a, htons(80), i + 1);
    }
    Stress s;
    s.ir = ir;
    pthread_t readers[3];
    for (pthread_t &t : readers)
        ASSERT_EQ(pthread_create(&t, nullptr, stress_reader, &s), 0);
    // The rounds must overlap the lookups: on a loaded machine the writer
    // could otherwise finish before any reader has run.
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         s.lookups.load() == 0 && std::chrono::steady_clock::now() < deadline;)
        sched_yield();
    for (int round = 0; round < 200; round++) {
        for (int i = 0; i < STABLE; i++) {
            uint8_t a[4] = {192, 0, 2, (uint8_t)i};
            ir_insert4(ir, a, htons(81), 1000 + i);
        }
        for (int i = 0; i < STABLE; i++) {
            uint8_t a[4] = {192, 0, 2, (uint8_t)i};
            ASSERT_EQ(ir_delete4(ir, a, htons(81)), 1);
        }
    }
    s.stop = true;
    for (pthread_t &t : readers)
        pthread_join(t, nullptr);
    EXPECT_EQ(s.misses.load(), 0);
    EXPECT_GT(s.lookups.load(), 0);
    EXPECT_EQ(walk_numbers(ir, ir_walk).size(), (size_t)STABLE);
}

}  // namespace
