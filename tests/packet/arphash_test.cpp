// ARPHASH: hashing, IPv4-mapped keys, filling, delete and reinsert, the via
// lookup and the MAC learning rules of ah_insert.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "command/log.h"
#include "config/addr.h"
#include "config/parameters.h"
#include "packet/arphash.h"
#include "packet/filter_lists.h"
#include "support/support.h"

namespace {

struct ArphashTest : ::testing::Test {
    ARPHASH *t = nullptr;
    void SetUp() override
    {
        kvn_test_reset();
        fl_clear(FL_MACROUTER);
        t = ah_create();
    }
    void TearDown() override
    {
        ah_free(t);
        fl_clear(FL_MACROUTER);
    }
};

void key_of(uint8_t k[16], unsigned i)
{
    memset(k, 0, 16);
    k[0] = 0x20;
    k[1] = 0x01;
    k[2] = 0x0d;
    k[3] = 0xb8;
    k[12] = (uint8_t)(i >> 24);
    k[13] = (uint8_t)(i >> 16);
    k[14] = (uint8_t)(i >> 8);
    k[15] = (uint8_t)i;
}

void count_walk(AHENTRY *, void *arg)
{
    ++*(int *)arg;
}

TEST_F(ArphashTest, BucketAndMappedKeys)
{
    uint8_t k[16];
    ASSERT_TRUE(parse_ipv6("::ffff:192.0.2.1", k));
    uint32_t h = k[0];
    for (int i = 1; i < 16; i++)
        h = h * 31u + k[i];
    EXPECT_EQ(ah_bucket(k), (int)(h % 4999));

    const uint8_t ip4[4] = {192, 0, 2, 1};
    const uint8_t mac[6] = {0, 1, 2, 3, 4, 5};
    AHENTRY *e = ah_insert4(t, ip4, mac);
    EXPECT_EQ(e->family, 4);
    EXPECT_EQ(e->psv, 1);
    EXPECT_EQ(e->target, -1);
    EXPECT_EQ(ah_find(t, k), e);
    EXPECT_EQ(ah_lookup(t, k), e);
    EXPECT_EQ(ah_insert(t, k, mac), e);
    EXPECT_EQ(t->count, 1);

    uint8_t k6[16];
    ASSERT_TRUE(parse_ipv6("2001:db8::1", k6));
    EXPECT_EQ(ah_insert(t, k6, mac)->family, 6);
}

TEST_F(ArphashTest, FillDeleteAndReinsert)
{
    const int n = 3 * AH_BUCKETS + 17;  // several entries per bucket
    const uint8_t mac[6] = {0, 1, 2, 3, 4, 5};
    uint8_t k[16];
    for (int i = 0; i < n; i++) {
        key_of(k, i);
        ah_insert(t, k, mac);
    }
    EXPECT_EQ(t->count, n);
    int walked = 0;
    ah_walk(t, count_walk, &walked);
    EXPECT_EQ(walked, n);

    for (int i = 0; i < n; i += 2) {
        key_of(k, i);
        ah_delete(t, k);
    }
    EXPECT_EQ(t->count, n / 2);
    for (int i = 0; i < n; i++) {
        key_of(k, i);
        EXPECT_EQ(ah_find(t, k) != nullptr, i % 2 == 1) << i;
    }
    // Deleting a missing key changes nothing.
    key_of(k, 0);
    ah_delete(t, k);
    EXPECT_EQ(t->count, n / 2);

    AHCHUNK *chunks = t->chunks;
    for (int i = 0; i < n; i += 2) {
        key_of(k, i);
        AHENTRY *e = ah_insert(t, k, mac);
        EXPECT_EQ(e->vip, 0);
        EXPECT_EQ(e->psv, 1);
    }
    EXPECT_EQ(t->count, n);
    EXPECT_EQ(t->chunks, chunks) << "deleted entries are reused";

    ah_clear(t);
    EXPECT_EQ(t->count, 0);
    ah_delete(t, k);
    EXPECT_EQ(t->count, 0);
}

TEST_F(ArphashTest, LookupFollowsVia)
{
    const uint8_t target[4] = {198, 51, 100, 7};
    const uint8_t router[4] = {192, 0, 2, 254};
    const uint8_t tmac[6] = {0, 0, 0, 0, 0, 7};
    const uint8_t rmac[6] = {0, 0, 0, 0, 0, 0xfe};
    AHENTRY *te = ah_insert4(t, target, tmac);
    // A via address is set under the writer lock, as every change a
    // lookup depends on.
    ah_wrlock(t);
    memcpy(te->via, router, 4);
    ah_unlock(t);
    EXPECT_EQ(ah_lookup4(t, target), nullptr) << "via address unknown";
    AHENTRY *re = ah_insert4(t, router, rmac);
    EXPECT_EQ(ah_lookup4(t, target), re);
    uint8_t k[16];
    ipv4_mapped(k, target);
    EXPECT_EQ(ah_find(t, k), te);
    // A via loop is followed one step only.
    ah_wrlock(t);
    memcpy(re->via, target, 4);
    ah_unlock(t);
    EXPECT_EQ(ah_lookup4(t, target), re);
}

// Lookups this thread has made are answered again without the lock until
// the table changes; every change that alters an answer must be seen by
// the next lookup.
TEST_F(ArphashTest, CachedAnswersNeverOutliveAChange)
{
    static const uint8_t vip[4] = {192, 0, 2, 10};
    static const uint8_t router[4] = {192, 0, 2, 254};
    static const uint8_t mac[6] = {0x06, 0, 0xc0, 0, 2, 0x0a};
    const struct {
        const char *what;
        // Changes the table after vip (and router) were looked up; returns
        // the entries ah_find and ah_lookup of vip must now give.
        void (*change)(ARPHASH *t, AHENTRY **find, AHENTRY **lookup);
    } cases[] = {
        {"deleted", [](ARPHASH *t, AHENTRY **f, AHENTRY **l) {
             ah_delete4(t, vip);
             *f = *l = nullptr;
         }},
        {"table cleared", [](ARPHASH *t, AHENTRY **f, AHENTRY **l) {
             ah_clear(t);
             *f = *l = nullptr;
         }},
        {"deleted and inserted again", [](ARPHASH *t, AHENTRY **f, AHENTRY **l) {
             ah_delete4(t, vip);
             ah_insert4(t, router, mac);  // takes the freed entry
             *f = *l = ah_insert4(t, vip, mac);
         }},
        {"routed via another address", [](ARPHASH *t, AHENTRY **f, AHENTRY **l) {
             uint8_t k[16];
             ipv4_mapped(k, vip);
             *f = ah_find(t, k);
             ah_wrlock(t);
             memcpy((*f)->via, router, 4);
             ah_unlock(t);
             *l = ah_insert4(t, router, mac);
         }},
    };
    uint8_t k[16];
    ipv4_mapped(k, vip);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ah_clear(t);
        // Unknown first: the negative answer is cached, then must end.
        EXPECT_EQ(ah_find(t, k), nullptr);
        EXPECT_EQ(ah_lookup(t, k), nullptr);
        AHENTRY *e = ah_insert4(t, vip, mac);
        EXPECT_EQ(ah_find(t, k), e);
        EXPECT_EQ(ah_lookup(t, k), e);
        EXPECT_EQ(ah_find(t, k), e);
        EXPECT_EQ(ah_lookup(t, k), e);
        AHENTRY *want_find = nullptr, *want_lookup = nullptr;
        c.change(t, &want_find, &want_lookup);
        EXPECT_EQ(ah_find(t, k), want_find);
        EXPECT_EQ(ah_lookup(t, k), want_lookup);
    }
}

