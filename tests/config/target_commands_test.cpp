// The target command through the interpreter: values, limits, probe and
// script syntax, the agent/agent6/ascript exclusions, the registered-target
// refusal, the block writer and the show items.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>

#include "balance/session_id.h"
#include "command/interpreter.h"
#include "config/config_state.h"
#include "config/config_writer.h"
#include "support/support.h"

namespace {

class TargetCommands : public ::testing::Test {
  protected:
    void SetUp() override { kvn_test_reset(); }
};

const std::string OK = "kvn# ";

std::string error(const std::string &message)
{
    return "  ERROR: " + message + "\nkvn# ";
}

std::string block(int n, const char *fmt = LINEFMT_FILE)
{
    Capture c;
    write_target_block(c.f, fmt, n);
    return c.str();
}

TEST_F(TargetCommands, MessagesOfRefusedValues)
{
    struct Case {
        const char *line;
        std::string output;
    } cases[] = {
        {"target 0 port 80", error("target index out of range")},
        {"target 2049 port 80", error("target index out of range")},
        {"target 4 port", error("argument error")},
        {"target 4 ipaddr 1.2.3", error("invalid IPv4-address 1.2.3")},
        {"target 4 ipaddr6 ::g", error("invalid IPv6-address ::g")},
        {"target 4 sessionid src", error("invalid sessionid handler src for target 4")},
        {"target 4 sessionid ds", error("invalid sessionid handler ds for target 4")},
        {"target 4 via 300.1.1.1", error("invalid router address 300.1.1.1")},
        {"target 4 protocol raw", error("unknown protocol specifier raw")},
        {"target 4 snat yes", error("unknown snat specifier yes")},
        {"target 4 autodisable yes", error("unknown autodisable specifier yes")},
        {"target 4 autodisablecount 0", error("invalid autodisablecount specifier 0")},
        {"target 4 autodisablecount 10001", error("invalid autodisablecount specifier 10001")},
        {"target 4 screate yes", error("unknown screate specifier yes")},
        {"target 4 ping 5", error("syntax error in target subcommand")},
        {"target 4 ping 1,2,3,4", error("syntax error in target subcommand")},
        {"target 4 ping a,3", error("syntax error in target subcommand")},
        {"target 4 ping 10.0.0.300,5,3", error("invalid IPv4-address 10.0.0.300")},
        {"target 4 ping probe-host-in-the-east-rack.example.net-whose-name-is-rather-long,5,3",
         error("invalid IPv4-address probe-host-in-the-east-rack.example.net-whose-name-is-rather-long")},
        {"target 4 tcpopen6 probe-host-in-the-east-rack.example.net-whose-name-is-rather-long,80,5,3",
         error("invalid IPv6-address probe-host-in-the-east-rack.example.net-whose-name-is-rather-long")},
        {"target 4 ping 5,1", error("ping timeout too small")},
        {"target 4 ping6 5,1", error("ping6 timeout too small")},
        {"target 4 ping6 10.0.0.1,5,3", error("invalid IPv6-address 10.0.0.1")},
        {"target 4 agent 10,5", error("syntax error in target subcommand")},
        {"target 4 agent 8888,10,1", error("agent timeout too small")},
        {"target 4 agent 0,10,5", error("port out of range")},
        {"target 4 agent 65536,10,5", error("port out of range")},
        {"target 4 agent 8888,0,5", error("interval out of range")},
        {"target 4 agent 8888,86401,5", error("interval out of range")},
        {"target 4 agent 8888,10,0", error("timeout out of range")},
        {"target 4 agent 8888,10,86401", error("timeout out of range")},
        {"target 4 agent6 8888,10,1", error("agent6 timeout too small")},
        {"target 4 tcpopen 80,10,1", error("tcpopen timeout too small")},
        {"target 4 tcpopen6 80,10,1", error("tcpopen6 timeout too small")},
        {"target 4 tcpopen6 192.0.2.1,80,10,5", error("invalid IPv6-address 192.0.2.1")},
        {"target 4 maxagent 1000001", error("invalid maxagent value")},
        {"target 4 maxagent -1", error("invalid maxagent value")},
        {"target 4 maxsessions -1", error("invalid maxsessions value")},
        {"target 4 maxgrpsessions 1000001", error("invalid maxgrpsessions value")},
        {"target 4 sessiongroup 101", error("invalid sessiongroup value")},
        {"target 4 trackval -1", error("invalid trackval")},
        {"target 4 trackval 255", error("invalid trackval")},
        {"target 4 weight 0", error("invalid weight")},
        {"target 4 weight 101", error("invalid weight")},
        {"target 4 offset -1", error("invalid offset")},
        {"target 4 scale -0.5", error("invalid floating point")},
        {"target 4 scale abc", error("invalid floating point")},
        {"target 4 scale nan", error("invalid floating point")},
        {"target 4 lgrp ab", error("invalid target lgrp specifier")},
        {"target 4 lgrp 1", error("invalid target lgrp specifier")},
        {"target 4 lgrp a", error("invalid target lgrp specifier")},
        {"target 4 dsr yes", error("syntax error in target subcommand")},
        {"target 4 pseudo yes", error("syntax error in target subcommand")},
        {"target 4 frobnicate 1", error("unknown target subcommand frobnicate")},
    };
    for (const Case &c : cases) {
        int r = -1;
        EXPECT_EQ(run_line(c.line, &r), c.output) << c.line;
        EXPECT_EQ(r, 0) << c.line;
    }
    // Refused values left the target at its defaults.
    kvn_test_reset();
    TARGET fresh = cfg.targets[4];
    for (const Case &c : cases)
        if (strstr(c.line, "ipaddr6") == nullptr)
            run_line(c.line);
    const TARGET &t = cfg.targets[4];
    EXPECT_EQ(memcmp(&t.ping, &fresh.ping, sizeof t.ping), 0);
    EXPECT_EQ(memcmp(&t.agent, &fresh.agent, sizeof t.agent), 0);
    EXPECT_EQ(memcmp(&t.tcpopen6, &fresh.tcpopen6, sizeof t.tcpopen6), 0);
    EXPECT_EQ(t.weight, 1);
    EXPECT_EQ(t.scale, 1.0);
    EXPECT_EQ(t.trackval, 0);
    EXPECT_EQ(t.lgrp, 0);
    EXPECT_EQ(t.autodisablecount, 1);
    EXPECT_EQ(t.sid, sid_dst);
}

TEST_F(TargetCommands, AcceptedValues)
{
    const char *lines[] = {
        "target 4 ip 192.0.2.4",     "target 4 ipaddr6 2001:db8::4", "target 4 se dst+ports",
        "target 4 p 8080",           "target 4 v 192.0.2.1",          "target 4 pro sctp",
        "target 4 sn e",             "target 4 a on",                 "target 4 autodisablecount 3",
        "target 4 sc enable",        "target 4 maxa 100",             "target 4 maxs 1000000",
        "target 4 maxg default",     "target 4 sessiongroup 100",     "target 4 tr 254",
        "target 4 w 100",            "target 4 ao 5",                 "target 4 asca 2.5",
        "target 4 al \"mail x\"",    "target 4 up \"mail y\"",        "target 4 lg Q",
        "target 4 n db1",            "target 4 d on",                 "target 4 pse enable",
    };
    for (const char *l : lines) {
        int r = -1;
        EXPECT_EQ(run_line(l, &r), OK) << l;
        EXPECT_EQ(r, 1) << l;
    }
    const TARGET &t = cfg.targets[4];
    const uint8_t v4[4] = {192, 0, 2, 4};
    const uint8_t gw[4] = {192, 0, 2, 1};
    EXPECT_EQ(memcmp(t.ipaddr, v4, 4), 0);
    EXPECT_EQ(t.ipaddr6[15], 4);
    EXPECT_EQ(t.sid, sid_dst_ports);
    EXPECT_EQ(ntohs(t.port), 8080);
    EXPECT_EQ(memcmp(t.router, gw, 4), 0);
    EXPECT_EQ(t.protocol, PROTO_SCTP);
    EXPECT_EQ(t.snat, 1);
    EXPECT_EQ(t.autodisable, 1);
    EXPECT_EQ(t.autodisablecount, 3);
    EXPECT_EQ(t.screate, 1);
    EXPECT_EQ(t.maxagent, 100);
    EXPECT_EQ(t.maxsessions, 1000000);
    EXPECT_EQ(t.maxgrpsessions, 0);
    EXPECT_EQ(t.sessiongroup, 100);
    EXPECT_EQ(t.trackval, 254);
    EXPECT_EQ(t.weight, 100);
    EXPECT_EQ(t.offset, 5);
    EXPECT_EQ(t.scale, 2.5);
    EXPECT_STREQ(t.alert, "mail x");
    EXPECT_STREQ(t.upalert, "mail y");
    EXPECT_EQ(t.lgrp, 'Q');
    EXPECT_STREQ(t.name, "db1");
    EXPECT_EQ(t.dsr, 1);
    EXPECT_EQ(t.pseudo, 1);

    // Resets.
    const char *resets[] = {"target 4 ipaddr none", "target 4 ipaddr6 none", "target 4 autodisable default",
                            "target 4 autodisablecount default", "target 4 screate off", "target 4 trackval default",
                            "target 4 lgrp off", "target 4 alert none", "target 4 name \"\"",
                            "target 4 dsr off", "target 4 port 70000"};
    for (const char *l : resets)
        EXPECT_EQ(run_line(l), OK) << l;
    EXPECT_EQ(t.ipaddr[0], 0);
    EXPECT_EQ(t.ipaddr6[15], 0);
    EXPECT_EQ(t.autodisable, 0);
    EXPECT_EQ(t.autodisablecount, 1);
    EXPECT_EQ(t.screate, 0);
    EXPECT_EQ(t.trackval, 0);
    EXPECT_EQ(t.lgrp, 0);
    EXPECT_STREQ(t.alert, "");
    EXPECT_STREQ(t.name, "");
    EXPECT_EQ(t.dsr, 0);
    EXPECT_EQ(ntohs(t.port), 4464);
}

// Abbreviated switch values pick the first keyword they fit, in the order
// each subcommand lists them: "o" is on for autodisable, screate, dsr and
// pseudo, and off for snat.
TEST_F(TargetCommands, AbbreviatedSwitchValues)
{
    struct Case {
        const char *line;
        int32_t TARGET::*field;
        int32_t expect;
    } cases[] = {
        {"target 4 dsr o", &TARGET::dsr, 1},
        {"target 4 pseudo o", &TARGET::pseudo, 1},
        {"target 4 autodisable o", &TARGET::autodisable, 1},
        {"target 4 screate o", &TARGET::screate, 1},
        {"target 4 snat o", &TARGET::snat, 0},
        {"target 4 dsr of", &TARGET::dsr, 0},
        {"target 4 pseudo d", &TARGET::pseudo, 0},
    };
    for (const Case &c : cases) {
        cfg.targets[4].*c.field = 1 - c.expect;
        EXPECT_EQ(run_line(c.line), OK) << c.line;
        EXPECT_EQ(cfg.targets[4].*c.field, c.expect) << c.line;
    }
}

TEST_F(TargetCommands, ProbeValues)
{
    TARGET &t = cfg.targets[4];
    t.ping.lastok = 77;
    t.ping.counter = 3;
    EXPECT_EQ(run_line("target 4 ping 10,3"), OK);
    EXPECT_EQ(t.ping.interval, 10);
    EXPECT_EQ(t.ping.timeout, 3);
    EXPECT_EQ(t.ping.lastok, 0u);   // results restart with a new setting
    EXPECT_EQ(t.ping.counter, 0);
    EXPECT_EQ(run_line("target 4 ping 10.0.0.9,5,3"), OK);
    const uint8_t probe[4] = {10, 0, 0, 9};
    EXPECT_EQ(memcmp(t.ping.addr, probe, 4), 0);
    EXPECT_EQ(t.ping.interval, 5);
    // Without an address item the probe address stays.
    EXPECT_EQ(run_line("target 4 ping ,7,,4,"), OK);
    EXPECT_EQ(memcmp(t.ping.addr, probe, 4), 0);
    EXPECT_EQ(t.ping.interval, 7);
    EXPECT_EQ(t.ping.timeout, 4);
    EXPECT_EQ(run_line("target 4 ping off"), OK);
    EXPECT_EQ(t.ping.interval, 0);

    EXPECT_EQ(run_line("target 4 agent 8888,10,2"), OK);
    EXPECT_EQ(t.agent.port, 8888);
    EXPECT_EQ(t.agent.interval, 10);
    EXPECT_EQ(t.agent.timeout, 2);
    EXPECT_EQ(run_line("target 4 tcpopen6 2001:db8::9,443,10,5"), OK);
    EXPECT_EQ(t.tcpopen6.addr[15], 9);
    EXPECT_EQ(t.tcpopen6.port, 443);
    EXPECT_EQ(run_line("target 4 ping6 2001:db8::8,10,3"), OK);
    EXPECT_EQ(t.ping6.addr[15], 8);
}

TEST_F(TargetCommands, AgentExclusions)
{
    EXPECT_EQ(run_line("target 4 agent 8888,10,5"), OK);
    EXPECT_EQ(run_line("target 4 agent6 8888,10,5"), error("already agent active for target 4"));
    EXPECT_EQ(run_line("target 4 ascript \"/bin/load x\",10,5"), error("agent needs to be deactivated for ascript"));
    EXPECT_EQ(run_line("target 4 agent off"), OK);
    EXPECT_EQ(run_line("target 4 agent6 8888,10,5"), OK);
    EXPECT_EQ(run_line("target 4 agent 8888,10,5"), error("already agent6 active for target 4"));
    // agent6 and ascript would feed the same agent value.
    EXPECT_EQ(run_line("target 4 ascript \"/bin/load x\",10,5"), error("agent6 needs to be deactivated for ascript"));
    EXPECT_EQ(run_line("target 4 agent6 off"), OK);
    EXPECT_EQ(run_line("target 4 ascript \"/bin/load x\",10,5"), OK);
    EXPECT_EQ(run_line("target 4 agent 8888,10,5"), error("ascript needs to be deactivated for agent"));
    EXPECT_EQ(run_line("target 4 agent6 8888,10,5"), error("ascript needs to be deactivated for agent6"));
    // Switching off is always accepted.
    EXPECT_EQ(run_line("target 4 agent off"), OK);
    EXPECT_EQ(run_line("target 4 ascript off"), OK);
    EXPECT_EQ(run_line("target 4 agent 8888,10,5"), OK);
}

TEST_F(TargetCommands, ScriptSpecifications)
{
    TARGET &t = cfg.targets[4];
    EXPECT_EQ(run_line("target 4 script \"/usr/bin/check -p 80\",10,5"), OK);
    EXPECT_STREQ(t.script.cmd, "/usr/bin/check -p 80");
    EXPECT_EQ(t.script.interval, 10);
    EXPECT_EQ(t.script.timeout, 5);
    EXPECT_EQ(run_line("target 4 script6 \"c6\",1,2"), OK);
    EXPECT_STREQ(t.script6.cmd, "c6");

    struct Case {
        const char *line;
        std::string output;
    } cases[] = {
        {"target 4 script /bin/x,10,5", error("syntax error in script specification")},
        {"target 4 script \"/bin/x\",10", error("syntax error in script specification")},
        {"target 4 script \"\",10,5", error("syntax error in script specification")},
        {"target 4 script \"/bin/x\",0,5", error("invalid script interval")},
        {"target 4 script \"/bin/x\",10,1", error("script timeout too small")},
        {"target 4 script6 \"/bin/x\",0,5", error("invalid script6 interval")},
        {"target 4 script6 \"/bin/x\",1,1", error("script6 timeout too small")},
        {"target 4 script6 x", error("syntax error in script6 specification")},
    };
    for (const Case &c : cases)
        EXPECT_EQ(run_line(c.line), c.output) << c.line;
    EXPECT_STREQ(t.script.cmd, "/usr/bin/check -p 80");  // refused values change nothing
    EXPECT_STREQ(t.script6.cmd, "c6");

    std::string longcmd(140, 'x');
    std::string spec151 = "\"" + longcmd + "\",10,5";  // 151 characters
    spec151 += std::string(151 - spec151.size(), '0');
    ASSERT_EQ(spec151.size(), 151u);
    EXPECT_EQ(run_line("target 4 script " + spec151), error("script specification exceeds maxlen"));
    EXPECT_EQ(run_line("target 4 ascript " + spec151), error("ascript specification exceeds maxlen"));
    std::string spec150 = spec151.substr(0, 150);
    EXPECT_EQ(run_line("target 4 script " + spec150), OK);

    // ascript: a syntax or interval fault clears it; a small timeout does not.
    EXPECT_EQ(run_line("target 4 ascript \"/bin/a b\",10,5"), OK);
    EXPECT_EQ(run_line("target 4 ascript \"/bin/a\",10,1"), error("ascript timeout too small"));
    EXPECT_STREQ(t.ascript.cmd, "/bin/a b");
    EXPECT_EQ(run_line("target 4 ascript \"/bin/a\",0,5"), error("invalid ascript interval"));
    EXPECT_STREQ(t.ascript.cmd, "");
    EXPECT_EQ(run_line("target 4 ascript \"/bin/a b\",10,5"), OK);
    EXPECT_EQ(run_line("target 4 ascript nonsense"), error("syntax error in ascript specification"));
    EXPECT_STREQ(t.ascript.cmd, "");
    EXPECT_EQ(t.ascript.interval, 0);

    for (const char *off : {"none", "off", "\"\""}) {
        run_line("target 4 script \"/bin/x\",10,5");
        EXPECT_EQ(run_line(std::string("target 4 script ") + off), OK) << off;
        EXPECT_STREQ(t.script.cmd, "") << off;
        EXPECT_EQ(t.script.interval, 0) << off;
    }
}

TEST_F(TargetCommands, SessionIdNames)
{
    for (const char *n : {"dst", "dst+port", "dst+srcport", "dst+ports", "src+dst", "dst+src", "sip"}) {
        EXPECT_EQ(run_line(std::string("target 4 sessionid ") + n), OK) << n;
        EXPECT_STREQ(sid_name(cfg.targets[4].sid), n);
    }
}

TEST_F(TargetCommands, RegisteredTargetRefusesEveryForm)
{
    cfg.targets[4].registered = 1;
    const std::string refused = error("cannot change registered target, unregister first");
    EXPECT_EQ(run_line("target 4 weight 5"), refused);
    EXPECT_EQ(run_line("target 4 {"), refused);
    EXPECT_EQ(cfg.targets[4].weight, 1);
    cfg_scratch_begin();  // the dry run works on a copy of the running tables
    interp.reload_pass = 1;
    EXPECT_EQ(run_line("target 4 weight 5"), OK);
    EXPECT_EQ(cfg.targets[4].weight, 1);
    interp.reload_pass = 2;
    EXPECT_EQ(run_line("target 4 weight 5"), OK);
    EXPECT_EQ(cfg.targets[4].weight, 5);
    interp.reload_pass = 0;
}

TEST_F(TargetCommands, BlockWithQuotedScript)
{
    EXPECT_EQ(run_line("target 6 {"), "kvn+ ");
    EXPECT_STREQ(interp.context_object, "6");
    EXPECT_EQ(run_line("script \"/bin/check a b\",10,5"), "kvn+ ");
    EXPECT_EQ(run_line("}"), OK);
    EXPECT_STREQ(cfg.targets[6].script.cmd, "/bin/check a b");
    EXPECT_EQ(run_line("target 6 ]"), error("argument error"));
}

const char *const FULL_TARGET[] = {
    "target 9 name \"db one\"",
    "target 9 ipaddr 192.0.2.9",
    "target 9 ipaddr6 2001:db8::9",
    "target 9 router 192.0.2.1",
    "target 9 port 5432",
    "target 9 protocol tcp",
    "target 9 lgrp D",
    "target 9 ping 10,3",
    "target 9 ping6 2001:db8::99,10,3",
    "target 9 agent 198.51.100.9,3333,10,5",
    "target 9 weight 7",
    "target 9 offset 3",
    "target 9 scale 1.5",
    "target 9 tcpopen 5432,20,6",
    "target 9 tcpopen6 2001:db8::9,5432,20,6",
    "target 9 script \"/bin/check $ip$ x\",30,10",
    "target 9 script6 \"/bin/check6\",30,10",
    "target 9 autodisable on",
    "target 9 autodisablecount 4",
    "target 9 snat enable",
    "target 9 screate enable",
    "target 9 alert \"/bin/mail down\"",
    "target 9 upalert \"/bin/mail up\"",
    "target 9 trackval 20",
    "target 9 maxagent 500",
    "target 9 sessiongroup 2",
    "target 9 maxsessions 1000",
    "target 9 maxgrpsessions 2000",
    "target 9 sessionid dst+src",
    "target 9 dsr enable",
    "target 9 pseudo enable",
};

const char *const FULL_BLOCK =
    "target    9 {\n"
    "          name \"db one\"\n"
    "          ipaddr 192.0.2.9\n"
    "          ipaddr6 2001:db8::9\n"
    "          router 192.0.2.1\n"
    "          port 5432\n"
    "          protocol tcp\n"
    "          lgrp D\n"
    "          ping 10,3\n"
    "          ping6 2001:db8::99,10,3\n"
    "          agent 198.51.100.9,3333,10,5\n"
    "          weight 7\n"
    "          offset 3\n"
    "          scale 1.5\n"
    "          tcpopen 5432,20,6\n"
    "          tcpopen6 2001:db8::9,5432,20,6\n"
    "          script \"/bin/check $ip$ x\",30,10\n"
    "          script6 \"/bin/check6\",30,10\n"
    "          autodisable on\n"
    "          autodisablecount 4\n"
    "          snat enable\n"
    "          screate enable\n"
    "          alert \"/bin/mail down\"\n"
    "          upalert \"/bin/mail up\"\n"
    "          trackval 20\n"
    "          maxagent 500\n"
    "          sessiongroup 2\n"
    "          maxsessions 1000\n"
    "          maxgrpsessions 2000\n"
    "          sessionid dst+src\n"
    "          dsr enable\n"
    "          pseudo enable\n"
    "}         \n";

TEST_F(TargetCommands, BlockWriterFullyConfigured)
{
    for (const char *l : FULL_TARGET)
        ASSERT_EQ(run_line(l), OK) << l;
    EXPECT_EQ(block(9), FULL_BLOCK);
    EXPECT_EQ(block(10), "target    10 {\n}         \n");

    // ascript is written where the scripts are; agent6 where agent is.
    run_line("target 9 agent off");
    run_line("target 9 ascript \"/bin/load\",10,5");
    std::string b = block(9, LINEFMT_SCREEN);
    EXPECT_EQ(b.find("\n            agent "), std::string::npos);
    EXPECT_NE(b.find("            script6 \"/bin/check6\",30,10\n            ascript \"/bin/load\",10,5\n"),
              std::string::npos);
}

TEST_F(TargetCommands, BlockTextLoadsBackUnchanged)
{
    for (const char *l : FULL_TARGET)
        run_line(l);
    std::string text = block(9);
    kvn_test_reset();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        EXPECT_EQ(run_line(text.substr(pos, end - pos)).substr(0, 3), "kvn") << text.substr(pos, end - pos);
        pos = end + 1;
    }
    EXPECT_EQ(interp.context_command[0], '\0');
    EXPECT_EQ(block(9), FULL_BLOCK);
}

