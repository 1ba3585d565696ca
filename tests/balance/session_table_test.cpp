// SESSIONTABLE: expiry at the timeout and one second after it with the test
// clock, refresh moving counts between targets, the null timeout, the
// announcement limit per second and the re-announcement interval, the
// synchronisation list moves, garbage collection unlinking from every list,
// the once-a-second scan's steps, long ids found again, numbers outside the
// object tables, the reload sweep, and lookups and refreshes from two
// threads while the main thread scans.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "balance/session_table.h"
#include "command/process.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "ha/sync.h"
#include "support/support.h"

namespace {

struct ANNOUNCED {
    std::string id;
    int server, target;
    uint32_t timeout;
};
std::vector<ANNOUNCED> announced;

void record_announcement(const char *id, int server, int target, uint32_t timeout)
{
    announced.push_back({id, server, target, timeout});
}

// Walks every chain and list of the table under its lock and checks the
// invariants: each live session in its bucket's chain and on the
// all-sessions list, on at most one synchronisation list, each count the
// length of its list. Returns the number of sessions on the all-sessions
// list.
int check_invariants(SESSIONTABLE *t)
{
    st_rdlock(t);
    int all = 0;
    for (AGELINK *l = t->all.head; l != nullptr; l = l->next) {
        const SESSION *s = (const SESSION *)((const char *)l - offsetof(SESSION, all));
        all++;
        EXPECT_EQ(s->bucket, st_bucket(s->id, strlen(s->id)));
        bool chained = false;
        for (const SESSION *c = (const SESSION *)t->bucket[s->bucket]; c != nullptr; c = c->chain_next)
            chained = chained || c == s;
        EXPECT_TRUE(chained) << s->id;
    }
    EXPECT_EQ(all, t->count);
    for (int list = ST_LIST_NEW; list < ST_LISTS; list++) {
        int n = 0;
        for (SESSION *s = st_first(t, (STLIST)list); s != nullptr; s = st_next(s)) {
            EXPECT_EQ(s->list, list);
            n++;
        }
        EXPECT_EQ(n, t->list_count[list]) << "list " << list;
    }
    st_unlock(t);
    return all;
}

SESSION *refresh(const char *id, int server, int target, uint32_t timeout = 0)
{
    return st_refresh_locked(session_table, id, server, target, timeout);
}

bool found(const char *id, int server)
{
    return st_lookup_locked(session_table, id, server) != nullptr;
}

// Steps the garbage collection until a whole sweep reclaims nothing.
void sweep_all()
{
    for (int idle = 0; idle < session_table->count + 2;)
        idle = st_gc_step_locked(session_table) ? 0 : idle + 1;
}

struct SessionTable : ::testing::Test {
    SESSIONTABLE *t = nullptr;
    void SetUp() override
    {
        kvn_test_reset();
        set_uptime(1000);
        t = session_table;
        announced.clear();
        st_announce = record_announcement;
    }
    void TearDown() override { st_announce = sync_announce_session; }
};

}  // namespace

TEST_F(SessionTable, StartsEmptyWithoutChunk)
{
    STCOUNTS c;
    st_counts(t, &c);
    EXPECT_EQ(c.total, 0);
    EXPECT_EQ(c.chunks, 0);
    EXPECT_EQ(st_gc_step_locked(t), 0);
    EXPECT_EQ(st_bucket("", 0), 5381u);
    // h = 5381 * 33 + 'a'
    EXPECT_EQ(st_bucket("a", 1), (5381u * 33u + 'a') & 0xFFFFFFu);
    // Bytes above 127 count as negative.
    EXPECT_EQ(st_bucket("\xff", 1), (5381u * 33u - 1u) & 0xFFFFFFu);
}

