// Target selection by method: rr with down targets and both failover
// modes, hash starts, the minimum searches with their ties and 64-bit
// values, weighted random draws, every eligibility limit, the backup scan,
// the bandwidth history, `rndtest` and `show sessiongroups`.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "balance/bandwidth.h"
#include "command/process.h"
#include "config/parameters.h"
#include "health/health.h"
#include "packet/regular_callback.h"
#include "select_fixture.h"

namespace {

using Select = SelectTest;

TEST_F(Select, RoundRobinSkipsADownTarget)
{
    for (int t : {1, 2, 3})
        up_target(t);
    cfg.targets[2].operational = 0;
    list_server(1, {1, 2, 3});
    EXPECT_EQ(picks(1, 6), (std::vector<int>{1, 3, 1, 3, 1, 3}));
}

TEST_F(Select, RoundRobinWithFailoverBackup)
{
    for (int t : {1, 2, 3, 4})
        up_target(t);
    cfg.targets[2].operational = 0;
    SERVER &s = list_server(1, {1, 2, 3}, {4});
    s.failover = FAILOVER_BACKUP;
    // The frame that finds 2 under the cursor goes to the backup; the next
    // frame goes on with 3.
    EXPECT_EQ(picks(1, 6), (std::vector<int>{1, 4, 3, 1, 4, 3}));
}

TEST_F(Select, BackupScanRotatesAndEnds)
{
    for (int t : {1, 2, 4, 5, 6})
        up_target(t);
    cfg.targets[1].operational = 0;
    cfg.targets[2].softdisabled = 1;
    cfg.targets[5].enabled = 0;
    list_server(1, {1, 2}, {4, 5, 6});
    EXPECT_EQ(picks(1, 4), (std::vector<int>{4, 6, 4, 6}));
    cfg.targets[4].operational = cfg.targets[6].operational = 0;
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), -1);
    // No backups at all.
    list_server(2, {1});
    EXPECT_EQ(pick(2, client_frame("192.0.2.1")), -1);
}

TEST_F(Select, EmptyListOrUnsetCursorGoesToTheBackups)
{
    for (int t : {1, 4})
        up_target(t);
    list_server(1, {}, {4});
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), 4);
    SERVER &s = list_server(2, {1}, {4});
    s.rr_pos = RRPOS_UNSET;
    EXPECT_EQ(pick(2, client_frame("192.0.2.1")), 4);
    EXPECT_EQ(select_target(0, nullptr, 0, nullptr), -1);
    EXPECT_EQ(select_target(MAXSERVER + 1, nullptr, 0, nullptr), -1);
}

TEST_F(Select, HashStartsAtTheSourceAddressHash)
{
    for (int t : {1, 2, 3})
        up_target(t);
    SERVER &s = list_server(1, {1, 2, 3});
    s.method = METHOD_HASH;
    struct Row {
        const char *set;   // parameter line
        const char *src;   // client address
        int target;        // expected choice
    };
    const Row rows[] = {
        // 192^0^2 = 194, 194 % 3 = 2: the last byte no longer counts.
        {"set hashbytes4 3", "192.0.2.1", 3},
        {"set hashbytes4 3", "192.0.2.200", 3},
        // 194^1 = 195 -> 0; 194^200 = 10 -> 1.
        {"set hashbytes4 4", "192.0.2.1", 1},
        {"set hashbytes4 4", "192.0.2.200", 2},
        {"set hashbytes4 1", "198.51.100.7", 1},   // 198 % 3 = 0
        // IPv6: h = 0x20 (32 % 3 = 2); then 32 * 31 + 0x01 = 993 (0).
        {"set hashbytes6 1", "2001:db8::1", 3},
        {"set hashbytes6 2", "2001:db8::1", 1},
        // 993 * 31 + 0x0d = 30796 (% 3 = 1).
        {"set hashbytes6 3", "2001:db8::1", 2},
    };
    for (const Row &r : rows) {
        run_line(r.set);
        EXPECT_EQ(pick(1, client_frame(r.src)), r.target) << r.set << " " << r.src;
    }
    // The hash start moves the round-robin cursor past the choice.
    run_line("set hashbytes4 4");
    pick(1, client_frame("192.0.2.200"));
    EXPECT_EQ(s.rr_pos, 2);
    // A frame that is not IP starts at index 0, and a down target at the
    // start index passes the scan on.
    Frame arp = FrameBuilder()
                    .eth("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:02")
                    .arp(ARP_REQUEST, "02:00:00:00:00:02", "192.0.2.1", "00:00:00:00:00:00", "203.0.113.10")
                    .build();
    EXPECT_EQ(pick(1, arp), 1);
    cfg.targets[2].operational = 0;
    EXPECT_EQ(pick(1, client_frame("192.0.2.200")), 3);
}

