// The network, interface, gateway and vrrp commands: values, messages,
// reload rules, node-specific values, blocks, writers and show items.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "command/interpreter.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/config_writer.h"
#include "config/local_address.h"
#include "support/support.h"

namespace {

std::string err(const std::string &msg) { return "  ERROR: " + msg + "\nkvn# "; }
const std::string OK = "kvn# ";

bool nothing_local(const uint8_t *) { return false; }

struct NetCmd : ::testing::Test {
    void SetUp() override
    {
        kvn_test_reset();
        local_address_test = nothing_local;
    }
    void TearDown() override { local_address_test = local_address_configured; }
};

struct Case {
    const char *line;
    std::string out;
};

void run_cases(const Case *cases, size_t n)
{
    for (size_t i = 0; i < n; i++)
        EXPECT_EQ(run_line(cases[i].line), cases[i].out) << cases[i].line;
}

std::string text4(const uint8_t *a)
{
    char buf[16];
    return format_ipv4(buf, sizeof buf, a);
}

TEST_F(NetCmd, NetworkValuesAndMessages)
{
    strcpy(cfg.interfaces[1].name, "kvn1");
    strcpy(cfg.interfaces[3].name, "eth1");
    cfg.interfaces[1].registered = 1;
    const Case cases[] = {
        {"network 11 addr 192.0.2.0", err("network index out of range")},
        {"network x addr 192.0.2.0", err("network index out of range")},
        {"network 2 addr 192.0.2.0", OK},
        {"network 2 a 192.0.2.300", err("invalid network address specification")},
        {"network 2 mask 255.255.255.0", OK},
        {"network 2 mas 255.255.255.0", err("unknown network subcommand mas")},
        {"network 2 mask 255.255.x.0", err("invalid mask specification")},
        {"network 2 real 192.0.2.1", OK},
        {"network 2 real nowhere", err("invalid real address specification")},
        {"network 2 virt 192.0.2.2", OK},
        {"network 2 virt 1.2.3", err("invalid virtual address specification")},
        {"network 2 mask6 64", OK},
        {"network 2 real6 2001:db8::1", OK},
        {"network 2 virt6 2001:db8::2", OK},
        {"network 2 nat outside", OK},
        {"network 2 nat sideways", err("invalid nat specifier")},
        {"network 2 name \"front net\"", OK},
        {"network 2 interfaces 1,eth1", OK},
        {"network 2 synciface eth1", OK},
        {"network 2 synciface eth7", err("unknown interface eth7")},
        {"network 2 colour blue", err("unknown network subcommand colour")},
    };
    run_cases(cases, sizeof cases / sizeof cases[0]);
    const NETWORK &net = cfg.networks[2];
    EXPECT_EQ(text4(net.addr), "192.0.2.0");
    EXPECT_EQ(text4(net.real), "192.0.2.1");
    EXPECT_EQ(net.mask6, 64);
    EXPECT_EQ(net.nat, NAT_OUTSIDE);
    EXPECT_STREQ(net.name, "front net");
    EXPECT_EQ(net.member[1], 1);
    EXPECT_EQ(net.member[3], 1);
    EXPECT_EQ(net.synciface, 3);

    // Bad IPv6 values clear the field; a bad mask6 sets 0.
    EXPECT_EQ(run_line("network 2 real6 2001:db8::zz"), err("invalid IPv6-address 2001:db8::zz"));
    EXPECT_TRUE(ipv6_is_zero(net.real6));
    EXPECT_EQ(run_line("network 2 mask6 129"), err("invalid mask6 specification"));
    EXPECT_EQ(net.mask6, 0);
    EXPECT_EQ(run_line("network 2 mask6 64"), OK);
    EXPECT_EQ(run_line("network 2 mask6 none"), OK);
    EXPECT_EQ(net.mask6, 0);

    // Members: emptied first; the items before an unknown one stay.
    EXPECT_EQ(run_line("network 2 interfaces 40"), err("unknown interface 40"));
    EXPECT_EQ(net.member[1] + net.member[3], 0);
    EXPECT_EQ(run_line("network 2 interfaces eth1,,2"), err("unknown interface 2"));
    EXPECT_EQ(net.member[3], 1);
    EXPECT_EQ(run_line("network 2 interfaces none"), OK);
    EXPECT_EQ(net.member[3], 0);
    EXPECT_EQ(run_line("network 2 name none"), OK);
    EXPECT_STREQ(net.name, "");
}

TEST_F(NetCmd, EnabledNetworkRefusesEdits)
{
    EXPECT_EQ(run_line("network 2 addr 192.0.2.0"), OK);
    EXPECT_EQ(run_line("network 2 mask 255.255.255.0"), OK);
    EXPECT_EQ(run_line("commit network 2"), OK);
    EXPECT_EQ(run_line("network 2 addr 198.51.100.0"), err("network editing not allowed in enabled state"));
    EXPECT_EQ(text4(cfg.networks[2].addr), "192.0.2.0");
}

TEST_F(NetCmd, NetworkDuringReload)
{
    EXPECT_EQ(run_line("network 1 addr 192.0.2.0"), OK);
    EXPECT_EQ(run_line("network 1 mask 255.255.255.0"), OK);
    EXPECT_EQ(run_line("network 1 nat inside"), OK);
    cfg_scratch_begin();  // the dry run works on a copy of the running tables
    interp.reload_pass = 1;
    const Case cases[] = {
        {"network 1 addr 192.0.2.0", OK},
        {"network 1 mask 255.255.255.0", OK},
        {"network 1 mask 255.255.0.0", err("invalid network mask change during reload")},
        {"network 1 addr 198.51.100.0", err("invalid network address change during reload")},
        {"network 1 addr bogus", err("invalid network address specification on reload")},
        {"network 1 real 192.0.2.4", err("invalid network real address change during reload")},
        {"network 1 virt6 2001:db8::9", err("invalid network virt6 address change during reload")},
        {"network 1 mask6 64", err("invalid network mask6 change during reload")},
        {"network 1 nat outside", err("invalid network nat change during reload")},
        {"network 1 nat inside", OK},
    };
    run_cases(cases, sizeof cases / sizeof cases[0]);
    // A refused change closes the block.
    EXPECT_EQ(run_line("network 1 {"), "kvn+ ");
    EXPECT_EQ(run_line("mask 255.255.0.0"), err("invalid network mask change during reload"));
    EXPECT_EQ(interp.context_command[0], '\0');
    // A different member set is refused and the old one restored.
    interp.reload_pass = 0;
    cfg.interfaces[1].registered = 1;
    cfg.interfaces[2].registered = 1;
    EXPECT_EQ(run_line("network 1 interface 1"), OK);
    interp.reload_pass = 2;
    EXPECT_EQ(run_line("network 1 interfaces 1,2"), err("invalid network interface change during reload"));
    EXPECT_EQ(cfg.networks[1].member[1], 1);
    EXPECT_EQ(cfg.networks[1].member[2], 0);
    EXPECT_EQ(run_line("network 1 interface 1"), OK);
    interp.reload_pass = 0;
    EXPECT_EQ(text4(cfg.networks[1].mask), "255.255.255.0");
}

TEST_F(NetCmd, NodeSpecificValuesKeptWhileLoading)
{
    interp.loading = 1;
    EXPECT_EQ(run_line("network 1 real 192.0.2.5"), OK);     // private file
    EXPECT_EQ(run_line("network 1 real 192.0.2.6"), OK);     // configuration file
    EXPECT_EQ(run_line("network 1 real6 2001:db8::5"), OK);
    EXPECT_EQ(run_line("network 1 real6 2001:db8::6"), OK);
    EXPECT_EQ(run_line("vrrp priority 200"), OK);
    EXPECT_EQ(run_line("vrrp priority 100"), OK);
    interp.loading = 0;
    EXPECT_EQ(text4(cfg.networks[1].real), "192.0.2.5");
    uint8_t want[16];
    ASSERT_TRUE(parse_ipv6("2001:db8::5", want));
    EXPECT_EQ(memcmp(cfg.networks[1].real6, want, 16), 0);
    EXPECT_EQ(cfg.vrrp.priority, 200);
    std::string log = run_line("show log");
    EXPECT_NE(log.find("maintaining node specific real address 192.0.2.5 of network 1"), std::string::npos) << log;
    EXPECT_NE(log.find("maintaining node specific real6 address of network 1"), std::string::npos);
    EXPECT_NE(log.find("maintaining node specific VRRP priority 200"), std::string::npos);
    // Outside a load the new value is taken.
    EXPECT_EQ(run_line("vrrp priority 100"), OK);
    EXPECT_EQ(cfg.vrrp.priority, 100);
}

TEST_F(NetCmd, InterfaceValuesAndMessages)
{
    int r;
    EXPECT_EQ(run_line("interface 3 threads 9", &r), err("invalid number of threads (1-8 allowed)"));
    EXPECT_EQ(r, 1);
    EXPECT_EQ(cfg.interfaces[3].threads, 1);
    EXPECT_EQ(run_line("interface 3 trackval 255", &r), err("invalid trackval"));
    EXPECT_EQ(r, 1);
    const Case cases[] = {
        {"interface 30 name eth0", err("interface index out of range")},
        {"interface 3 name eth0:1", err("sub-interface eth0:1 not permitted, use main interface")},
        {"interface 3 name kvn3", OK},
        {"interface 3 threads 4", OK},
        {"interface 3 trackval 20", OK},
        {"interface 3 init \"ip link set kvn3 up\"", OK},
        {"interface 3 alert \"logger down\"", OK},
        {"interface 3 upalert \"logger up\"", OK},
        {"interface 3 access tap", OK},
        {"interface 3 access carrier-pigeon", err("unknown interface access method carrier-pigeon")},
        {"interface 3 colour blue", err("unknown interface subcommand colour")},
    };
    run_cases(cases, sizeof cases / sizeof cases[0]);
    const INTERFACE &i = cfg.interfaces[3];
    EXPECT_STREQ(i.name, "kvn3");
    EXPECT_EQ(i.threads, 4);
    EXPECT_EQ(i.trackval, 20);
    EXPECT_EQ(i.access, ACCESS_TAP);
    EXPECT_STREQ(i.init, "ip link set kvn3 up");

    cfg_scratch_begin();  // the dry run works on a copy of the running tables

    interp.reload_pass = 1;
    EXPECT_EQ(run_line("interface 3 access raw"), err("invalid interface access specification on reload"));
    EXPECT_EQ(run_line("interface 3 access tap"), OK);
    interp.reload_pass = 0;
    EXPECT_EQ(i.access, ACCESS_TAP);

    EXPECT_EQ(run_line("commit interface 3"), OK);
    EXPECT_EQ(run_line("interface 3 threads 2"), err("interface editing not allowed in enabled state"));
}

TEST_F(NetCmd, GatewayCommands)
{
    const Case cases[] = {
        {"gateway 192.0.2.254", err("gateway address not directly reachable")},
        {"gateway nonsense", err("syntax error")},
        {"gateway ipaddr 192.0.2.999", err("invalid gateway IP address")},
        {"gateway ipaddr6 2001:db8::q", err("invalid IPv6-address 2001:db8::q")},
        {"gateway ipaddr6 2001:db8::fe", err("gateway IPv6 address not directly reachable")},
        {"gateway ping 5,3", err("value range error at gateway \"ping\" values")},
        {"gateway ping 0,3", err("value range error at gateway \"ping\" values")},
        {"gateway ping 3", err("syntax error at gateway \"ping\"")},
        {"gateway arp 3,", err("syntax error at gateway \"arp\"")},
        {"gateway nd6 x,4", err("syntax error at gateway \"nd6\"")},
        {"gateway ping6 2,9", OK},
        {"gateway ping 3,5", OK},
        {"gateway arp 10,30", OK},
        {"gateway arp off", OK},
        {"gateway trackval 300", err("invalid trackval value")},
        {"gateway trackval 15", OK},
        {"gateway alert \"logger gw down\"", OK},
        {"gateway frobnicate 1", err("invalid gateway subcommand")},
        {"no gateway", err("gateway already inactive")},
    };
    run_cases(cases, sizeof cases / sizeof cases[0]);
    EXPECT_EQ(cfg.gateway.ping.interval, 3);
    EXPECT_EQ(cfg.gateway.ping.timeout, 5);
    EXPECT_EQ(cfg.gateway.arp.interval, 0);
    EXPECT_EQ(cfg.gateway.trackval, 15);
    EXPECT_EQ(cfg.gateway.configured, 0);

    // With an enabled network around it the gateway is reachable.
    EXPECT_EQ(run_line("network 1 addr 192.0.2.0"), OK);
    EXPECT_EQ(run_line("network 1 mask 255.255.255.0"), OK);
    EXPECT_EQ(run_line("commit network 1"), OK);
    EXPECT_EQ(run_line("gateway 192.0.2.254"), OK);
    EXPECT_EQ(cfg.gateway.configured, 1);
    EXPECT_EQ(cfg.gateway.active4, 1);
    EXPECT_EQ(text4(cfg.gateway.ipaddr), "192.0.2.254");
    EXPECT_EQ(run_line("gateway ipaddr 198.51.100.1"), err("gateway address not directly reachable"));
    EXPECT_EQ(text4(cfg.gateway.ipaddr), "192.0.2.254");

    // During a reload: three-word forms change nothing, the two-word form
    // stores the address only.
    cfg_scratch_begin();  // the dry run works on a copy of the running tables
    interp.reload_pass = 1;
    EXPECT_EQ(run_line("gateway ping 7,9"), OK);
    EXPECT_EQ(cfg.gateway.ping.interval, 3);
    interp.reload_pass = 0;

    EXPECT_EQ(run_line("no gateway"), OK);
    EXPECT_EQ(cfg.gateway.configured, 0);
    EXPECT_EQ(cfg.gateway.active4, 0);
    EXPECT_TRUE(ipv4_is_zero(cfg.gateway.ipaddr));

    // The block form.
    EXPECT_EQ(run_line("gateway {"), "kvn+ ");
    EXPECT_EQ(run_line("ipaddr 192.0.2.253"), "kvn+ ");
    EXPECT_EQ(run_line("}"), OK);
    EXPECT_EQ(text4(cfg.gateway.ipaddr), "192.0.2.253");
}

TEST_F(NetCmd, VrrpCommands)
{
    const Case cases[] = {
        {"vrrp vrid 0", err("invalid vrid (valid 1-255)")},
        {"vrrp vrid 256", err("invalid vrid (valid 1-255)")},
        {"vrrp vrid 7", OK},
        {"vrrp priority 0", err("invalid priority (valid 1-255, 255=master)")},
        {"vrrp priority 150", OK},
        {"vrrp network 11", err("invalid network index")},
        {"vrrp network 2", OK},
        {"vrrp tracking sometimes", err("invalid vrrp tracking parameter (enable|disable)")},
        {"vrrp tracking enable", OK},
        {"vrrp mscript \"logger master\"", OK},
        {"vrrp bscript \"logger backup\"", OK},
        {"vrrp colour blue", err("invalid vrrp subcommand")},
        {"vrrp sideways", err("invalid vrrp subcommand")},
    };
    run_cases(cases, sizeof cases / sizeof cases[0]);
    EXPECT_EQ(cfg.vrrp.vrid, 7);
    EXPECT_EQ(cfg.vrrp.vmac[5], 7);
    EXPECT_EQ(cfg.vrrp.priority, 150);
    EXPECT_EQ(cfg.vrrp.network, 2);
    EXPECT_EQ(cfg.vrrp.tracking, 1);
    EXPECT_STREQ(cfg.vrrp.mscript, "logger master");

    cfg_scratch_begin();  // the dry run works on a copy of the running tables

    interp.reload_pass = 1;
    const Case reload[] = {
        {"vrrp priority 100", err("invalid VRRP priority change during reload")},
        {"vrrp vrid 8", err("invalid vrid change during reload")},
        {"vrrp network none", err("invalid VRRP network change during reload")},
        {"vrrp priority 150", OK},
    };
    run_cases(reload, sizeof reload / sizeof reload[0]);
    interp.reload_pass = 0;
    EXPECT_EQ(cfg.vrrp.priority, 150);

    EXPECT_EQ(run_line("vrrp vrid none"), OK);
    EXPECT_EQ(cfg.vrrp.vrid, 0);
    EXPECT_EQ(cfg.vrrp.vmac[5], 0);
    EXPECT_EQ(run_line("vrrp {"), "kvn+ ");
    EXPECT_EQ(run_line("vrid 12"), "kvn+ ");
    EXPECT_EQ(run_line(""), OK);  // an empty line closes the block
    EXPECT_EQ(cfg.vrrp.vrid, 12);
}

TEST_F(NetCmd, NetworkBlockWriter)
{
    strcpy(cfg.interfaces[1].name, "kvn1");
    strcpy(cfg.interfaces[4].name, "kvn4");
    cfg.interfaces[1].registered = 1;
    cfg.interfaces[4].registered = 1;
    cfg.interfaces[7].registered = 1;
    const char *lines[] = {
        "network 3 {", "name \"dual stack\"", "addr 192.0.2.0", "mask 255.255.255.0", "real 192.0.2.1",
        "virt 192.0.2.3", "mask6 64", "real6 2001:db8:3::1", "virt6 2001:db8:3::3", "nat inside",
        "interfaces 1,kvn4,7", "synciface kvn4", "}",
    };
    for (const char *l : lines)
        ASSERT_EQ(run_line(l).find("ERROR"), std::string::npos) << l;
    Capture c;
    write_network_block(c.f, LINEFMT_FILE, 3);
    EXPECT_EQ(c.str(),
              "network   3 {\n"
              "          name \"dual stack\"\n"
              "          addr 192.0.2.0\n"
              "          mask 255.255.255.0\n"
              "          real 192.0.2.1\n"
              "          virt 192.0.2.3\n"
              "          mask6 64\n"
              "          real6 2001:db8:3::1\n"
              "          virt6 2001:db8:3::3\n"
              "          nat inside\n"
              "          interfaces 1,4,7\n"
              "          synciface kvn4\n"
              "}         \n");

    Capture one;
    EXPECT_EQ(run_line("network 5 interface kvn1"), OK);
    write_network_block(one.f, LINEFMT_SCREEN, 5);
    EXPECT_EQ(one.str(), "  network   5 {\n"
                         "            interface 1\n"
                         "  }         \n");
    Capture none;
    write_network_block(none.f, LINEFMT_FILE, 6);
    EXPECT_EQ(none.str(), "network   6 {\n"
                          "          interface none\n"
                          "}         \n");
}

TEST_F(NetCmd, InterfaceGatewayVrrpWriters)
{
    const char *lines[] = {
        "interface 2 name kvn2", "interface 2 access tap", "interface 2 threads 3",
        "interface 2 init \"ip link set kvn2 up\"", "interface 2 trackval 10",
        "interface 2 alert \"logger down\"", "interface 2 upalert \"logger up\"",
        "network 1 addr 192.0.2.0", "network 1 mask 255.255.255.0", "commit network 1",
        "gateway 192.0.2.254", "gateway ping 3,5", "gateway arp 10,30", "gateway trackval 4",
        "gateway upalert \"logger gw up\"",
        "vrrp vrid 9", "vrrp priority 120", "vrrp network 1", "vrrp tracking enable",
        "vrrp mscript \"logger m\"", "vrrp bscript \"logger b\"",
    };
    for (const char *l : lines)
        ASSERT_EQ(run_line(l).find("ERROR"), std::string::npos) << l;
    Capture c;
    write_interface_block(c.f, LINEFMT_FILE, 2);
    write_gateway_block(c.f, LINEFMT_FILE);
    write_vrrp_block(c.f, LINEFMT_FILE);
    EXPECT_EQ(c.str(),
              "interface 2 {\n"
              "          name kvn2\n"
              "          access tap\n"
              "          threads 3\n"
              "          init \"ip link set kvn2 up\"\n"
              "          trackval 10\n"
              "          alert \"logger down\"\n"
              "          upalert \"logger up\"\n"
              "}         \n"
              "gateway   {\n"
              "          ipaddr 192.0.2.254\n"
              "          arp 10,30\n"
              "          ping 3,5\n"
              "          trackval 4\n"
              "          upalert \"logger gw up\"\n"
              "}         \n"
              "vrrp      {\n"
              "          vrid 9\n"
              "          priority 120\n"
              "          network 1\n"
              "          tracking enable\n"
              "          bscript \"logger b\"\n"
              "          mscript \"logger m\"\n"
              "}         \n");

    // Nothing configured: no gateway and no vrrp block.
    kvn_test_reset();
    Capture empty;
    write_gateway_block(empty.f, LINEFMT_FILE);
    write_vrrp_block(empty.f, LINEFMT_FILE);
    EXPECT_EQ(empty.str(), "");
}

TEST_F(NetCmd, ShowItems)
{
    EXPECT_EQ(run_line("show vrrp"), "  state     OFF\n" + OK);
    EXPECT_EQ(run_line("show gateway"), "  gateway   not configured\n" + OK);
    EXPECT_EQ(run_line("vrrp vrid 10"), OK);
    EXPECT_EQ(run_line("vrrp priority 90"), OK);
    EXPECT_EQ(run_line("vrrp tracking enable"), OK);
    EXPECT_EQ(run_line("vrrp mscript \"logger m\""), OK);
    EXPECT_EQ(run_line("show vrrp"), "  state     INITIALIZE\n"
                                     "  vrid      10 (0x0a)\n"
                                     "  priority  90\n"
                                     "  tracking  priority not degraded\n"
                                     "  mscript   \"logger m\"\n" +
                                         OK);
    EXPECT_EQ(run_line("network 4 addr 192.0.2.0"), OK);
    EXPECT_EQ(run_line("register network 4"), OK);
    std::string one = run_line("show network 4");
    EXPECT_EQ(one.rfind("  network   4 {\n            addr 192.0.2.0\n", 0), 0u) << one;
    EXPECT_NE(one.find("  state     registered\n"), std::string::npos) << one;
    EXPECT_EQ(run_line("show network 12"), err("network index out of range"));
    std::string all = run_line("show networks");
    EXPECT_NE(all.find("192.0.2.0"), std::string::npos) << all;
    EXPECT_NE(all.find("registered"), std::string::npos) << all;
}

}  // namespace