// The bucket is h = h * 33 + c byte by byte, for every length and any
// bytes (those above 127 count as negative).
// Every length, with bytes of any value, with text only (which the hash
// takes eight bytes at a time), with text of the largest byte 0x7f, and
// with text holding one byte of 0x80 or more somewhere.
TEST(SessionHash, EqualsTheByteByByteForm)
{
    enum { ANY, TEXT, TOP, TEXT_AND_ONE_HIGH };
    uint32_t seed = 12345;
    char id[80];
    for (int kind : {ANY, TEXT, TOP, TEXT_AND_ONE_HIGH}) {
        for (size_t len = 0; len < sizeof id; len++) {
            for (size_t i = 0; i < len; i++) {
                seed = seed * 1103515245u + 12345u;
                uint8_t b = (uint8_t)(seed >> 16);
                id[i] = (char)(kind == ANY ? b : kind == TOP ? 0x7f : 0x20 + b % 0x5f);
            }
            if (kind == TEXT_AND_ONE_HIGH && len > 0)
                id[(seed >> 8) % len] = (char)(0x80 | (seed & 0x7f));
            uint32_t h = 5381;
            for (size_t i = 0; i < len; i++)
                h = h * 33u + (uint32_t)(int32_t)(signed char)id[i];
            EXPECT_EQ(st_bucket(id, len), h & 0xFFFFFFu) << "kind " << kind << ", length " << len;
        }
    }
}

TEST_F(SessionTable, ExpiresOneSecondAfterItsTimeout)
{
    struct Case {
        uint32_t timeout;
        int32_t parameter;   // sessiontimeout
        uint32_t after;      // seconds after creation
        bool found;
    } cases[] = {
        {600, 600, 600, true},
        {600, 600, 601, false},
        {0, 900, 900, true},
        {0, 900, 901, false},
        {30, 600, 31, false},
    };
    for (const Case &c : cases) {
        kvn_test_reset();
        params[P_SESSIONTIMEOUT].current = c.parameter;
        set_uptime(1000);
        st_update(t, "192.0.2.7:40000", 1, 2, c.timeout);
        set_uptime(1000 + c.after);
        EXPECT_EQ(found("192.0.2.7:40000", 1), c.found) << c.timeout << " after " << c.after;
    }
}

TEST_F(SessionTable, FirstSecondSessionsLive)
{
    set_uptime(0);
    st_update(t, "a", 1, 1, 0);
    EXPECT_TRUE(found("a", 1));
}

TEST_F(SessionTable, LookupMatchesIdAndServerOrTarget)
{
    st_update(t, "a", 1, 7, 0);
    EXPECT_TRUE(found("a", 1));
    EXPECT_FALSE(found("a", 2));
    EXPECT_FALSE(found("ab", 1));
    EXPECT_FALSE(found("", 1));
    EXPECT_NE(st_lookup_target_locked(t, "a", 7), nullptr);
    EXPECT_EQ(st_lookup_target_locked(t, "a", 1), nullptr);
    EXPECT_NE(st_lookup_id(t, "a"), nullptr);
    const uint8_t addr[4] = {192, 0, 2, 7}, port[2] = {0x9c, 0x40};
    st_update4(t, addr, port, 3, 4, 0);
    EXPECT_NE(st_lookup(t, "192.0.2.7:40000", 3), nullptr);
    EXPECT_NE(st_lookup4(t, addr, port, 3), nullptr);
    EXPECT_NE(st_lookup_target4(t, addr, port, 4), nullptr);
    EXPECT_EQ(check_invariants(t), 2);
}

TEST_F(SessionTable, UpdateMovesTargetCount)
{
    st_update(t, "a", 1, 3, 0);
    EXPECT_EQ(cfg.targets[3].cur_sessions, 1);
    EXPECT_EQ(cfg.servers[1].cur_sessions, 1);
    st_update(t, "a", 1, 5, 120);
    EXPECT_EQ(cfg.targets[3].cur_sessions, 0);
    EXPECT_EQ(cfg.targets[5].cur_sessions, 1);
    EXPECT_EQ(cfg.servers[1].cur_sessions, 1);
    SESSION *s = st_lookup_locked(t, "a", 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->timeout, 120u);
    STCOUNTS c;
    st_counts(t, &c);
    EXPECT_EQ(c.total, 1);
    EXPECT_EQ(c.created, 0u);  // only the packet path counts creations
    EXPECT_EQ(c.fresh, 1);
}