TEST_F(Select, HashOfATruncatedFrameReadsNoAddress)
{
    for (int t : {1, 2, 3})
        up_target(t);
    list_server(1, {1, 2, 3}).method = METHOD_HASH;
    Frame f = client_frame("192.0.2.200");
    FRAMEINFO fi;
    frame_parse(f.data(), (int)f.size(), &fi);
    // The parse says IPv4, but the caller hands over fewer bytes than the
    // source address needs: the start is index 0 and nothing past len is read.
    EXPECT_EQ(select_target(1, f.data(), ETH_HDRLEN + IP4_SRC + 2, &fi), 1);
}

TEST_F(Select, SessionMethodPrefersFewerSessionsAndTheEarlierOnATie)
{
    struct Row {
        const char *name;
        int sessions[3];
        int offset[3];
        double scale[3];
        int target;
    };
    const Row rows[] = {
        {"no session rates like one", {1, 0, 5}, {0, 0, 0}, {1, 1, 1}, 1},
        {"fewest sessions", {3, 2, 5}, {0, 0, 0}, {1, 1, 1}, 2},
        {"offset counts", {0, 3, 5}, {5, 0, 0}, {1, 1, 1}, 2},
        {"scale counts", {2, 3, 5}, {0, 0, 0}, {2, 1, 1}, 2},
        {"scale rounds to 0: product 1", {4, 1, 5}, {0, 0, 0}, {0.4, 1, 1}, 1},
    };
    for (const Row &r : rows) {
        kvn_test_reset();
        for (int t = 1; t <= 3; t++) {
            TARGET &x = up_target(t);
            x.cur_sessions = r.sessions[t - 1];
            x.offset = r.offset[t - 1];
            x.scale = r.scale[t - 1];
        }
        list_server(1, {1, 2, 3}).method = METHOD_SESSION;
        EXPECT_EQ(pick(1, client_frame("192.0.2.1")), r.target) << r.name;
    }
}

TEST_F(Select, AgentMethodTakesTheLowestValueAmongAgentTargets)
{
    for (int t : {1, 2, 3})
        up_target(t);
    cfg.targets[1].agent.interval = 5;
    cfg.targets[1].agent_value = 40;
    cfg.targets[2].agent_value = 1;     // no agent check: no candidate
    cfg.targets[3].agent6.interval = 5;
    cfg.targets[3].agent_value = 30;
    list_server(1, {1, 2, 3}).method = METHOD_AGENT;
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), 3);
    // A value of 0 stays 0 whatever the offset.
    cfg.targets[1].agent_value = 0;
    cfg.targets[1].offset = 100;
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), 1);
}