TEST_F(TargetCommands, InvalidStoredLgrpIsLoggedNotWritten)
{
    cfg.targets[3].lgrp = 'a';
    EXPECT_EQ(block(3), "target    3 {\n}         \n");
}

TEST_F(TargetCommands, ShowTargets)
{
    run_line("target 1 ipaddr 192.0.2.11");
    run_line("target 1 port 80");
    run_line("target 1 name web1");
    run_line("target 2 ipaddr6 2001:db8::12");
    run_line("target 2 agent 3333,10,5");
    cfg.targets[1].registered = 1;
    cfg.targets[1].enabled = 1;
    cfg.targets[1].operational = 1;
    cfg.targets[2].registered = 1;
    cfg.targets[2].server = SERVERREF_SEVERAL;
    EXPECT_EQ(run_line("show targets"),
              "  no ipaddr     ipaddr6      si port prt net net6 srv sessions status      info name \n"
              "  -- ---------- ------------ -- ---- --- --- ---- --- -------- ----------- ---- ---- \n"
              "   1 192.0.2.11 -             -   80 any   0    0   0        0 operational -    web1 \n"
              "   2 -          2001:db8::12  -  any any   0    0   *        0 disabled    -    -    \n"
              "kvn# ");
    EXPECT_EQ(run_line("show target 2"),
              "target 2\n"
              "  ipaddr    0.0.0.0\n"
              "  ipaddr6   2001:db8::12\n"
              "  port      any\n"
              "  network   0\n"
              "  protocol  any\n"
              "  status    disabled\n"
              "  agent     down\n"
              "  eff_agent 0\n"
              "kvn# ");
    EXPECT_EQ(run_line("show target 2049"), error("target index out of range"));
}

}  // namespace