TEST_F(SessionTable, RefreshMovesCountsBetweenTargets)
{
    // A new session: nothing counted until the packet path has placed it.
    ASSERT_NE(refresh("a", 1, 3), nullptr);
    EXPECT_EQ(cfg.targets[3].cur_sessions, 0);
    st_count(1, 3, 1);
    EXPECT_EQ(cfg.targets[3].cur_sessions, 1);
    EXPECT_EQ(cfg.servers[1].cur_sessions, 1);
    EXPECT_EQ(cfg.servers[1].sessions_created, 1u);

    set_uptime(1005);
    SESSION *s = refresh("a", 1, 5);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->target, 5);
    EXPECT_EQ(s->last_used, 1005u);
    EXPECT_EQ(cfg.targets[3].cur_sessions, 0);
    EXPECT_EQ(cfg.servers[1].cur_sessions, 0);
    st_count(1, 5, 1);
    EXPECT_EQ(cfg.targets[5].cur_sessions, 1);
    EXPECT_EQ(cfg.servers[1].cur_sessions, 1);
    EXPECT_EQ(cfg.servers[1].sessions_created, 1u);
    STCOUNTS c;
    st_counts(t, &c);
    EXPECT_EQ(c.total, 1);
    EXPECT_EQ(c.created, 1u);
}

TEST_F(SessionTable, CountsNeverBelowZero)
{
    refresh("a", 1, 3);
    refresh("a", 1, 3);  // lowers counts that were never raised
    EXPECT_EQ(cfg.targets[3].cur_sessions, 0);
    EXPECT_EQ(cfg.servers[1].cur_sessions, 0);
}

TEST_F(SessionTable, NullTimeoutCreatesNothing)
{
    EXPECT_EQ(refresh("a", 1, 3, ST_TIMEOUT_NULL), nullptr);
    EXPECT_FALSE(found("a", 1));
    EXPECT_TRUE(announced.empty());
    STCOUNTS c;
    st_counts(t, &c);
    EXPECT_EQ(c.total, 0);
}

TEST_F(SessionTable, ShortenTakesFtimeoutWithoutCounts)
{
    st_update(t, "a", 1, 3, 600);
    st_wrlock(t);
    SESSION *s = st_lookup(t, "a", 1);
    ASSERT_NE(s, nullptr);
    st_shorten(t, s);  // no ftimeout: unchanged
    EXPECT_EQ(s->timeout, 600u);
    s->ftimeout = 10;
    st_shorten(t, s);
    EXPECT_EQ(s->timeout, 10u);
    st_unlock(t);
    EXPECT_EQ(cfg.targets[3].cur_sessions, 1);
    EXPECT_EQ(cfg.servers[1].cur_sessions, 1);
    set_uptime(1011);
    EXPECT_FALSE(found("a", 1));
}

TEST_F(SessionTable, AnnouncementsLimitedPerSecond)
{
    params[P_MAXSYNCPS].current = 2;
    for (const char *id : {"a", "b", "c", "d"})
        refresh(id, 1, 3, 60);
    ASSERT_EQ(announced.size(), 2u);
    EXPECT_EQ(announced[0].id, "a");
    EXPECT_EQ(announced[1].id, "b");
    EXPECT_EQ(announced[1].server, 1);
    EXPECT_EQ(announced[1].target, 3);
    EXPECT_EQ(announced[1].timeout, 60u);
    // Refreshes count against the same limit.
    set_uptime(1001);
    refresh("a", 1, 4);
    refresh("e", 1, 4);
    refresh("f", 1, 4);
    ASSERT_EQ(announced.size(), 4u);
    EXPECT_EQ(announced[2].id, "a");
    EXPECT_EQ(announced[2].target, 4);
    EXPECT_EQ(announced[3].id, "e");
    // 0: no limit.
    params[P_MAXSYNCPS].current = 0;
    refresh("g", 1, 4);
    refresh("h", 1, 4);
    refresh("i", 1, 4);
    EXPECT_EQ(announced.size(), 7u);
}

TEST_F(SessionTable, LookupAnnouncesAgainAfterSyncInterval)
{
    st_update(t, "a", 1, 3, 0);
    set_uptime(1009);
    EXPECT_TRUE(found("a", 1));
    EXPECT_TRUE(announced.empty());
    set_uptime(1010);
    EXPECT_TRUE(found("a", 1));
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].id, "a");
    EXPECT_TRUE(found("a", 1));
    EXPECT_EQ(announced.size(), 1u);
    // By id alone: used, never announced.
    set_uptime(1030);
    EXPECT_NE(st_lookup_id(t, "a"), nullptr);
    EXPECT_EQ(announced.size(), 1u);
}

