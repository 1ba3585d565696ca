// The server command through the interpreter: values, limits, messages,
// abbreviations, blocks, the registered-server refusal, the block writer
// and the show items.
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

class ServerCommands : public ::testing::Test {
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
    write_server_block(c.f, fmt, n);
    return c.str();
}

std::vector<int> list_of(const int32_t *l, int n)
{
    return std::vector<int>(l, l + n);
}

TEST_F(ServerCommands, MessagesOfRefusedValues)
{
    struct Case {
        const char *line;
        std::string output;
    } cases[] = {
        {"server 0 port 80", error("server index out of range")},
        {"server 1025 port 80", error("server index out of range")},
        {"server x port 80", error("server index out of range")},
        {"server 3 port", error("argument error")},
        {"server 3 ipaddr 192.0.2.256", error("invalid ip4-address 192.0.2.256")},
        {"server 3 ipaddr \"\"", error("invalid ip4-address ")},
        {"server 3 sessionid dst", error("invalid sessionid handler dst for server 3")},
        {"server 3 sessionid src+p", error("invalid sessionid handler src+p for server 3")},
        {"server 3 ipaddr6 2001:db8::zz", error("invalid IPv6-address 2001:db8::zz")},
        {"server 3 gslbttl 9", error("gslbttl out of range")},
        {"server 3 gslbttl 86401", error("gslbttl out of range")},
        {"server 3 gslbtt 600", error("unknown server subcommand gslbtt")},
        {"server 3 gs enable", error("unknown server subcommand gs")},
        {"server 3 ipd enable", error("unknown server subcommand ipd")},
        {"server 3 portrel maybe", error("unknown port relevance maybe")},
        {"server 3 proxy yes", error("unknown proxy directive yes")},
        {"server 3 snat yes", error("unknown snat specifier yes")},
        {"server 3 failover other", error("unknown failover mode other")},
        {"server 3 ipdb on", error("unknown ipdb option on")},
        {"server 3 gslb on", error("unknown gslb option on")},
        {"server 3 method fastest", error("unknown load balancing method fastest")},
        {"server 3 protocol icmp", error("unknown protocol specifier icmp")},
        {"server 3 stimeout 9", error("stimeout value invalid or out of range: [9]")},
        {"server 3 stimeout 172801", error("stimeout value invalid or out of range: [172801]")},
        {"server 3 stimeout 1h", error("stimeout value invalid or out of range: [1h]")},
        {"server 3 stimeout -1", error("stimeout value invalid or out of range: [-1]")},
        {"server 3 ftimeout 4", error("ftimeout value invalid or out of range (5-172800): [4]")},
        {"server 3 ftimeout 172801", error("ftimeout value invalid or out of range (5-172800): [172801]")},
        {"server 3 targets 1,x", error("invalid target spec x")},
        {"server 3 targets 1,backend-twelve-of-the-east-rack-row-3",
         error("invalid target spec backend-twelve-of-the-east-rack-row-3")},
        {"server 3 backups 1,backend-twelve-of-the-east-rack-row-3",
         error("invalid backup target spec backend-twelve-of-the-east-rack-row-3")},
        {"server 3 targets 2049", error("invalid target spec 2049")},
        {"server 3 backups 1,0", error("invalid backup target spec 0")},
        {"server 3 frobnicate 1", error("unknown server subcommand frobnicate")},
    };
    for (const Case &c : cases) {
        int r = -1;
        EXPECT_EQ(run_line(c.line, &r), c.output) << c.line;
        EXPECT_EQ(r, 0) << c.line;
    }
    // Nothing was stored by the refused lines except what the list and
    // IPv6 rules keep: the IPv6 address is cleared, the list holds the
    // entries before the bad one.
    const SERVER &s = cfg.servers[3];
    EXPECT_EQ(s.gslbttl, 600);
    EXPECT_EQ(s.stimeout, 0);
    EXPECT_EQ(s.ftimeout, 0);
    EXPECT_EQ(s.sid, sid_src);
    EXPECT_EQ(list_of(s.targets, s.ntargets), std::vector<int>{});
    EXPECT_EQ(s.nbackups, 1);
}