// ah_resolve hands out copies: an answer that sets a new MAC, a change of
// the entry's flags and the via address all show in the next copy, and a
// copy taken before stays as it was.
TEST_F(ArphashTest, ResolvedCopiesFollowEveryChange)
{
    const uint8_t host[4] = {198, 51, 100, 7};
    const uint8_t router[4] = {198, 51, 100, 254};
    const uint8_t hmac[6] = {2, 0, 0, 0, 0, 7};
    const uint8_t rmac[6] = {2, 0, 0, 0, 0, 0xfe};
    const uint8_t zero[6] = {};
    uint8_t k[16];
    ipv4_mapped(k, host);
    AHHOP hop;
    EXPECT_FALSE(ah_resolve(t, k, &hop)) << "unknown address";
    AHENTRY *e = ah_insert4(t, host, zero);
    ASSERT_TRUE(ah_resolve(t, k, &hop));
    EXPECT_EQ(memcmp(hop.mac, zero, 6), 0) << "unresolved";
    AHHOP before = hop;
    ah_insert4(t, host, hmac);  // the answer
    ASSERT_TRUE(ah_resolve(t, k, &hop));
    EXPECT_EQ(memcmp(hop.mac, hmac, 6), 0);
    EXPECT_EQ(memcmp(before.mac, zero, 6), 0) << "an earlier copy is not changed under its holder";
    ah_wrlock(t);
    e->vip = 1;
    e->network = 10;
    ah_unlock(t);
    ASSERT_TRUE(ah_resolve(t, k, &hop));
    EXPECT_TRUE(hop.vip);
    EXPECT_EQ(hop.network, 10);
    EXPECT_EQ(memcmp(hop.mac, hmac, 6), 0);
    ah_insert4(t, router, rmac);
    ah_wrlock(t);
    memcpy(e->via, router, 4);
    ah_unlock(t);
    ASSERT_TRUE(ah_resolve(t, k, &hop));
    EXPECT_EQ(memcmp(hop.mac, rmac, 6), 0) << "via followed";
    EXPECT_FALSE(hop.vip);
    ah_delete4(t, router);
    EXPECT_FALSE(ah_resolve(t, k, &hop)) << "via address gone";
}

