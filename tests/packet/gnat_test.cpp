// GNATTABLE: the bucket of known keys, the port search and its cursor, a
// full port space, insert against existing sides, refresh and the
// announcement time, expiry with the test clock (a stale association is
// gone before the sweep reaches it, and never revived), and lookups,
// inserts and port searches from two threads while the clock runs and the
// sweep goes on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "command/process.h"
#include "config/parameters.h"
#include "packet/gnat.h"
#include "support/gnat_keys.h"
#include "support/support.h"

namespace {

bool same(const GNATKEY &a, const GNATKEY &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

const GNATKEY OUTSIDE = gnat_side("203.0.113.1", GNAT_TCP4, 0);   // the right address, port unused

// Inside flow n: a host of 198.51.100.0/24 and a source port, distinct for
// every n.
GNATKEY inside(int n)
{
    char ip[32];
    snprintf(ip, sizeof ip, "198.51.100.%d", n & 255);
    return gnat_side(ip, GNAT_TCP4, (uint16_t)(1000 + (n >> 8)));
}

GNATKEY outside_port(uint16_t port)
{
    GNATKEY k = OUTSIDE;
    k.port = port;
    return k;
}

int live_entries(GNATTABLE *t)
{
    int n = 0;
    gnat_walk(t, [](const GNATPAIR &, void *arg) { return ++*(int *)arg, true; }, &n);
    return n;
}

struct GnatTest : ::testing::Test {
    GNATTABLE *t = nullptr;
    void SetUp() override
    {
        kvn_test_reset();
        set_uptime(1000);
        t = gnat_create();
    }
    void TearDown() override { gnat_free(t); }
};

TEST(Gnat, BucketOfKnownKeysAndTypeNames)
{
    // Folded by hand: address bytes, type, then (h*31 + port) mod 30000.
    struct {
        const char *ip;
        uint16_t type;
        uint16_t port;
        uint32_t bucket;
    } rows[] = {
        {"192.0.2.1", GNAT_TCP4, 40000, 16174},
        {"203.0.113.9", GNAT_ECH4, 20000, 21386},
        {"2001:db8::1", GNAT_ECH6, 65535, 8358},
    };
    for (const auto &r : rows)
        EXPECT_EQ(gnat_bucket(gnat_side(r.ip, r.type, r.port)), r.bucket) << r.ip;
    const char *names[] = {" -- ", "TCP4", "UDP4", "ECH4", "TCP6", "UDP6", "ECH6", " -- "};
    for (int type = 0; type < 8; type++)
        EXPECT_STREQ(gnat_type_name(type), names[type]);
}

TEST_F(GnatTest, PortSearchAndCursor)
{
    struct {
        std::vector<uint16_t> taken;   // right ports in use before the search
        uint16_t cursor;
        uint16_t port;                 // port given out
        uint16_t cursor_after;
    } rows[] = {
        {{}, 0, 20000, 20001},                    // 0 means the first port
        {{}, 30000, 30000, 30001},
        {{}, 65535, 65535, 20000},                // the cursor after 65535 wraps
        {{65535}, 65535, 20000, 20001},           // the search wraps too
        {{40000, 40001}, 40000, 40002, 40003},    // taken ports are stepped over
        {{}, 7, 20000, 20001},                    // below the range: from the first port
    };
    for (const auto &r : rows) {
        gnat_clear(t);
        GNATPAIR p;
        for (size_t i = 0; i < r.taken.size(); i++)
            gnat_insert(t, inside(100 + (int)i), outside_port(r.taken[i]), &p);
        uint16_t cursor = r.cursor;
        ASSERT_TRUE(gnat_allocate_port(t, inside(1), OUTSIDE.addr, GNAT_TCP4, &cursor, &p));
        EXPECT_EQ(p.right.port, r.port) << "cursor " << r.cursor;
        EXPECT_EQ(cursor, r.cursor_after) << "cursor " << r.cursor;
        EXPECT_TRUE(same(p.left, inside(1)));
        EXPECT_EQ(gnat_count(t), (int)r.taken.size() + 1);
        GNATPAIR back;
        ASSERT_TRUE(gnat_find_right(t, outside_port(r.port), &back));
        EXPECT_TRUE(same(back.left, inside(1)));

        // A left side that has its association keeps it, and the cursor stays.
        uint16_t again = cursor;
        ASSERT_TRUE(gnat_allocate_port(t, inside(1), OUTSIDE.addr, GNAT_TCP4, &again, &back));
        EXPECT_EQ(back.right.port, r.port);
        EXPECT_EQ(again, cursor);
        EXPECT_EQ(gnat_count(t), (int)r.taken.size() + 1);
    }
}

TEST_F(GnatTest, FullPortSpaceInsertsNothing)
{
    GNATPAIR p;
    for (int port = 20000; port <= 65535; port++)
        gnat_insert(t, inside(port - 20000), outside_port((uint16_t)port), &p);
    const int full = 65536 - 20000;
    ASSERT_EQ(gnat_count(t), full);
    uint16_t cursor = 0;
    EXPECT_FALSE(gnat_allocate_port(t, inside(full), OUTSIDE.addr, GNAT_TCP4, &cursor, &p));
    EXPECT_EQ(cursor, 0);
    EXPECT_EQ(gnat_count(t), full);
    EXPECT_FALSE(gnat_find_left(t, inside(full), &p));
    // Another type on the same address has a port space of its own.
    ASSERT_TRUE(gnat_allocate_port(t, inside(full), OUTSIDE.addr, GNAT_UDP4, &cursor, &p));
    EXPECT_EQ(p.right.port, 20000);
    EXPECT_EQ(p.right.type, GNAT_UDP4);
}

TEST_F(GnatTest, InsertReturnsTheExistingAssociationOfEitherSide)
{
    GNATPAIR first, p;
    gnat_insert(t, inside(1), outside_port(30000), &first);
    EXPECT_EQ(first.last_used, 1000u);
    struct {
        GNATKEY left;
        GNATKEY right;
    } rows[] = {
        {inside(1), outside_port(30001)},   // the left side exists
        {inside(2), outside_port(30000)},   // the right side exists
        {inside(1), outside_port(30000)},   // both
    };
    for (const auto &r : rows) {
        gnat_insert(t, r.left, r.right, &p);
        EXPECT_TRUE(same(p.left, inside(1)));
        EXPECT_TRUE(same(p.right, outside_port(30000)));
    }
    EXPECT_EQ(gnat_count(t), 1);
    EXPECT_FALSE(gnat_find_left(t, inside(2), &p));
    EXPECT_FALSE(gnat_find_right(t, outside_port(30001), &p));
}

TEST_F(GnatTest, LookupsRefreshAndClaimTheAnnouncement)
{
    GNATPAIR p;
    gnat_insert(t, inside(1), outside_port(30000), &p);
    EXPECT_EQ(p.last_sync, 1000u);
    const int iv = param_value(P_NATSYNCIV);
    set_uptime(1000 + iv - 1);
    ASSERT_TRUE(gnat_find_left(t, inside(1), &p));
    EXPECT_EQ(p.last_used, 1000u + iv - 1);
    EXPECT_EQ(p.last_sync, 1000u);   // announced too lately to announce again
    set_uptime(1000 + iv);
    ASSERT_TRUE(gnat_find_right(t, outside_port(30000), &p));
    EXPECT_EQ(p.last_used, 1000u + iv);
    EXPECT_EQ(p.last_sync, 1000u + iv);
    // Refreshed, the association outlives its first nattimeout.
    set_uptime(1000 + iv + param_value(P_NATTIMEOUT));
    EXPECT_TRUE(gnat_find_left(t, inside(1), &p));
}

TEST_F(GnatTest, StaleAssociationIsGoneBeforeTheSweepAndNotRevived)
{
    const unsigned timeout = (unsigned)param_value(P_NATTIMEOUT);
    GNATPAIR a, b, p;
    gnat_insert(t, inside(1), outside_port(30000), &a);   // at 1000
    set_uptime(1500);
    gnat_insert(t, inside(2), outside_port(30001), &b);   // the list: b, a; the cursor at the head

    set_uptime(1000 + timeout);   // exactly nattimeout old: still there
    EXPECT_EQ(live_entries(t), 2);
    set_uptime(1000 + timeout + 1);
    EXPECT_EQ(live_entries(t), 1);
    EXPECT_EQ(gnat_count(t), 2);   // not swept yet
    // The miss's expiry step looks at the head (b), so a stays in the table
    // and is still absent: an answer coming back does not revive it.
    EXPECT_FALSE(gnat_find_right(t, outside_port(30000), &p));
    EXPECT_EQ(gnat_count(t), 2);
    EXPECT_FALSE(gnat_find_left(t, inside(1), &p));   // this step reaches a
    EXPECT_EQ(gnat_count(t), 1);
    EXPECT_FALSE(gnat_find_right(t, outside_port(30000), &p));
    EXPECT_TRUE(gnat_find_left(t, inside(2), &p));

    // b, refreshed by that lookup, goes by the sweep alone.
    set_uptime(1000 + 2 * timeout + 2);
    gnat_expire_step(t);
    gnat_expire_step(t);
    EXPECT_EQ(gnat_count(t), 0);
}

TEST_F(GnatTest, StalePortIsFreeBeforeTheSweep)
{
    const unsigned timeout = (unsigned)param_value(P_NATTIMEOUT);
    GNATPAIR p;
    gnat_insert(t, inside(1), outside_port(30000), &p);
    set_uptime(1500);
    gnat_insert(t, inside(2), outside_port(30001), &p);
    set_uptime(1000 + timeout + 1);
    // The allocation's own expiry step looks at the head; the search meets
    // the stale association on port 30000 and takes the port over.
    uint16_t cursor = 30000;
    ASSERT_TRUE(gnat_allocate_port(t, inside(3), OUTSIDE.addr, GNAT_TCP4, &cursor, &p));
    EXPECT_EQ(p.right.port, 30000);
    EXPECT_EQ(gnat_count(t), 2);
    ASSERT_TRUE(gnat_find_right(t, outside_port(30000), &p));
    EXPECT_TRUE(same(p.left, inside(3)));
    EXPECT_FALSE(gnat_find_left(t, inside(1), &p));
    // An insert meets a stale side the same way.
    set_uptime(1500 + timeout + 1);
    gnat_insert(t, inside(4), outside_port(30001), &p);
    EXPECT_TRUE(same(p.left, inside(4)));
}

TEST_F(GnatTest, ThreadsLookUpInsertAndAllocateWhileTheSweepRuns)
{
    GNATTABLE *g = gnat_table;
    gnat_clear(g);
    params[P_NATTIMEOUT].current = 10;
    constexpr int ROUNDS = 3000;
    std::atomic<int> running{2};
    std::atomic<int> wrong{0};
    auto worker = [&](int id) {
        uint16_t cursor = 0;
        for (int i = 0; i < ROUNDS; i++) {
            GNATKEY left = inside(id * 4096 + i % 512);
            GNATPAIR p;
            if (!gnat_find_left(g, left, &p) &&
                !gnat_allocate_port(g, left, OUTSIDE.addr, GNAT_TCP4, &cursor, &p)) {
                wrong++;
                continue;
            }
            if (!same(p.left, left))
                wrong++;
            GNATPAIR back;
            if (gnat_find_right(g, p.right, &back) && !same(back.right, p.right))
                wrong++;
            if (i % 16 == 0) {
                GNATKEY r = outside_port((uint16_t)(10000 + id * 1000 + i % 1000));
                gnat_insert(g, inside(100000 + id * 4096 + i % 256), r, &back);
            }
        }
        running--;
    };
    std::thread a(worker, 1), b(worker, 2);
    unsigned now = 1000;
    for (int step = 0; running.load() > 0 && step < 50000000; step++) {
        gnat_expire_step(g);
        if (step % 64 == 0)
            set_uptime(++now);
    }
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(live_entries(g), 0);
    EXPECT_LE(live_entries(g), gnat_count(g));
    // Once everything is stale, one pass of the sweep empties the table.
    set_uptime(now + 11);
    int n = gnat_count(g);
    EXPECT_EQ(live_entries(g), 0);
    for (int i = 0; i <= n; i++)
        gnat_expire_step(g);
    EXPECT_EQ(gnat_count(g), 0);
    gnat_clear(g);
}

} // namespace
