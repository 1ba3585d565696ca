// MACHASH: hashing, filling far past the attack warning, clearing and
// reuse, walks, the move warnings, the sticky-target rule, and the
// per-thread answers of the learning step (never stale, no lock on a hit).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "config/config_state.h"
#include "config/parameters.h"
#include "packet/machash.h"
#include "support/support.h"

namespace {

struct MachashTest : ::testing::Test {
    MACHASH *t = nullptr;
    void SetUp() override
    {
        kvn_test_reset();
        t = mh_create();
        strcpy(cfg.interfaces[1].name, "eth1");
        strcpy(cfg.interfaces[2].name, "eth2");
        strcpy(cfg.interfaces[3].name, "eth3");
    }
    void TearDown() override { mh_free(t); }
};

void mac_of(uint8_t m[6], unsigned i)
{
    m[0] = 0x02;
    m[1] = 0x00;
    m[2] = (uint8_t)(i >> 24);
    m[3] = (uint8_t)(i >> 16);
    m[4] = (uint8_t)(i >> 8);
    m[5] = (uint8_t)i;
}

void count_walk(MHENTRY *, void *arg)
{
    ++*(int *)arg;
}

TEST_F(MachashTest, BucketAddsTheThreeWords)
{
    const uint8_t a[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    // The words are added, so swapping whole words collides; swapping
    // bytes inside a word does not.
    const uint8_t b[6] = {0x00, 0x11, 0x44, 0x55, 0x22, 0x33};
    const uint8_t c[6] = {0x00, 0x11, 0x22, 0x33, 0x55, 0x44};
    EXPECT_EQ(mh_bucket(a), (0x0011 + 0x2233 + 0x4455) % 1024);
    EXPECT_EQ(mh_bucket(a), mh_bucket(b));
    EXPECT_EQ(mh_bucket(c), (0x0011 + 0x2233 + 0x5544) % 1024);
    mh_insert(t, a, 1);
    mh_insert(t, b, 2);
    EXPECT_EQ(mh_interface_of(t, a), 1);
    EXPECT_EQ(mh_interface_of(t, b), 2);
    EXPECT_EQ(t->count, 2);
}

TEST_F(MachashTest, FillClearAndReuse)
{
    const int n = MH_TOOMANY + 2;
    uint8_t m[6];
    for (int i = 0; i < n; i++) {
        mac_of(m, i);
        mh_insert(t, m, (uint32_t)(1 + i % 3));
    }
    EXPECT_EQ(t->count, n);
    // Only the insert made with more than 10000 entries present warns.
    EXPECT_EQ(log_count("too many mac addresses (10001), potential attack"), 1);
    EXPECT_EQ(log_count("too many mac addresses"), 1);
    for (int i = 0; i < n; i += 97) {
        mac_of(m, i);
        EXPECT_EQ(mh_interface_of(t, m), 1 + i % 3);
    }
    int walked = 0;
    mh_walk(t, count_walk, &walked);
    EXPECT_EQ(walked, n);

    MHCHUNK *chunks = t->chunks;
    mh_clear(t);
    EXPECT_EQ(t->count, 0);
    mac_of(m, 5);
    EXPECT_EQ(mh_lookup(t, m), nullptr);
    for (int i = 0; i < n; i++) {
        mac_of(m, i + 1000000);
        mh_insert(t, m, 2);
    }
    EXPECT_EQ(t->count, n);
    EXPECT_EQ(t->chunks, chunks) << "cleared entries are reused, no new chunk";
    mac_of(m, 1000000 + n - 1);
    EXPECT_EQ(mh_interface_of(t, m), 2);
}

TEST_F(MachashTest, ReservedEntriesAreHiddenUntilSeen)
{
    const uint8_t m[6] = {0x06, 0x00, 192, 0, 2, 1};
    mh_insert(t, m, MH_NOIF);
    ASSERT_NE(mh_lookup(t, m), nullptr);
    EXPECT_EQ(mh_interface_of(t, m), -1);
    int walked = 0;
    mh_walk(t, count_walk, &walked);
    EXPECT_EQ(walked, 0);
    mh_lookup(t, m)->target_flag = 1;
    mh_insert(t, m, 2);
    EXPECT_EQ(mh_interface_of(t, m), 2);
    EXPECT_EQ(mh_lookup(t, m)->target_flag, 0);
    walked = 0;
    mh_walk(t, count_walk, &walked);
    EXPECT_EQ(walked, 1);
    EXPECT_EQ(log_count("first seen"), 0);
}

TEST_F(MachashTest, ZeroMacIsIgnored)
{
    const uint8_t z[6] = {};
    mh_insert(t, z, 1);
    EXPECT_EQ(t->count, 0);
}

TEST_F(MachashTest, MovesWarnFiveTimesThenFallSilent)
{
    const uint8_t m[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    mh_learn(t, m, 1);
    mh_learn(t, m, 1);  // same interface: nothing
    for (int i = 0; i < 9; i++)
        mh_learn(t, m, (uint32_t)(i % 2 == 0 ? 2 : 1));
    EXPECT_EQ(mh_interface_of(t, m), 2);
    EXPECT_EQ(log_count("address 00:11:22:33:44:55 first seen on interface eth1, now on interface eth2"), 3);
    EXPECT_EQ(log_count("address 00:11:22:33:44:55 first seen on interface eth2, now on interface eth1"), 2);
    EXPECT_EQ(log_count("now in interface"), 1);
    EXPECT_EQ(log_count("address 00:11:22:33:44:55 further warnings suppressed"), 1);
    EXPECT_EQ(mh_lookup(t, m)->warnings, 6);
}

TEST_F(MachashTest, TargetMacWarnedEveryMoveAndVrrpMacsMoveSilently)
{
    params[P_STICKYTARGET].current = 0;
    const uint8_t m[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x66};
    mh_insert(t, m, 1);
    mh_mark_target(t, m, 7);
    for (int i = 0; i < 8; i++)
        mh_insert(t, m, (uint32_t)(i % 2 == 0 ? 2 : 1));
    EXPECT_EQ(log_count("target 7 address 00:11:22:33:44:66 first seen"), 8);
    EXPECT_EQ(log_count("further warnings suppressed"), 0);

    const uint8_t vrrp[6] = {0x00, 0x00, 0x5e, 0x00, 0x01, 0x09};
    const uint8_t fe[6] = {0x00, 0x00, 0x00, 0x00, 0xfe, 0x01};
    for (const uint8_t *v : {vrrp, fe}) {
        mh_insert(t, v, 1);
        mh_insert(t, v, 3);
        EXPECT_EQ(mh_interface_of(t, v), 3);
    }
    EXPECT_EQ(log_count("00:00:5e"), 0);
    EXPECT_EQ(log_count("00:00:00:00:fe"), 0);
}

TEST_F(MachashTest, MarkTargetSticksAndHoldsTheInterface)
{
    const uint8_t m[6] = {0x00, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    mh_mark_target(t, m, 4);  // unknown MAC: nothing
    EXPECT_EQ(cfg.targets[4].sticky_interface, STICKY_NONE);
    mh_insert(t, m, 3);
    EXPECT_EQ(mh_target_of(t, m), -1);
    mh_mark_target(t, m, 4);
    EXPECT_EQ(mh_target_of(t, m), 4);
    EXPECT_EQ(cfg.targets[4].sticky_interface, 3);
    EXPECT_EQ(log_count("stickytarget active, target 4 now sticks to interface 3"), 1);

    // The frame claims interface 1, the MAC stays on 3 without a message.
    mh_insert(t, m, 1);
    EXPECT_EQ(mh_interface_of(t, m), 3);
    // Moved behind the table's back: the next frame puts it back.
    mh_set_interface(t, m, 2);
    mh_insert(t, m, 1);
    EXPECT_EQ(mh_interface_of(t, m), 3);
    EXPECT_EQ(log_count("stickytarget active, target 4 kept permanently on interface 3 instead of 2"), 1);
    EXPECT_EQ(log_count("first seen"), 0);
}

TEST_F(MachashTest, TargetWithoutStickyInterfaceDoesNotMove)
{
    const uint8_t m[6] = {0x00, 0xaa, 0xbb, 0xcc, 0xdd, 0x01};
    mh_insert(t, m, 2);
    mh_lookup(t, m)->target_flag = 1;
    mh_lookup(t, m)->target = 9;
    mh_insert(t, m, 1);
    EXPECT_EQ(mh_interface_of(t, m), 2);
    EXPECT_EQ(mh_target_of(t, m), 9);
}

// Every way the table changes under a MAC this thread has cached as known
// on interface 1: afterwards the learning step must not call it known
// there, and learning it again must put it back on interface 1.
TEST_F(MachashTest, CachedAnswerNeverOutlivesAChange)
{
    const uint8_t m[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x32};
    const struct {
        const char *what;
        void (*change)(MACHASH **t, const uint8_t mac[6]);
        int now;  // mh_interface_of right after the change
    } cases[] = {
        {"moved by a frame on another interface", [](MACHASH **t, const uint8_t mac[6]) { mh_insert(*t, mac, 2); }, 2},
        {"moved without a rule", [](MACHASH **t, const uint8_t mac[6]) { mh_set_interface(*t, mac, 3); }, 3},
        {"table cleared", [](MACHASH **t, const uint8_t *) { mh_clear(*t); }, -1},
        {"cleared and reserved", [](MACHASH **t, const uint8_t mac[6]) {
             mh_clear(*t);
             mh_insert(*t, mac, MH_NOIF);
         }, -1},
        {"table discarded and made anew", [](MACHASH **t, const uint8_t *) {
             mh_free(*t);
             *t = mh_create();
         }, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        mh_clear(t);
        EXPECT_FALSE(mh_learn(t, m, 1)) << "first sight inserts";
        EXPECT_TRUE(mh_learn(t, m, 1)) << "known, answer cached";
        EXPECT_TRUE(mh_learn(t, m, 1)) << "known from the cache";
        EXPECT_EQ(mh_interface_of(t, m), 1);
        c.change(&t, m);
        EXPECT_EQ(mh_interface_of(t, m), c.now);
        EXPECT_FALSE(mh_learn(t, m, 1)) << "the change must be seen";
        EXPECT_EQ(mh_interface_of(t, m), 1);
        EXPECT_TRUE(mh_learn(t, m, 1));
    }
}

// An unknown MAC is answered from the cache too; learning it must end that.
TEST_F(MachashTest, CachedUnknownAnswerEndsWithTheInsert)
{
    const uint8_t m[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x33};
    const uint8_t other[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x34};
    EXPECT_EQ(mh_interface_of(t, m), -1);
    EXPECT_EQ(mh_interface_of(t, m), -1);
    mh_insert(t, m, 3);
    EXPECT_EQ(mh_interface_of(t, m), 3);
    // Keys that differ in one byte have answers of their own.
    mh_insert(t, other, 2);
    EXPECT_EQ(mh_interface_of(t, m), 3);
    EXPECT_EQ(mh_interface_of(t, other), 2);
    // Another table's answer for the same MAC is not this table's.
    MACHASH *u = mh_create();
    EXPECT_EQ(mh_interface_of(u, m), -1);
    mh_insert(u, m, 1);
    EXPECT_EQ(mh_interface_of(u, m), 1);
    EXPECT_EQ(mh_interface_of(t, m), 3);
    mh_free(u);
}

struct HeldLearn {
    MACHASH *t;
    bool known = false;  // what the learning under the held lock said
};

const uint8_t held_mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x35};

// A known sender is recognised without the table's lock: with the lock
// held by a writer that leaves the generation as it is, the learning step
// of a sender this thread knows still completes.
TEST_F(MachashTest, KnownSenderIsLearnedWithoutTheLock)
{
    HeldLearn h;
    h.t = t;
    auto warm = [](void *arg) {
        auto *h = (HeldLearn *)arg;
        mh_learn(h->t, held_mac, 1);
        mh_learn(h->t, held_mac, 1);
    };
    auto learn = [](void *arg) {
        auto *h = (HeldLearn *)arg;
        h->known = mh_learn(h->t, held_mac, 1);
    };
    EXPECT_TRUE(runs_while_write_locked(t, warm, learn, &h)) << "the learning step waited for the writer lock";
    EXPECT_TRUE(h.known);
}

constexpr int MOVE_ROUNDS = 3000;

struct Moving {
    MACHASH *t;
    std::atomic<int> done{0};      // moves completed; after move r the MAC is on interface r + 1
    std::atomic<bool> stop{false};
    std::atomic<long> lookups{0};
    std::atomic<long> stale{0};    // answers naming an interface the MAC had left before the lookup began
};

const uint8_t moving_mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x36};

void *moving_reader(void *arg)
{
    auto *s = (Moving *)arg;
    for (long n = 0; !s->stop.load() && n < 50000000; n++) {
        int r = s->done.load(std::memory_order_acquire);
        int w = mh_interface_of(s->t, moving_mac);
        // Interfaces only grow, so 1..r are all left behind by now. -1 is
        // the moment between a clear and the insert after it.
        if (w >= 1 && w <= r)
            s->stale.fetch_add(1);
        s->lookups.fetch_add(1, std::memory_order_relaxed);
    }
    return nullptr;
}

// Readers asking for a MAC while a writer moves it on, by a frame, without
// a rule, and by clearing and inserting again: once a move is complete no
// reader names an interface the MAC has left.
TEST_F(MachashTest, ConcurrentReadersNeverSeeAMoveUndone)
{
    Moving s;
    s.t = t;
    mh_insert(t, moving_mac, 1);
    pthread_t readers[2];
    for (pthread_t &th : readers)
        ASSERT_EQ(pthread_create(&th, nullptr, moving_reader, &s), 0);
    // The moves must overlap the lookups: on a loaded machine the writer
    // could otherwise finish before any reader has run.
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         s.lookups.load() == 0 && std::chrono::steady_clock::now() < deadline;)
        sched_yield();
    for (int r = 1; r <= MOVE_ROUNDS; r++) {
        uint32_t to = (uint32_t)r + 1;
        switch (r % 3) {
        case 0:
            mh_clear(t);
            mh_insert(t, moving_mac, to);
            break;
        case 1:
            mh_insert(t, moving_mac, to);
            break;
        default:
            mh_set_interface(t, moving_mac, to);
            break;
        }
        s.done.store(r, std::memory_order_release);
        // Give the readers time to cache the new answer before the next move.
        if (r % 16 == 0)
            sched_yield();
    }
    s.stop = true;
    for (pthread_t &th : readers)
        pthread_join(th, nullptr);
    EXPECT_GT(s.lookups.load(), 0);
    EXPECT_EQ(s.stale.load(), 0);
    EXPECT_EQ(mh_interface_of(t, moving_mac), MOVE_ROUNDS + 1);
}

}  // namespace