struct HeldLookup {
    ARPHASH *t;
    uint8_t key[16];
    const AHENTRY *found = nullptr;  // what the lookup under the held lock gave
};

// The arp and ping modules look the same own address up for every frame
// asking for it; with the lock held by a writer that leaves the generation
// as it is, the repeated lookups still complete.
TEST_F(ArphashTest, RepeatedLookupsTakeNoLock)
{
    const uint8_t vip[4] = {192, 0, 2, 10};
    const uint8_t mac[6] = {0x06, 0, 0xc0, 0, 2, 0x0a};
    HeldLookup h;
    h.t = t;
    ipv4_mapped(h.key, vip);
    AHENTRY *e = ah_insert4(t, vip, mac);
    auto warm = [](void *arg) {
        auto *h = (HeldLookup *)arg;
        ah_find(h->t, h->key);
        ah_lookup(h->t, h->key);
    };
    auto both = [](void *arg) {
        auto *h = (HeldLookup *)arg;
        if (ah_find(h->t, h->key) == ah_lookup(h->t, h->key))
            h->found = ah_find(h->t, h->key);
    };
    EXPECT_TRUE(runs_while_write_locked(t, warm, both, &h)) << "a lookup waited for the writer lock";
    EXPECT_EQ(h.found, e);
}

struct InsertCase {
    const char *name;
    uint8_t have[6];
    int vip;
    bool router;
    int relearn;
    uint8_t given[6];
    uint8_t expect[6];
    const char *log;
};

TEST_F(ArphashTest, InsertLearningRules)
{
    const InsertCase cases[] = {
        {"same MAC", {0, 0, 0, 0, 0, 1}, 0, false, 0, {0, 0, 0, 0, 0, 1}, {0, 0, 0, 0, 0, 1}, nullptr},
        {"unresolved learns", {}, 0, false, 0, {0, 0, 0, 0, 0, 2}, {0, 0, 0, 0, 0, 2}, nullptr},
        {"zero keeps resolved", {0, 0, 0, 0, 0, 1}, 0, false, 1, {}, {0, 0, 0, 0, 0, 1}, nullptr},
        {"vip conflict", {6, 0, 192, 0, 2, 1}, 1, false, 1, {0, 0, 0, 0, 0, 3}, {6, 0, 192, 0, 2, 1},
         "IP address conflict: 00.00.00.00.00.03 claims to be VIP ::ffff:192.0.2.1"},
        {"router MAC", {0, 0, 0, 0, 0, 1}, 0, true, 1, {0, 0, 0, 0, 0, 4}, {0, 0, 0, 0, 0, 1}, nullptr},
        {"psvrelearn 0", {0, 0, 0, 0, 0, 1}, 0, false, 0, {0, 0, 0, 0, 0, 5}, {0, 0, 0, 0, 0, 1}, nullptr},
        {"psvrelearn 1", {0, 0, 0, 0, 0, 1}, 0, false, 1, {0, 0, 0, 0, 0, 6}, {0, 0, 0, 0, 0, 6},
         "IP address ::ffff:192.0.2.1 changed MAC address from 00.00.00.00.00.01 to 00.00.00.00.00.06"},
    };
    const uint8_t ip4[4] = {192, 0, 2, 1};
    for (const InsertCase &c : cases) {
        SCOPED_TRACE(c.name);
        log_reset();
        ah_clear(t);
        fl_clear(FL_MACROUTER);
        AHENTRY *e = ah_insert4(t, ip4, c.have);
        e->vip = c.vip;
        if (c.router)
            fl_insert_mac(FL_MACROUTER, c.given);
        params[P_PSVRELEARN].current = c.relearn;
        EXPECT_EQ(ah_insert4(t, ip4, c.given), e);
        EXPECT_EQ(memcmp(e->mac, c.expect, 6), 0);
        std::string log = run_line("show log");
        if (c.log != nullptr)
            EXPECT_NE(log.find(c.log), std::string::npos) << log;
        else
            EXPECT_EQ(log.find(" 6 "), std::string::npos) << log;
    }
}

TEST_F(ArphashTest, MacChangeMessagesAreBounded)
{
    params[P_PSVRELEARN].current = 1;
    const uint8_t ip4[4] = {192, 0, 2, 9};
    uint8_t mac[6] = {0, 0, 0, 0, 0, 1};
    AHENTRY *e = ah_insert4(t, ip4, mac);
    for (int i = 2; i <= 10; i++) {
        mac[5] = (uint8_t)i;
        ah_insert4(t, ip4, mac);
    }
    EXPECT_EQ(memcmp(e->mac, mac, 6), 0) << "every change is stored";
    EXPECT_EQ(log_count("changed MAC address"), 6);
    EXPECT_EQ(log_count("IP address ::ffff:192.0.2.9 further warnings suppressed"), 1);
    EXPECT_EQ(e->macchanges, 6);
}

}  // namespace
