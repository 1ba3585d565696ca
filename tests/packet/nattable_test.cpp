// NATTABLE: the bucket of known pairs, translated ports given out in order
// with the wrap, lookups both ways, expiry with the test clock, and the
// entries the peer announces.
#include <gtest/gtest.h>

#include <cstring>

#include "command/process.h"
#include "config/parameters.h"
#include "packet/nattable.h"
#include "support/support.h"

namespace {

// Inside flow n: a host of 198.51.100.0/24 and a port, distinct for every n.
struct Flow {
    uint8_t ip[4];
    uint16_t port;
};

Flow flow(int n)
{
    return {{198, 51, 100, (uint8_t)n}, (uint16_t)(1000 + (n >> 8))};
}

struct NattableTest : ::testing::Test {
    NATTABLE *t = nullptr;
    void SetUp() override
    {
        kvn_test_reset();
        set_uptime(1000);
        t = nat_create(NAT_UDP);
    }
    void TearDown() override { nat_free(t); }
};

TEST(Nattable, BucketOfKnownPairs)
{
    // Folded by hand: a, b, c, d, port high byte, low byte, mod 30000.
    const uint8_t a[4] = {192, 0, 2, 1}, b[4] = {198, 51, 100, 200};
    EXPECT_EQ(nat_bucket(a, 1234), 573u);
    EXPECT_EQ(nat_bucket(b, 65535), 23633u);
}

TEST_F(NattableTest, PortsInOrderLookupsBothWays)
{
    NATPAIR p, q;
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(nat_new(t, flow(i).ip, flow(i).port, &p));
        EXPECT_EQ(p.oport, 20000 + i);
        EXPECT_EQ(p.table, NAT_UDP);
    }
    // A known pair keeps its port.
    ASSERT_TRUE(nat_new(t, flow(1).ip, flow(1).port, &p));
    EXPECT_EQ(p.oport, 20001);
    EXPECT_EQ(nat_count(t), 3);

    ASSERT_TRUE(nat_find(t, flow(2).ip, flow(2).port, &p));
    EXPECT_EQ(p.oport, 20002);
    ASSERT_TRUE(nat_find_port(t, 20002, &q));
    EXPECT_EQ(memcmp(q.addr, flow(2).ip, 4), 0);
    EXPECT_EQ(q.iport, flow(2).port);
    EXPECT_FALSE(nat_find(t, flow(2).ip, flow(2).port + 1, &p));
    EXPECT_FALSE(nat_find(t, flow(3).ip, flow(3).port, &p));
    EXPECT_FALSE(nat_find_port(t, 20003, &p));

    // A lookup refreshes the entry and claims the announcement when due.
    set_uptime(1000 + param_value(P_NATSYNCIV));
    ASSERT_TRUE(nat_find_port(t, 20000, &p));
    EXPECT_EQ(p.last_used, 1000u + param_value(P_NATSYNCIV));
    EXPECT_EQ(p.last_sync, p.last_used);
}

TEST_F(NattableTest, PortSpaceWrapsAndStalePortsAreTaken)
{
    NATPAIR p;
    const int ports = 65536 - 20000;
    for (int i = 0; i < ports; i++) {
        if (i == 5)
            set_uptime(1500);   // the first five grow old first
        ASSERT_TRUE(nat_new(t, flow(i).ip, flow(i).port, &p));
        ASSERT_EQ(p.oport, 20000 + i);
    }
    EXPECT_FALSE(nat_new(t, flow(ports).ip, flow(ports).port, &p));
    EXPECT_EQ(nat_count(t), ports);
    // The cursor wrapped after 65535; the oldest ports are free once stale.
    set_uptime(1000 + param_value(P_NATTIMEOUT) + 1);
    ASSERT_TRUE(nat_new(t, flow(ports).ip, flow(ports).port, &p));
    EXPECT_EQ(p.oport, 20000);
    EXPECT_FALSE(nat_find(t, flow(0).ip, flow(0).port, &p));
    ASSERT_TRUE(nat_new(t, flow(ports + 1).ip, flow(ports + 1).port, &p));
    EXPECT_EQ(p.oport, 20001);
}

TEST_F(NattableTest, ExpiryAfterNattimeout)
{
    const unsigned timeout = (unsigned)param_value(P_NATTIMEOUT);
    NATPAIR p;
    ASSERT_TRUE(nat_new(t, flow(1).ip, 80, &p));
    set_uptime(1000 + timeout);
    EXPECT_TRUE(nat_find(t, flow(1).ip, 80, &p));   // refreshed at 1000 + timeout
    set_uptime(1000 + 2 * timeout + 1);
    int seen = 0;
    nat_walk(t, [](const NATPAIR &, void *arg) { return ++*(int *)arg, true; }, &seen);
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(nat_count(t), 1);
    nat_expire_step(t);
    EXPECT_EQ(nat_count(t), 0);
    EXPECT_FALSE(nat_find_port(t, 20000, &p));
}

TEST_F(NattableTest, UpdateTakesThePeersMapping)
{
    NATPAIR p;
    EXPECT_FALSE(nat_update(t, flow(1).ip, 80, 19999));
    ASSERT_TRUE(nat_update(t, flow(1).ip, 80, 30000));
    ASSERT_TRUE(nat_find_port(t, 30000, &p));
    EXPECT_EQ(memcmp(p.addr, flow(1).ip, 4), 0);
    // The pair moves to another port; another pair takes the old one.
    ASSERT_TRUE(nat_update(t, flow(1).ip, 80, 30001));
    ASSERT_TRUE(nat_update(t, flow(2).ip, 80, 30001));
    EXPECT_FALSE(nat_find(t, flow(1).ip, 80, &p));
    EXPECT_FALSE(nat_find_port(t, 30000, &p));
    ASSERT_TRUE(nat_find_port(t, 30001, &p));
    EXPECT_EQ(memcmp(p.addr, flow(2).ip, 4), 0);
    EXPECT_EQ(nat_count(t), 1);
    nat_clear(t);
    EXPECT_EQ(nat_count(t), 0);
    ASSERT_TRUE(nat_new(t, flow(3).ip, 80, &p));
    EXPECT_EQ(p.oport, 20000);
}

} // namespace