TEST_F(SessionTable, ListMoves)
{
    st_update(t, "a", 1, 1, 0);
    st_update(t, "b", 1, 1, 0);
    SESSION *a = st_lookup_locked(t, "a", 1);
    SESSION *b = st_lookup_locked(t, "b", 1);
    EXPECT_EQ(st_is_new(t, a), 1);
    st_set_waitack(t, a);
    st_set_waitack(t, a);  // already there: no second entry
    EXPECT_EQ(st_is_waitack(t, a), 1);
    EXPECT_EQ(st_is_new(t, a), 0);
    st_set_acked(t, b);
    EXPECT_EQ(st_is_acked(t, b), 1);
    STCOUNTS c;
    st_counts(t, &c);
    EXPECT_EQ(c.fresh, 0);
    EXPECT_EQ(c.waitack, 1);
    EXPECT_EQ(c.acked, 1);
    EXPECT_EQ(check_invariants(t), 2);

    // A refresh puts either back on NEW.
    refresh("a", 1, 1);
    refresh("b", 1, 1);
    st_counts(t, &c);
    EXPECT_EQ(c.fresh, 2);
    EXPECT_EQ(c.waitack + c.acked, 0);
    EXPECT_EQ(st_first(t, ST_LIST_NEW), b);  // pushed last
    EXPECT_EQ(check_invariants(t), 2);
}

TEST_F(SessionTable, GarbageCollectionUnlinksFromEveryList)
{
    for (const char *id : {"a", "b", "c", "d"})
        st_update(t, id, 2, 7, 0);
    st_set_waitack(t, st_lookup_locked(t, "b", 2));
    st_set_acked(t, st_lookup_locked(t, "c", 2));
    EXPECT_EQ(cfg.targets[7].cur_sessions, 4);
    // A live one among the expired stays.
    set_uptime(1300);
    EXPECT_TRUE(found("d", 2));
    set_uptime(1601);
    sweep_all();
    STCOUNTS c;
    st_counts(t, &c);
    EXPECT_EQ(c.total, 1);
    EXPECT_EQ(c.fresh, 1);
    EXPECT_EQ(c.waitack, 0);
    EXPECT_EQ(c.acked, 0);
    EXPECT_EQ(st_first(t, ST_LIST_WAITACK), nullptr);
    EXPECT_EQ(st_first(t, ST_LIST_ACKED), nullptr);
    EXPECT_EQ(cfg.targets[7].cur_sessions, 1);
    EXPECT_EQ(cfg.servers[2].cur_sessions, 1);
    EXPECT_EQ(check_invariants(t), 1);
    // The entries are reused before a new chunk.
    for (const char *id : {"e", "f", "g"})
        st_update(t, id, 2, 7, 0);
    st_counts(t, &c);
    EXPECT_EQ(c.chunks, 1);
    EXPECT_EQ(check_invariants(t), 4);
}

TEST_F(SessionTable, MarkedSessionGoneAtOnceReclaimedLater)
{
    st_update(t, "a", 1, 1, 0);
    st_update(t, "b", 1, 1, 0);
    EXPECT_EQ(st_mark_id(t, "a"), 1);
    EXPECT_EQ(st_mark_id(t, "zz"), 0);
    EXPECT_FALSE(found("a", 1));
    STCOUNTS c;
    st_counts(t, &c);
    EXPECT_EQ(c.total, 2);
    sweep_all();
    st_counts(t, &c);
    EXPECT_EQ(c.total, 1);
    EXPECT_TRUE(found("b", 1));
}

TEST_F(SessionTable, ScanStepsAndRunOfExpired)
{
    params[P_SESSIONSCAN].current = 1;   // no plain steps
    params[P_SESSIONGCLIMIT].current = 1000;
    for (int i = 0; i < 5; i++)
        st_update(t, ("old" + std::to_string(i)).c_str(), 1, 1, 10);
    st_update(t, "live", 1, 1, 0);   // newest: at the head, where the sweep starts
    // The creations' own steps have moved the cursor; start the sweep over.
    t->all.cursor = nullptr;
    set_uptime(1100);
    st_scan(t);                       // cursor empty: the first step only places it
    STCOUNTS c;
    st_counts(t, &c);
    EXPECT_EQ(c.total, 6);
    st_scan(t);                       // the live head stops the run at once
    st_counts(t, &c);
    EXPECT_EQ(c.total, 6);
    st_scan(t);                       // now the run of five expired ones
    st_counts(t, &c);
    EXPECT_EQ(c.total, 1);

    // sessionscan - 1 steps move the cursor over live sessions first.
    kvn_test_reset();
    params[P_SESSIONSCAN].current = 3;
    params[P_SESSIONGCLIMIT].current = 1000;
    set_uptime(1000);
    for (int i = 0; i < 3; i++)
        st_update(t, ("old" + std::to_string(i)).c_str(), 1, 1, 10);
    st_update(t, "live", 1, 1, 0);
    t->all.cursor = nullptr;
    set_uptime(1100);
    st_scan(t);   // place, step over "live", then reclaim all three
    st_counts(t, &c);
    EXPECT_EQ(c.total, 1);
}