// Values past 32 bits: computed wide and clamped, never wrapped.
TEST_F(Select, LargeValuesAndNegativeOffsetsKeepTheirOrder)
{
    struct Row {
        const char *name;
        int method;
        uint32_t agent[2];
        int sessions[2];
        double scale[2];
        int offset[2];
        int target;
    };
    const Row rows[] = {
        // 3e9 x 2 wraps to about 1.7e9 in 32 bits and would beat 2e9.
        {"agent times scale past 32 bits", METHOD_AGENT, {3000000000u, 2000000000u}, {0, 0}, {2, 1}, {0, 0}, 2},
        // 4e9 + 1e9 wraps to about 0.7e9 and would beat 1e9.
        {"agent plus offset past 32 bits", METHOD_AGENT, {4000000000u, 1000000000u}, {0, 0}, {1, 1}, {1000000000, 0}, 2},
        // A scale too big for any integer: clamped, no undefined conversion.
        {"enormous scale", METHOD_AGENT, {1, 4000000000u}, {0, 0}, {1e300, 1}, {0, 0}, 2},
        // 5 - 10 is below 0: it clamps to 0 instead of becoming 0xFFFFFFFB.
        {"negative offset", METHOD_SESSION, {0, 0}, {5, 1}, {1, 1}, {-10, 0}, 1},
        {"negative offset on agent", METHOD_AGENT, {50, 20}, {0, 0}, {1, 1}, {-60, 0}, 1},
    };
    for (const Row &r : rows) {
        kvn_test_reset();
        for (int t = 1; t <= 2; t++) {
            TARGET &x = up_target(t);
            x.agent.interval = 5;
            x.agent_value = r.agent[t - 1];
            x.cur_sessions = r.sessions[t - 1];
            x.scale = r.scale[t - 1];
            x.offset = r.offset[t - 1];
        }
        list_server(1, {1, 2}).method = r.method;
        EXPECT_EQ(pick(1, client_frame("192.0.2.1")), r.target) << r.name;
    }
}

// Shares of `draws` selections of server 1.
std::map<int, int> tally(int draws)
{
    std::map<int, int> n;
    Frame f = client_frame("192.0.2.1");
    for (int i = 0; i < draws; i++)
        n[pick(1, f)]++;
    return n;
}

TEST_F(Select, RandomFollowsTheWeights)
{
    up_target(1).weight = 1;
    up_target(2).weight = 3;
    list_server(1, {1, 2}).method = METHOD_RANDOM;
    std::map<int, int> n = tally(4000);
    EXPECT_EQ(n[1] + n[2], 4000);
    // About a quarter: 1000 expected, the band is many deviations wide.
    EXPECT_GT(n[1], 850);
    EXPECT_LT(n[1], 1150);
    // The same seed gives the same draws.
    select_seed(7);
    std::vector<int> a = picks(1, 50);
    select_seed(7);
    EXPECT_EQ(picks(1, 50), a);
}

TEST_F(Select, RandomSkipsIneligibleTargetsAndFindsNoneWithoutCandidates)
{
    up_target(1).weight = 50;
    up_target(2).weight = 1;
    up_target(3).weight = 1;
    cfg.targets[1].softdisabled = 1;
    list_server(1, {1, 2, 3}, {}).method = METHOD_RANDOM;
    std::map<int, int> n = tally(200);
    EXPECT_EQ(n[1], 0);
    EXPECT_EQ(n[2] + n[3], 200);
    cfg.targets[2].operational = cfg.targets[3].operational = 0;
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), -1);
}

TEST_F(Select, RndagentFavoursTheLightlyLoaded)
{
    // Loads 3e9 and 1e9 sum past 32 bits; the shares are 2500 and 7500.
    TARGET &a = up_target(1);
    a.agent_value = 3000000000u;
    TARGET &b = up_target(2);
    b.agent_value = 1000000000u;
    list_server(1, {1, 2}).method = METHOD_RNDAGENT;
    std::map<int, int> n = tally(4000);
    EXPECT_EQ(n[1] + n[2], 4000);
    EXPECT_GT(n[1], 850);
    EXPECT_LT(n[1], 1150);
    // One candidate: its share is 0, raised to 1, and it is always chosen.
    b.operational = 0;
    EXPECT_EQ(picks(1, 5), (std::vector<int>(5, 1)));
}

