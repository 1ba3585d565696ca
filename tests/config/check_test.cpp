// The configuration check: every finding, the silence rule while a file
// loads, and the values it computes (networks, referencing server, the
// proxy-in-use flag, the session-group lists).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <functional>
#include <string>
#include <vector>

#include "command/interpreter.h"
#include "command/log.h"
#include "config/addr.h"
#include "config/check.h"
#include "config/config_state.h"
#include "support/support.h"

namespace {

class Check : public ::testing::Test {
  protected:
    void SetUp() override { kvn_test_reset(); }
    void TearDown() override { interp.loading = 0; }
};

void ip4(uint8_t out[4], const char *text) { ASSERT_TRUE(parse_ipv4(text, out)) << text; }
void ip6(uint8_t out[16], const char *text) { ASSERT_TRUE(parse_ipv6(text, out)) << text; }

NETWORK &net(int n, const char *addr, const char *mask, const char *real)
{
    NETWORK &x = cfg.networks[n];
    ip4(x.addr, addr);
    ip4(x.mask, mask);
    if (real != nullptr)
        ip4(x.real, real);
    x.registered = x.enabled = 1;
    return x;
}

SERVER &srv(int n, const char *ip)
{
    SERVER &s = cfg.servers[n];
    if (ip != nullptr)
        ip4(s.ipaddr, ip);
    s.registered = s.enabled = 1;
    return s;
}

// An enabled target with a ping check, so that only the finding under test shows.
TARGET &tgt(int n, const char *ip)
{
    TARGET &t = cfg.targets[n];
    if (ip != nullptr)
        ip4(t.ipaddr, ip);
    t.ping.interval = 5;
    t.ping.timeout = 3;
    t.registered = t.enabled = 1;
    return t;
}

void list(SERVER &s, std::initializer_list<int> targets, std::initializer_list<int> backups = {})
{
    for (int t : targets)
        s.targets[s.ntargets++] = t;
    for (int t : backups)
        s.backups[s.nbackups++] = t;
}

struct Case {
    const char *name;
    std::function<void()> setup;
    std::vector<std::string> present;  // lines that must be printed
    std::vector<std::string> absent;   // texts that must not appear
};

TEST_F(Check, Findings)
{
    const Case cases[] = {
        {"server outside every network", [] { srv(1, "192.0.2.10"); },
         {"  ERROR: WARNING: server 1 has no matching network\n"}, {}},
        {"server inside a network", [] { net(1, "192.0.2.0", "255.255.255.0", "192.0.2.2"); srv(1, "192.0.2.10"); },
         {}, {"WARNING"}},
        {"server on any address", [] { srv(1, "255.255.255.255"); }, {}, {"WARNING"}},
        {"disabled server is not looked at", [] { srv(1, "192.0.2.10").enabled = 0; }, {}, {"WARNING"}},
        {"gslb server without a name",
         [] {
             srv(1, "192.0.2.10").gslb = GSLB_ENABLE;
         },
         {"  ERROR: WARNING: server 1 has no name with gslb enabled (FQDN required)\n"}, {"matching network"}},
        {"two ports with portrel",
         [] {
             net(1, "192.0.2.0", "255.255.255.0", "192.0.2.2");
             SERVER &s = srv(1, "192.0.2.10");
             s.port = htons(80);
             s.port2 = htons(443);
             s.portrel = 1;
         },
         {"  ERROR: WARNING: server 1 not functional with 2 ports and portrel\n"}, {}},
        {"ipdb with a plugin and round robin",
         [] {
             SERVER &s = srv(2, nullptr);
             s.ipdb = 1;
             snprintf(s.plugin, sizeof s.plugin, "/opt/plugin");
         },
         {"  ERROR: WARNING: server 2 IPDB not functional because of server plugin\n",
          "  ERROR: WARNING: server 2 IPDB not functional with method ROUND-ROBIN\n"},
         {"HASH"}},
        {"ipdb with hash",
         [] {
             SERVER &s = srv(2, nullptr);
             s.ipdb = 1;
             s.method = METHOD_HASH;
         },
         {"  ERROR: WARNING: server 2 IPDB not functional with method HASH\n"}, {"ROUND-ROBIN", "plugin"}},
        {"unregistered target and backup", [] { list(srv(3, nullptr), {7}, {8}); },
         {"  ERROR: WARNING: server 3 references unregistered target 7\n",
          "  ERROR: WARNING: server 3 references unregistered backup 8\n"},
         {}},
        {"two ports and a port-specific target",
         [] {
             net(1, "192.0.2.0", "255.255.255.0", "192.0.2.2");
             SERVER &s = srv(1, "192.0.2.10");
             s.port = htons(80);
             s.port2 = htons(443);
             tgt(4, "192.0.2.40").port = htons(8080);
             list(s, {4});
         },
         {"  ERROR: WARNING: server 1 not functional with 2 ports and port specific target 4\n"}, {}},
        {"port translation with dsr",
         [] {
             net(1, "192.0.2.0", "255.255.255.0", "192.0.2.2");
             SERVER &s = srv(1, "192.0.2.10");
             s.port = htons(80);
             TARGET &t = tgt(4, "192.0.2.40");
             t.port = htons(8080);
             t.dsr = 1;
             list(s, {4});
         },
         {"  ERROR: WARNING: port translation from server 1 to target 4 not working with DSR enabled\n"}, {}},
        {"dsr on the same port",
         [] {
             net(1, "192.0.2.0", "255.255.255.0", "192.0.2.2");
             SERVER &s = srv(1, "192.0.2.10");
             s.port = htons(80);
             TARGET &t = tgt(4, "192.0.2.40");
             t.port = htons(80);
             t.dsr = 1;
             list(s, {4});
         },
         {}, {"WARNING"}},
        {"gslb server skips the port findings",
         [] {
             SERVER &s = srv(1, nullptr);
             snprintf(s.name, sizeof s.name, "www.example.test");
             s.gslb = GSLB_ENABLE;
             s.port = htons(80);
             s.port2 = htons(443);
             TARGET &t = tgt(4, nullptr);
             t.port = htons(8080);
             t.dsr = 1;
             list(s, {4});
         },
         {}, {"WARNING"}},
        {"enabled target nobody references", [] { net(1, "192.0.2.0", "255.255.255.0", "192.0.2.2"); tgt(4, "192.0.2.40"); },
         {"  ERROR: WARNING: target 4 in enabled state but not referenced\n"}, {}},
        {"pseudo target needs no reference",
         [] {
             net(1, "192.0.2.0", "255.255.255.0", "192.0.2.2");
             tgt(4, "192.0.2.40").pseudo = 1;
         },
         {}, {"WARNING"}},
        {"target outside every network", [] { tgt(4, "203.0.113.9").pseudo = 1; },
         {"  ERROR: WARNING: target 4 has no matching network\n"}, {}},
        {"target behind a router in a network",
         [] {
             net(1, "192.0.2.0", "255.255.255.0", "192.0.2.2");
             TARGET &t = tgt(4, "203.0.113.9");
             ip4(t.router, "192.0.2.1");
             t.pseudo = 1;
         },
         {}, {"WARNING"}},
        {"network without a real address",
         [] {
             net(1, "192.0.2.0", "255.255.255.0", nullptr);
             tgt(4, "192.0.2.40").pseudo = 1;
         },
         {"  ERROR: WARNING: network 1 needs a \"real\" address to reach target 4\n"}, {}},
        {"target without health check", [] { tgt(4, nullptr).ping.interval = 0; cfg.targets[4].pseudo = 1; },
         {"  ERROR: WARNING: target 4 has no associated health check\n"}, {}},
        {"a script with interval 0 is no health check",
         [] {
             TARGET &t = tgt(4, nullptr);
             t.pseudo = 1;
             t.ping.interval = 0;
             snprintf(t.script.cmd, sizeof t.script.cmd, "/opt/check");
         },
         {"  ERROR: WARNING: target 4 has no associated health check\n"}, {}},
        {"a script with an interval is a health check",
         [] {
             TARGET &t = tgt(4, nullptr);
             t.pseudo = 1;
             t.ping.interval = 0;
             snprintf(t.ascript.cmd, sizeof t.ascript.cmd, "/opt/load");
             t.ascript.interval = 10;
         },
         {}, {"WARNING"}},
        {"tcpopen6 alone is a health check",
         [] {
             TARGET &t = tgt(4, nullptr);
             t.pseudo = 1;
             t.ping.interval = 0;
             t.tcpopen6.interval = 5;
         },
         {}, {"WARNING"}},
    };
    for (const Case &c : cases) {
        kvn_test_reset();
        c.setup();
        int result = 0;
        std::string out = run_line("check", &result);
        EXPECT_EQ(result, 1) << c.name;
        for (const std::string &p : c.present)
            EXPECT_NE(out.find(p), std::string::npos) << c.name << "\nmissing: " << p << "\nin:\n" << out;
        for (const std::string &a : c.absent)
            EXPECT_EQ(out.find(a), std::string::npos) << c.name << "\nunexpected: " << a << "\nin:\n" << out;
    }
}

TEST_F(Check, UnregisteredTargetsAreNoFindingWhileAFileLoads)
{
    list(srv(3, nullptr), {7}, {8});
    interp.loading = 1;
    Capture c;
    EXPECT_EQ(config_check(c.f), 1);
    EXPECT_EQ(c.str().find("unregistered"), std::string::npos) << c.str();
    // The reference is still recorded for the targets defined later.
    EXPECT_EQ(cfg.targets[7].server, 3);
    EXPECT_EQ(cfg.targets[8].server, 3);
}

TEST_F(Check, FindingLeavesErrorBufferAndIsLoggedWhileLoading)
{
    srv(1, "192.0.2.10");
    interp.loading = 1;
    interp.config_line = 5;
    errbuf[0] = '\0';
    Capture c;
    config_check(c.f);
    EXPECT_STREQ(errbuf, "WARNING: server 1 has no matching network\n");
    Capture log;
    show_log(0, nullptr, log.f);
    EXPECT_NE(log.str().find("ERROR /etc/kvn.conf line 5: WARNING: server 1 has no matching network"),
              std::string::npos)
        << log.str();
}

TEST_F(Check, ReferencingServer)
{
    net(1, "192.0.2.0", "255.255.255.0", "192.0.2.2");
    tgt(3, "192.0.2.30");
    tgt(4, "192.0.2.40");
    tgt(5, "192.0.2.50");
    list(srv(1, "192.0.2.10"), {3, 4, 4});
    list(srv(2, "192.0.2.11"), {3}, {5});
    srv(6, "192.0.2.12").enabled = 0;  // a disabled server references nothing
    list(cfg.servers[6], {5});
    cfg.targets[9].server = 2;  // stale value from an earlier check
    Capture c;
    config_check(c.f);
    EXPECT_EQ(cfg.targets[3].server, SERVERREF_SEVERAL);
    EXPECT_EQ(cfg.targets[4].server, 1);
    EXPECT_EQ(cfg.targets[5].server, 2);
    EXPECT_EQ(cfg.targets[9].server, 0);
    EXPECT_EQ(c.str().find("not referenced"), std::string::npos) << c.str();
}

TEST_F(Check, ComputedNetworks)
{
    net(1, "192.0.2.0", "255.255.255.0", "192.0.2.2");
    net(2, "198.51.100.0", "255.255.255.0", "198.51.100.2");
    NETWORK &v6 = net(3, "203.0.113.0", "255.255.255.0", "203.0.113.2");
    v6.mask6 = 64;
    ip6(v6.real6, "2001:db8:1::1");
    cfg.networks[2].enabled = 0;  // a disabled network takes nobody

    srv(1, "192.0.2.10");
    srv(2, "198.51.100.10");
    TARGET &a = tgt(4, "192.0.2.40");
    TARGET &b = tgt(5, "203.0.113.50");
    ip6(b.ipaddr6, "2001:db8:1::50");
    TARGET &c6 = tgt(6, nullptr);
    ip6(c6.ipaddr6, "2001:db8:2::60");
    TARGET &routed = tgt(7, "198.51.100.70");
    ip4(routed.router, "192.0.2.1");
    a.network6 = 9;  // stale values are recomputed
    Capture c;
    config_check(c.f);
    EXPECT_EQ(cfg.servers[1].network, 1);
    EXPECT_EQ(cfg.servers[2].network, 0);
    EXPECT_EQ(a.network, 1);
    EXPECT_EQ(a.network6, 0);
    EXPECT_EQ(b.network, 3);
    EXPECT_EQ(b.network6, 3);
    EXPECT_EQ(c6.network, 0);
    EXPECT_EQ(c6.network6, 0);
    EXPECT_EQ(routed.network, 1);
}

TEST_F(Check, ProxyInUse)
{
    srv(1, "255.255.255.255").proxy = 1;
    Capture c;
    config_check(c.f);
    EXPECT_EQ(cfg.proxy_in_use, 1);
    cfg.servers[1].enabled = 0;
    config_check(c.f);
    EXPECT_EQ(cfg.proxy_in_use, 0);
}

TEST_F(Check, SessionGroupsAreRebuilt)
{
    for (int n : {2, 5, 6, 8}) {
        cfg.targets[n].registered = 1;
        cfg.targets[n].sessiongroup = 3;
    }
    cfg.targets[6].registered = 0;        // unregistered: in no group
    cfg.targets[8].sessiongroup = 100;    // the last group
    cfg.targets[9].registered = 1;        // group 0
    cfg.targets[10].registered = 1;
    cfg.targets[10].sessiongroup = 101;   // out of range: in no group
    Capture c;
    config_check(c.f);
    config_check(c.f);  // a second run starts from scratch
    const SESSIONGROUP &g3 = cfg.sessiongroups[3];
    ASSERT_EQ(g3.count, 2);
    EXPECT_EQ(g3.members[0], 2);
    EXPECT_EQ(g3.members[1], 5);
    ASSERT_EQ(cfg.sessiongroups[100].count, 1);
    EXPECT_EQ(cfg.sessiongroups[100].members[0], 8);
    ASSERT_EQ(cfg.sessiongroups[0].count, 1);
    EXPECT_EQ(cfg.sessiongroups[0].members[0], 9);
}

}  // namespace