TEST_F(ServerCommands, AcceptedValues)
{
    struct Case {
        const char *line;
    } lines[] = {
        {"server 3 ip 192.0.2.10"},
        {"server 3 ipaddr6 2001:db8::10"},
        {"server 3 p 80"},
        {"server 3 prot udp"},
        {"server 3 s src+ports"},
        {"server 3 portrel y"},
        {"server 3 pr e"},
        {"server 3 sn on"},
        {"server 3 f b"},
        {"server 3 ipdb enable"},
        {"server 3 gslb dispatch"},
        {"server 3 gslbttl 60"},
        {"server 3 m bwi"},
        {"server 3 st null"},
        {"server 3 ft 30"},
        {"server 3 n web"},
        {"server 3 pl \"/bin/plug -x\""},
    };
    for (const Case &c : lines) {
        int r = -1;
        EXPECT_EQ(run_line(c.line, &r), OK) << c.line;
        EXPECT_EQ(r, 1) << c.line;
    }
    const SERVER &s = cfg.servers[3];
    const uint8_t v4[4] = {192, 0, 2, 10};
    EXPECT_EQ(memcmp(s.ipaddr, v4, 4), 0);
    EXPECT_EQ(s.ipaddr6[15], 0x10);
    EXPECT_EQ(ntohs(s.port), 80);
    EXPECT_EQ(s.protocol, PROTO_UDP);
    EXPECT_EQ(s.sid, sid_src_ports);
    EXPECT_EQ(s.portrel, 1);
    EXPECT_EQ(s.proxy, 1);
    EXPECT_EQ(s.snat, 1);
    EXPECT_EQ(s.failover, FAILOVER_BACKUP);
    EXPECT_EQ(s.ipdb, 1);
    EXPECT_EQ(s.gslb, GSLB_DISPATCH);
    EXPECT_EQ(s.gslbttl, 60);
    EXPECT_EQ(s.method, METHOD_BWIN);
    EXPECT_EQ(s.stimeout, STIMEOUT_NULL);
    EXPECT_EQ(s.ftimeout, 30);
    EXPECT_STREQ(s.name, "web");
    EXPECT_STREQ(s.plugin, "/bin/plug -x");

    // Method keywords in their matching order.
    struct Method {
        const char *word;
        int code;
    } methods[] = {{"r", METHOD_RR}, {"default", METHOD_RR}, {"h", METHOD_HASH}, {"ra", METHOD_RANDOM},
                   {"a", METHOD_AGENT}, {"rn", METHOD_RNDAGENT}, {"s", METHOD_SESSION}, {"b", METHOD_BW},
                   {"bw", METHOD_BW}, {"bwo", METHOD_BWOUT}};
    for (const Method &m : methods) {
        EXPECT_EQ(run_line(std::string("server 4 method ") + m.word), OK) << m.word;
        EXPECT_EQ(cfg.servers[4].method, m.code) << m.word;
    }
    // Resets.
    EXPECT_EQ(run_line("server 3 stimeout default"), OK);
    EXPECT_EQ(cfg.servers[3].stimeout, 0);
    EXPECT_EQ(run_line("server 3 stimeout 10"), OK);
    EXPECT_EQ(cfg.servers[3].stimeout, 10);
    EXPECT_EQ(run_line("server 3 stimeout 0"), OK);
    EXPECT_EQ(cfg.servers[3].stimeout, 0);
    EXPECT_EQ(run_line("server 3 ftimeout 0"), OK);
    EXPECT_EQ(cfg.servers[3].ftimeout, 0);
    EXPECT_EQ(run_line("server 3 ipaddr6 none"), OK);
    EXPECT_EQ(cfg.servers[3].ipaddr6[15], 0);
    EXPECT_EQ(run_line("server 3 name none"), OK);
    EXPECT_STREQ(cfg.servers[3].name, "");
    EXPECT_EQ(run_line("server 3 name no"), OK);  // free text: only `none` clears
    EXPECT_STREQ(cfg.servers[3].name, "no");
    EXPECT_EQ(run_line("server 3 plugin \"\""), OK);
    EXPECT_STREQ(cfg.servers[3].plugin, "");
}

