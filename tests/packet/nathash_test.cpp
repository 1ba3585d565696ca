// NATHASH: the bucket of known keys, insert/lookup/delete, the any-port
// key beside specific ports, the older of two entries of a key, and
// repeated lookups that take no lock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/addr.h"
#include "packet/nathash.h"
#include "support/frames.h"
#include "support/support.h"

namespace {

NHKEY key(const char *ip, uint8_t proto, uint16_t port)
{
    NHKEY k = {};
    memcpy(k.addr, ip16_bytes(ip).data(), 16);
    k.proto = proto;
    k.port = port;
    return k;
}

// The value a key looks up to, as text; "" when absent.
std::string lookup(NATHASH *t, const NHKEY &k)
{
    uint8_t v[16];
    char text[64];
    return nh_lookup(t, k, v, nullptr) ? format_ip16(text, sizeof text, v) : "";
}

void insert(NATHASH *t, const NHKEY &k, const char *value)
{
    nh_insert(t, k, ip16_bytes(value).data());
}

struct NathashTest : ::testing::Test {
    NATHASH *t = nullptr;
    void SetUp() override
    {
        kvn_test_reset();
        t = nh_create();
    }
    void TearDown() override { nh_free(t); }
};

TEST(Nathash, BucketOfKnownKeys)
{
    // Folded by hand: address bytes, protocol, port high byte, low byte.
    struct {
        const char *ip;
        uint8_t proto;
        uint16_t port;
        int bucket;
    } rows[] = {
        {"192.0.2.1", 6, 80, 23},
        {"198.51.100.7", 17, 0, 225},
        {"2001:db8::5", 6, 443, 207},
    };
    for (const auto &r : rows)
        EXPECT_EQ(nh_bucket(key(r.ip, r.proto, r.port)), r.bucket) << r.ip;
}

TEST_F(NathashTest, InsertLookupDelete)
{
    insert(t, key("192.0.2.1", 6, 0), "203.0.113.5");
    insert(t, key("2001:db8::1", 17, 53), "2001:db8::99");
    EXPECT_EQ(lookup(t, key("192.0.2.1", 6, 0)), "203.0.113.5");
    EXPECT_EQ(lookup(t, key("2001:db8::1", 17, 53)), "2001:db8::99");

    // The IPv4 form beside the 16 bytes: zero for an IPv6 value.
    uint8_t got[16], got4[4];
    struct {
        NHKEY k;
        uint8_t want4[4];
    } forms[] = {{key("192.0.2.1", 6, 0), {203, 0, 113, 5}}, {key("2001:db8::1", 17, 53), {0, 0, 0, 0}}};
    for (const auto &f : forms) {
        ASSERT_TRUE(nh_lookup(t, f.k, got, got4));
        EXPECT_EQ(memcmp(got4, f.want4, 4), 0);
    }

    // Every field of the key counts.
    EXPECT_EQ(lookup(t, key("192.0.2.1", 17, 0)), "");
    EXPECT_EQ(lookup(t, key("192.0.2.2", 6, 0)), "");
    EXPECT_EQ(lookup(t, key("2001:db8::1", 17, 54)), "");

    EXPECT_EQ(nh_delete(t, key("192.0.2.1", 6, 0)), 1);
    EXPECT_EQ(lookup(t, key("192.0.2.1", 6, 0)), "");
    EXPECT_EQ(nh_delete(t, key("192.0.2.1", 6, 0)), 0);
    EXPECT_EQ(t->count, 1);
}

TEST_F(NathashTest, AnyPortAndSpecificPortAreDistinctKeys)
{
    insert(t, key("192.0.2.7", 6, 0), "203.0.113.1");
    insert(t, key("192.0.2.7", 6, 80), "203.0.113.2");
    EXPECT_EQ(lookup(t, key("192.0.2.7", 6, 80)), "203.0.113.2");
    EXPECT_EQ(lookup(t, key("192.0.2.7", 6, 0)), "203.0.113.1");
    EXPECT_EQ(lookup(t, key("192.0.2.7", 6, 443)), "");
    nh_delete(t, key("192.0.2.7", 6, 80));
    EXPECT_EQ(lookup(t, key("192.0.2.7", 6, 80)), "");
    EXPECT_EQ(lookup(t, key("192.0.2.7", 6, 0)), "203.0.113.1");
}

TEST_F(NathashTest, OlderEntryOfAKeyAnswersAndDeleteRemovesAll)
{
    const NHKEY k = key("192.0.2.9", 17, 5060);
    insert(t, k, "198.51.100.1");
    insert(t, k, "198.51.100.2");
    EXPECT_EQ(lookup(t, k), "198.51.100.1");
    int walked = 0;
    nh_walk(t, [](const NHENTRY *, void *arg) { ++*(int *)arg; }, &walked);
    EXPECT_EQ(walked, 2);
    EXPECT_EQ(nh_delete(t, k), 2);
    EXPECT_EQ(lookup(t, k), "");
    insert(t, k, "198.51.100.3");
    nh_clear(t);
    EXPECT_EQ(t->count, 0);
    EXPECT_EQ(lookup(t, k), "");
}

struct HeldLookup {
    NATHASH *t;
    NHKEY hit, miss;
    bool right = false;   // what the lookups under the held lock answered was right
};

// The tnat module looks the same keys up for every frame of a flow; with
// the lock held by a writer that leaves the generation as it is, repeated
// lookups (a hit and a miss) still complete, with the right answers.
TEST_F(NathashTest, RepeatedLookupsTakeNoLock)
{
    HeldLookup h;
    h.t = t;
    h.hit = key("192.0.2.7", 6, 0);
    h.miss = key("192.0.2.8", 6, 0);
    insert(t, h.hit, "203.0.113.1");
    auto warm = [](void *arg) {
        auto *h = (HeldLookup *)arg;
        lookup(h->t, h->hit);
        lookup(h->t, h->miss);
    };
    auto again = [](void *arg) {
        auto *h = (HeldLookup *)arg;
        h->right = lookup(h->t, h->hit) == "203.0.113.1" && lookup(h->t, h->miss).empty();
    };
    EXPECT_TRUE(runs_while_write_locked(t, warm, again, &h)) << "a lookup waited for the writer lock";
    EXPECT_TRUE(h.right);
}

} // namespace