TEST_F(Select, EveryLimitDecidesEligibility)
{
    struct Row {
        const char *name;
        void (*set)(TARGET &t);
        bool eligible;
    };
    const Row rows[] = {
        {"plain", [](TARGET &) {}, true},
        {"softdisabled", [](TARGET &t) { t.softdisabled = 1; }, false},
        {"down", [](TARGET &t) { t.operational = 0; }, false},
        {"disabled", [](TARGET &t) { t.enabled = 0; }, false},
        {"unregistered", [](TARGET &t) { t.registered = 0; }, false},
        {"agent at maxagent", [](TARGET &t) { t.maxagent = 100; t.agent_value = 100; }, true},
        {"agent over maxagent", [](TARGET &t) { t.maxagent = 100; t.agent_value = 101; }, false},
        {"agent far over maxagent", [](TARGET &t) { t.maxagent = 100; t.agent_value = 0xFFFFFFFFu; }, false},
        // maxsessions 10: with 10 sessions it still gets an 11th, with 11 no 12th.
        {"10 of maxsessions 10", [](TARGET &t) { t.maxsessions = 10; t.cur_sessions = 10; }, true},
        {"11 of maxsessions 10", [](TARGET &t) { t.maxsessions = 10; t.cur_sessions = 11; }, false},
    };
    for (const Row &r : rows) {
        kvn_test_reset();
        r.set(up_target(1));
        EXPECT_EQ(target_eligible(1), r.eligible) << r.name;
    }
    EXPECT_FALSE(target_eligible(0));
    EXPECT_FALSE(target_eligible(MAXTARGET + 1));
}

TEST_F(Select, MaxsessionsThroughTheCommand)
{
    EXPECT_EQ(run_line("target 1 maxsessions 10"), "kvn# ");
    up_target(1);
    list_server(1, {1});
    cfg.targets[1].cur_sessions = 10;
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), 1);  // the 11th
    cfg.targets[1].cur_sessions = 11;
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), -1);  // no 12th
}

TEST_F(Select, MaxgrpsessionsCountsTheRegisteredMembersOfTheGroup)
{
    for (int t : {1, 2, 3}) {
        TARGET &x = up_target(t);
        x.sessiongroup = t == 3 ? 0 : 5;
    }
    cfg.targets[1].maxgrpsessions = 4;
    cfg.targets[3].cur_sessions = 100;  // another group: not counted
    // No members listed yet (the check has not run): no group limit.
    cfg.targets[1].cur_sessions = 9;
    EXPECT_TRUE(target_eligible(1));
    run_line("check");
    ASSERT_EQ(cfg.sessiongroups[5].count, 2);
    cfg.targets[1].cur_sessions = 2;
    cfg.targets[2].cur_sessions = 2;
    EXPECT_TRUE(target_eligible(1));   // 4 of 4
    cfg.targets[2].cur_sessions = 3;
    EXPECT_FALSE(target_eligible(1));  // 5 of 4
    EXPECT_TRUE(target_eligible(2));   // target 2 has no group limit
    // A member that left the registry no longer counts.
    cfg.targets[2].registered = 0;
    EXPECT_TRUE(target_eligible(1));
}

TEST_F(Select, BandwidthMethodsCompareRatesOverTheHistory)
{
    for (int t : {1, 2, 3})
        up_target(t);
    // Samples at 100..109 with no traffic yet; at 110 the oldest (100) is
    // compared with the counters now.
    for (unsigned now = 100; now < 110; now++)
        for (int t : {1, 2, 3})
            bw_sample(t, now);
    EXPECT_EQ(cfg.targets[1].bw_pos, 0);
    cfg.targets[1].bytes_from = 10000;  // 1000 B/s in
    cfg.targets[1].bytes_to = 2000;     // 200 B/s out
    cfg.targets[2].bytes_from = 5000;   // 500 B/s in
    cfg.targets[2].bytes_to = 9000;     // 900 B/s out
    cfg.targets[3].bytes_from = 8000;   // 800 B/s in
    cfg.targets[3].bytes_to = 8000;     // 800 B/s out
    set_uptime(110);
    BWRATES r = bw_rates(1, 110);
    EXPECT_EQ(r.in, 1000u);
    EXPECT_EQ(r.out, 200u);
    SERVER &s = list_server(1, {1, 2, 3});
    struct Row {
        int method;
        int target;
    };
    for (Row row : {Row{METHOD_BWIN, 2}, Row{METHOD_BWOUT, 1}, Row{METHOD_BW, 1}}) {
        s.method = row.method;
        EXPECT_EQ(pick(1, client_frame("192.0.2.1")), row.target) << method_names[row.method];
    }
    // A rate of 0 (an empty oldest slot) is the value 0 and wins.
    cfg.targets[3].bw[cfg.targets[3].bw_pos].time = 0;
    s.method = METHOD_BW;
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), 3);
    // A sample taken at this very second gives no rate either.
    EXPECT_EQ(bw_rates(2, 100).in, 0u);
    set_uptime(0);
}