TEST_F(ServerCommands, InvalidIpv6ClearsTheAddress)
{
    run_line("server 3 ipaddr6 2001:db8::10");
    EXPECT_EQ(run_line("server 3 ipaddr6 bogus"), error("invalid IPv6-address bogus"));
    EXPECT_EQ(memcmp(cfg.servers[3].ipaddr6, std::array<uint8_t, 16>{}.data(), 16), 0);
}

TEST_F(ServerCommands, PortSpecifications)
{
    struct Case {
        const char *value;
        int port;
        int port2;
    } cases[] = {
        {"80", 80, 0},       {"80,443", 80, 443}, {"0,8080", 8080, 0}, {",8080", 8080, 0},
        {"80,80", 80, 0},    {"80,,443", 80, 443}, {"70000", 4464, 0},  {"x", 0, 0},
        {"80,443,8080", 80, 443},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(run_line(std::string("server 3 ports ") + c.value), OK) << c.value;
        EXPECT_EQ(ntohs(cfg.servers[3].port), c.port) << c.value;
        EXPECT_EQ(ntohs(cfg.servers[3].port2), c.port2) << c.value;
    }
    // A server on every address keeps no port.
    run_line("server 3 ports 80,443");
    EXPECT_EQ(run_line("server 3 ipaddr any"), OK);
    EXPECT_EQ(cfg.servers[3].port, 0);
    EXPECT_EQ(cfg.servers[3].port2, 0);
    EXPECT_EQ(run_line("server 3 port 80"), OK);
    EXPECT_EQ(cfg.servers[3].port, 0);
    const uint8_t any[4] = {255, 255, 255, 255};
    EXPECT_EQ(memcmp(cfg.servers[3].ipaddr, any, 4), 0);
}