TEST_F(SessionTable, LongIdsFoundAgain)
{
    std::string id(70, 'x');
    id += "tail";
    st_update(t, id.c_str(), 1, 1, 0);
    st_update(t, id.c_str(), 1, 1, 0);
    EXPECT_TRUE(found(id.c_str(), 1));
    // The cut form is the same session.
    EXPECT_TRUE(found(id.substr(0, ST_IDMAX).c_str(), 1));
    SESSION *s = refresh(id.c_str(), 1, 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s->id), id.substr(0, ST_IDMAX));
    EXPECT_EQ(st_mark_id(t, id.c_str()), 1);
    STCOUNTS c;
    st_counts(t, &c);
    EXPECT_EQ(c.total, 1);
}

TEST_F(SessionTable, NumbersOutsideTheTablesTouchNoCounter)
{
    struct Case {
        int server, target;
    } cases[] = {{0, 1}, {-3, 1}, {MAXSERVER + 1, 1}, {1, 0}, {1, MAXTARGET + 1}, {1, -7}, {1 << 30, 1 << 30}};
    for (const Case &c : cases) {
        kvn_test_reset();
        st_update(t, "a", c.server, c.target, 0);
        refresh("a", c.server, c.target);
        refresh("b", c.server, c.target);
        st_count(c.server, c.target, 1);
        int servers = 0, targets = 0;
        for (int n = 1; n <= MAXSERVER; n++)
            servers += cfg.servers[n].cur_sessions;
        for (int n = 1; n <= MAXTARGET; n++)
            targets += cfg.targets[n].cur_sessions;
        EXPECT_EQ(servers, valid_server(c.server) ? 1 : 0) << c.server << "/" << c.target;
        EXPECT_EQ(targets, valid_target(c.target) ? 1 : 0) << c.server << "/" << c.target;
        // Marked by the reload sweep and reclaimed without touching them.
        reload_session_sweep();
        sweep_all();
        STCOUNTS counts;
        st_counts(t, &counts);
        EXPECT_EQ(counts.total, 0);
    }
}

TEST_F(SessionTable, ReloadSweepKeepsUnchangedSessions)
{
    SERVER &s = cfg.servers[2];
    ASSERT_TRUE(parse_ipv4("192.0.2.10", s.ipaddr));
    s.targets[s.ntargets++] = 4;
    ASSERT_TRUE(parse_ipv4("192.0.2.40", cfg.targets[4].ipaddr));
    ASSERT_TRUE(parse_ipv4("192.0.2.50", cfg.targets[5].ipaddr));
    cfg.shadow_servers[2] = cfg.servers[2];
    cfg.shadow_targets[4] = cfg.targets[4];
    cfg.shadow_targets[5] = cfg.targets[5];
    st_update(t, "kept", 2, 4, 0);
    st_update(t, "not listed", 2, 5, 0);
    st_update(t, "no server", 3, 4, 0);
    reload_session_sweep();
    EXPECT_TRUE(found("kept", 2));
    EXPECT_FALSE(found("not listed", 2));
    EXPECT_FALSE(found("no server", 3));
}

TEST_F(SessionTable, WalksSkipExpiredAndStop)
{
    for (const char *id : {"a", "b", "c"})
        st_update(t, id, 1, 1, 0);
    st_mark_id(t, "b");
    std::vector<std::string> seen;
    int called = st_foreach(
        t,
        [](SESSION *s, void *arg) {
            ((std::vector<std::string> *)arg)->push_back(s->id);
            return 0;
        },
        &seen);
    EXPECT_EQ(called, 2);
    EXPECT_EQ(seen, (std::vector<std::string>{"c", "a"}));  // newest first
    called = st_foreach(t, [](SESSION *, void *) { return -1; }, nullptr);
    EXPECT_EQ(called, 1);
}