TEST_F(Select, RndtestPrintsTheRandomChoice)
{
    up_target(2);
    list_server(1, {2});
    EXPECT_EQ(run_line("rndtest 1"), "2\nkvn# ");
    cfg.targets[2].operational = 0;
    EXPECT_EQ(run_line("rndtest 1"), "-1\nkvn# ");
    EXPECT_EQ(run_line("rndtest 5"), "-1\nkvn# ");
    EXPECT_EQ(run_line("rndtest 1025"), "  ERROR: server index out of range\nkvn# ");
}

TEST_F(Select, ShowSessiongroups)
{
    const int sessions[] = {0, 2, 0, 5, 1, 7};
    for (int t = 1; t <= 5; t++) {
        TARGET &x = up_target(t);
        x.cur_sessions = sessions[t];
        x.sessiongroup = t <= 2 ? 0 : 7;
    }
    cfg.targets[5].sessiongroup = 100;
    run_line("check");
    EXPECT_EQ(run_line("show sessiongroups"),
              "  grp  sessions targets                                 \n"
              "  --- --------- ----------------------------------------\n"
              "    0         2 1 2\n"
              "    7         6 3 4\n"
              "  100         7 5\n"
              "kvn# ");
}

// Until the probes decide more, the evaluation makes every enabled target
// operational and every other one down; selection follows it.
TEST_F(Select, EvaluationDecidesWhatIsOperational)
{
    for (int t : {1, 2}) {
        TARGET &x = cfg.targets[t];
        x.registered = 1;
        x.enabled = t == 1;
    }
    list_server(1, {1, 2});
    EXPECT_EQ(pick(1, client_frame("192.0.2.1")), -1);
    evaluate_targets();
    EXPECT_TRUE(target_operational(1));
    EXPECT_FALSE(target_operational(2));
    EXPECT_EQ(picks(1, 3), (std::vector<int>{1, 1, 1}));
    cfg.targets[1].enabled = 0;  // disabled between two evaluations
    EXPECT_FALSE(target_operational(1));
}

// With the server's ipdb on, the methods that apply the location test look
// the client up once per selection; rr and hash never do.
TEST_F(Select, LocatedMethodsLookTheClientUp)
{
    up_target(1);
    SERVER &s = list_server(1, {1});
    s.ipdb = 1;
    run_line("set debugscope 5");
    const char *v4 = "192.0.2.1 located as \"not found\" (index 511) ";
    const char *v6 = "2001:db8::1 located as \"not found\" (index 511) ";
    for (int m = 0; m < METHOD_COUNT; m++) {
        s.method = m;
        log_reset();
        cfg.targets[1].agent.interval = 5;
        EXPECT_EQ(pick(1, client_frame("192.0.2.1")), 1) << method_names[m];
        EXPECT_EQ(pick(1, client_frame("2001:db8::1")), 1) << method_names[m];
        bool located = m != METHOD_RR && m != METHOD_HASH;
        EXPECT_EQ(log_count(v4), located ? 1 : 0) << method_names[m];
        EXPECT_EQ(log_count(v6), located ? 1 : 0) << method_names[m];
    }
    // ipdb off: no lookup at all.
    s.ipdb = 0;
    s.method = METHOD_RANDOM;
    log_reset();
    pick(1, client_frame("192.0.2.1"));
    EXPECT_EQ(log_count("located as"), 0);
}

}  // namespace