TEST_F(ServerCommands, TargetLists)
{
    EXPECT_EQ(run_line("server 3 targets 1,2,,3"), OK);
    EXPECT_EQ(list_of(cfg.servers[3].targets, cfg.servers[3].ntargets), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(run_line("server 3 targets 1,0"), error("invalid target spec 0"));
    EXPECT_EQ(list_of(cfg.servers[3].targets, cfg.servers[3].ntargets), std::vector<int>{1});
    EXPECT_EQ(run_line("server 3 targets 5,5,2048"), OK);  // repeats allowed
    EXPECT_EQ(list_of(cfg.servers[3].targets, cfg.servers[3].ntargets), (std::vector<int>{5, 5, 2048}));
    EXPECT_EQ(run_line("server 3 targets none"), OK);
    EXPECT_EQ(cfg.servers[3].ntargets, 0);
    EXPECT_EQ(run_line("server 3 targets ,"), OK);
    EXPECT_EQ(cfg.servers[3].ntargets, 0);

    std::string list;
    for (int i = 1; i <= 65; i++)
        list += (i > 1 ? "," : "") + std::to_string(i);
    EXPECT_EQ(run_line("server 3 targets " + list), error("too many targets for this server"));
    EXPECT_EQ(cfg.servers[3].ntargets, 64);
    EXPECT_EQ(cfg.servers[3].targets[63], 64);
    EXPECT_EQ(run_line("server 3 backups " + list), error("too many backup targets for this server"));
    EXPECT_EQ(cfg.servers[3].nbackups, 64);
    EXPECT_EQ(run_line("server 3 backup 7"), OK);
    EXPECT_EQ(list_of(cfg.servers[3].backups, cfg.servers[3].nbackups), std::vector<int>{7});
}

TEST_F(ServerCommands, SessionIdNamesMustBeTypedInFull)
{
    const char *names[] = {"src", "src+port", "src+dstport", "src+ports", "src+dst", "dst+src", "sip"};
    for (const char *n : names) {
        EXPECT_EQ(run_line(std::string("server 3 sessionid ") + n), OK) << n;
        EXPECT_STREQ(sid_name(cfg.servers[3].sid), n);
    }
    EXPECT_EQ(run_line("server 3 sessionid s"), error("invalid sessionid handler s for server 3"));
}

TEST_F(ServerCommands, RegisteredServerRefusesEveryForm)
{
    cfg.servers[3].registered = 1;
    const std::string refused = error("cannot change registered server, unregister first");
    EXPECT_EQ(run_line("server 3 port 81"), refused);
    EXPECT_EQ(run_line("server 3 {"), refused);
    EXPECT_EQ(run_line("server 3 }"), refused);
    EXPECT_EQ(cfg.servers[3].port, 0);
    EXPECT_EQ(interp.context_command[0], '\0');
    // During a reload the tables are rebuilt from the files.
    interp.reload_pass = 2;
    EXPECT_EQ(run_line("server 3 port 81"), OK);
    EXPECT_EQ(ntohs(cfg.servers[3].port), 81);
    // Pass 1, the dry run, checks every line in full on a copy and leaves
    // the running server alone.
    cfg_scratch_begin();  // the dry run works on a copy of the running tables
    interp.reload_pass = 1;
    EXPECT_EQ(run_line("server 3 port 82"), OK);
    EXPECT_EQ(run_line("server 4 method nonsense"), error("unknown load balancing method nonsense"));
    EXPECT_EQ(ntohs(cfg_edit().servers[3].port), 82);
    EXPECT_EQ(ntohs(cfg.servers[3].port), 81);
    interp.reload_pass = 0;
}

TEST_F(ServerCommands, Blocks)
{
    EXPECT_EQ(run_line("server 5 {"), "kvn+ ");
    EXPECT_STREQ(interp.context_command, "server");
    EXPECT_STREQ(interp.context_object, "5");
    EXPECT_EQ(run_line("port 80"), "kvn+ ");
    EXPECT_EQ(run_line("protocol tcp"), "kvn+ ");
    EXPECT_EQ(run_line("nonsense 1"), "  ERROR: unknown server subcommand nonsense\nkvn+ ");
    EXPECT_EQ(run_line("}"), OK);
    EXPECT_EQ(ntohs(cfg.servers[5].port), 80);
    EXPECT_EQ(cfg.servers[5].protocol, PROTO_TCP);
    EXPECT_EQ(run_line("server 5 x"), error("argument error"));
    EXPECT_EQ(run_line("server 1025 {"), error("server index out of range"));
    // The abbreviated command word opens a block under the full word.
    EXPECT_EQ(run_line("ser 6 {"), "kvn+ ");
    EXPECT_STREQ(interp.context_command, "server");
    EXPECT_EQ(run_line(""), OK);
}

TEST_F(ServerCommands, BlockWriterFullyConfigured)
{
    const char *lines[] = {
        "server 7 name \"web farm\"",
        "server 7 gslb dispatch",
        "server 7 gslbttl 60",
        "server 7 ipaddr 192.0.2.10",
        "server 7 ipaddr6 2001:db8::10",
        "server 7 ports 80,8080",
        "server 7 protocol tcp",
        "server 7 sessionid src+dst",
        "server 7 portrel on",
        "server 7 proxy enable",
        "server 7 snat enable",
        "server 7 ipdb enable",
        "server 7 plugin \"/opt/plug --fast\"",
        "server 7 method rndagent",
        "server 7 stimeout null",
        "server 7 ftimeout 30",
        "server 7 failover backup",
        "server 7 targets 1,2,3",
        "server 7 backup 4",
    };
    for (const char *l : lines)
        ASSERT_EQ(run_line(l), OK) << l;
    EXPECT_EQ(block(7),
              "server    7 {\n"
              "          name \"web farm\"\n"
              "          gslb dispatch\n"
              "          gslbttl 60\n"
              "          ipaddr 192.0.2.10\n"
              "          ipaddr6 2001:db8::10\n"
              "          ports 80,8080\n"
              "          protocol tcp\n"
              "          sessionid src+dst\n"
              "          portrel on\n"
              "          proxy enable\n"
              "          snat enable\n"
              "          ipdb enable\n"
              "          plugin \"/opt/plug --fast\"\n"
              "          method rndagent\n"
              "          stimeout null\n"
              "          ftimeout 30\n"
              "          failover backup\n"
              "          targets 1,2,3\n"
              "          backup 4\n"
              "}         \n");
    // GSLB enable leaves out the address part.
    run_line("server 7 gslb enable");
    run_line("server 7 stimeout 900");
    std::string b = block(7, LINEFMT_SCREEN);
    EXPECT_NE(b.find("            gslb enable\n"), std::string::npos);
    EXPECT_EQ(b.find("ipaddr"), std::string::npos);
    EXPECT_EQ(b.find("sessionid"), std::string::npos);
    EXPECT_NE(b.find("            stimeout 900\n"), std::string::npos);
    // Defaults write nothing but the frame.
    EXPECT_EQ(block(8), "server    8 {\n}         \n");
    run_line("server 8 ipaddr any");
    run_line("server 8 port 25");
    EXPECT_EQ(block(8), "server    8 {\n          ipaddr any\n}         \n");
}

TEST_F(ServerCommands, BlockTextLoadsBack)
{
    const char *lines[] = {"server 9 ipaddr 198.51.100.9", "server 9 port 443", "server 9 method hash",
                           "server 9 targets 3,1", "server 9 sessionid sip", "server 9 name \"a b\""};
    for (const char *l : lines)
        run_line(l);
    std::string text = block(9);
    SERVER before = cfg.servers[9];
    kvn_test_reset();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        run_line(text.substr(pos, end - pos));
        pos = end + 1;
    }
    EXPECT_EQ(block(9), text);
    EXPECT_EQ(cfg.servers[9].sid, before.sid);
    EXPECT_EQ(cfg.servers[9].method, METHOD_HASH);
    EXPECT_STREQ(cfg.servers[9].name, "a b");
}