TEST_F(SessionTable, BatchedWalkPinsWhereItResumes)
{
    const int n = ST_BATCH + 10;
    for (int i = 0; i < n; i++)
        st_update(t, ("s" + std::to_string(i)).c_str(), 1, 1, 10);
    STWALK w = {};
    int called = st_walk_batch(t, &w, [](SESSION *, void *) { return 0; }, nullptr);
    EXPECT_EQ(called, ST_BATCH);
    ASSERT_FALSE(w.done);
    ASSERT_NE(t->pin, nullptr);
    // Everything expires; the sweep passes the pinned entry by.
    set_uptime(2000);
    sweep_all();
    STCOUNTS c;
    st_counts(t, &c);
    EXPECT_EQ(c.total, 1);
    called = st_walk_batch(t, &w, [](SESSION *, void *) { return 0; }, nullptr);
    EXPECT_EQ(called, 0);
    EXPECT_TRUE(w.done);
    EXPECT_EQ(t->pin, nullptr);
    sweep_all();
    st_counts(t, &c);
    EXPECT_EQ(c.total, 0);
}

TEST_F(SessionTable, ReleaseRemovesAtOnce)
{
    st_update(t, "a", 1, 6, 0);
    st_update(t, "b", 1, 6, 0);
    st_release(t, st_lookup_locked(t, "a", 1));
    EXPECT_FALSE(found("a", 1));
    EXPECT_EQ(cfg.targets[6].cur_sessions, 1);
    EXPECT_EQ(check_invariants(t), 1);
}

TEST_F(SessionTable, ClearLeavesNothing)
{
    for (int i = 0; i < 100; i++)
        st_update(t, ("s" + std::to_string(i)).c_str(), 1, 1, 0);
    st_clear(t);
    STCOUNTS c;
    st_counts(t, &c);
    EXPECT_EQ(c.total, 0);
    EXPECT_EQ(c.chunks, 0);
    EXPECT_FALSE(found("s5", 1));
    st_update(t, "s5", 1, 1, 0);
    EXPECT_EQ(check_invariants(t), 1);
}

// Two threads look sessions up and refresh them as the packet path does
// (writer lock around lookup and refresh, the counts raised for the
// target), and look them up under the reader lock, while the main thread
// runs the scan, moves the clock, walks and lists.
TEST_F(SessionTable, LookupsAndRefreshesWhileScanning)
{
    params[P_SESSIONTIMEOUT].current = 10;
    constexpr int ROUNDS = 10000;
    std::atomic<int> running{2};
    auto packet_thread = [&](int which) {
        char id[32];
        for (int i = 0; i < ROUNDS; i++) {
            snprintf(id, sizeof id, "198.51.100.%d:%d", which, i % 500);
            int target = 1 + i % 4;
            st_wrlock(session_table);
            SESSION *s = st_lookup(session_table, id, which);
            s = st_refresh(session_table, id, which, s != nullptr ? s->target : target, 0);
            if (s != nullptr)
                st_count(which, s->target, 1);
            st_unlock(session_table);
            if (SESSION *r = st_lookup_locked(session_table, id, which))
                (void)r;
            if (i % 97 == 0)
                st_lookup_id(session_table, id);
        }
        running--;
    };
    std::thread a(packet_thread, 1), b(packet_thread, 2);
    unsigned now = 1000;
    while (running.load() > 0) {
        st_scan(session_table);
        set_uptime(++now);
        st_foreach(session_table, [](SESSION *, void *) { return 0; }, nullptr);
        STCOUNTS c;
        st_counts(session_table, &c);
        if (now % 16 == 0)
            st_foreach_batched(session_table, [](SESSION *, void *) { return 0; }, nullptr);
    }
    a.join();
    b.join();
    int live = check_invariants(session_table);
    EXPECT_GT(live, 0);
    EXPECT_LE(live, 1000);
    for (int n = 1; n <= 4; n++)
        EXPECT_GE(cfg.targets[n].cur_sessions, 0);
}