TEST_F(ServerCommands, ShowServers)
{
    run_line("server 2 ipaddr 192.0.2.2");
    run_line("server 2 port 80");
    run_line("server 2 protocol tcp");
    run_line("server 2 targets 1,2,3");
    run_line("server 2 backups 4");
    cfg.servers[2].registered = 1;
    cfg.servers[2].enabled = 1;
    cfg.targets[1].enabled = 1;
    cfg.targets[1].operational = 1;
    cfg.targets[2].enabled = 1;
    run_line("server 3 ipaddr6 2001:db8::3");  // not registered: not listed
    std::string out = run_line("show servers");
    EXPECT_EQ(out,
              "  no ipaddr    ipaddr6 port prt net net6 sessions S targets   backups \n"
              "  -- --------- ------- ---- --- --- ---- -------- - --------- ------- \n"
              "   2 192.0.2.2 -         80 tcp   0    0        0 e 1,(2),[3] [4]     \n"
              "kvn# ");
    out = run_line("show server 2");
    EXPECT_EQ(out,
              "server 2\n"
              "  ipaddr    192.0.2.2\n"
              "  network   0\n"
              "  port      80\n"
              "  protocol  tcp\n"
              "  status    enabled\n"
              "  method    rr\n"
              "  portrel   off\n"
              "  proxy     disable\n"
              "  snat      disable\n"
              "  failover  normal\n"
              "  targets   1,(2),[3]\n"
              "  backups   [4]\n"
              "kvn# ");
    EXPECT_EQ(run_line("show server 0"), error("server index out of range"));
}

}  // namespace

namespace {

TEST_F(ServerCommands, HelpTopicsListTheSubcommands)
{
    std::string s = run_line("help server");
    EXPECT_NE(s.find("server <n> gslbttl <10-86400>"), std::string::npos);
    EXPECT_NE(s.find("server <n> ftimeout default|<5-172800>"), std::string::npos);
    std::string t = run_line("help target");
    EXPECT_NE(t.find("target <n> ascript none|\"<cmd>\",<interval>,<timeout>"), std::string::npos);
    EXPECT_NE(t.find("target <n> pseudo enable|disable"), std::string::npos);
}

}  // namespace
