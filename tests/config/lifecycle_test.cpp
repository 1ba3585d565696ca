// The lifecycle commands through the interpreter: list syntax, index
// ranges, registry keys, state ordering, network validation, nat outside,
// VRRP requirements, the local-address test and `interface <name>`.
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/wait.h>

#include "command/interpreter.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/index_registry.h"
#include "config/local_address.h"
#include "packet/arp.h"
#include "support/support.h"

namespace {

std::set<std::string> local_addresses;  // what the fake host has configured

bool fake_local(const uint8_t ip4[4])
{
    char text[16];
    return local_addresses.count(format_ipv4(text, sizeof text, ip4)) != 0;
}

std::string err(const std::string &msg) { return "  ERROR: " + msg + "\nkvn# "; }
const std::string OK = "kvn# ";

// Runs a line and drops the configuration check's warnings, which enabling
// a server prints when no network for it is configured in the fixture.
std::string run_no_check(const std::string &line, int *result = nullptr)
{
    std::string out = run_line(line, result), kept;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        std::string piece = out.substr(pos, end == std::string::npos ? std::string::npos : end - pos + 1);
        if (piece.find("ERROR: WARNING: ") == std::string::npos)
            kept += piece;
        pos = end == std::string::npos ? out.size() : end + 1;
    }
    return kept;
}

void set4(uint8_t *field, const char *text) { ASSERT_TRUE(parse_ipv4(text, field)) << text; }
void set6(uint8_t *field, const char *text) { ASSERT_TRUE(parse_ipv6(text, field)) << text; }

void server(int n, const char *ip, int port, int port2 = 0, const char *ip6 = nullptr)
{
    SERVER &s = cfg.servers[n];
    if (ip != nullptr)
        set4(s.ipaddr, ip);
    if (ip6 != nullptr)
        set6(s.ipaddr6, ip6);
    s.port = htons((uint16_t)port);
    s.port2 = htons((uint16_t)port2);
}

struct Lifecycle : ::testing::Test {
    void SetUp() override
    {
        kvn_test_reset();
        local_addresses.clear();
        local_address_test = fake_local;
    }
    void TearDown() override { local_address_test = local_address_configured; }
};

TEST_F(Lifecycle, ListSyntax)
{
    int r;
    EXPECT_EQ(run_line("register server 1,,3,", &r), OK);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(cfg.servers[1].registered, 1);
    EXPECT_EQ(cfg.servers[2].registered, 0);
    EXPECT_EQ(cfg.servers[3].registered, 1);

    EXPECT_EQ(run_line("register server ,", &r), OK);
    EXPECT_EQ(r, 1);

    EXPECT_EQ(run_line("register server 5,x", &r), err("invalid syntax"));
    EXPECT_EQ(r, 0);
    EXPECT_EQ(cfg.servers[5].registered, 1);  // items before the bad one keep their effect

    EXPECT_EQ(run_line("register servers 6,7-8"), err("invalid syntax"));
    EXPECT_EQ(cfg.servers[6].registered, 1);
    EXPECT_EQ(run_line("register server 99999999999999999999"), err("server index out of range"));
}

TEST_F(Lifecycle, IndexRangesAndKinds)
{
    struct {
        const char *line;
        std::string out;
    } cases[] = {
        {"enable server 0", err("server index out of range")},
        {"enable server 1025", err("server index out of range")},
        {"enable interface 30", err("interface index out of range")},
        {"enable network 11", err("network index out of range")},
        {"enable target 2049", err("target index out of range")},
        {"register target 0", err("target index out of range")},
        {"disable networks 0", err("network index out of range")},
        {"register interface 29", OK},
        {"register network 10", OK},
        {"register server 1024", OK},
        {"enable foo 1", err("unknown subcommand 1 (\"interface\",\"network\",\"server\" or \"target\" expected)")},
        {"purge foo 2", err("unknown subcommand 2")},
        {"softdisable server 3", err("unknown subcommand 3 (\"target\" expected)")},
    };
    for (const auto &c : cases)
        EXPECT_EQ(run_line(c.line), c.out) << c.line;
}

TEST_F(Lifecycle, DuplicateServerKeys)
{
    server(1, "192.0.2.10", 80);
    server(2, "192.0.2.10", 80);
    server(3, "192.0.2.10", 443);
    server(4, "192.0.2.10", 8080, 443);  // second port collides with server 3
    EXPECT_EQ(run_line("register server 1"), OK);
    EXPECT_EQ(run_line("register server 2"), err("rejected, server 1 already registered with same parameters"));
    EXPECT_EQ(cfg.servers[2].registered, 0);
    EXPECT_EQ(run_line("register server 3"), OK);
    EXPECT_EQ(run_line("register server 4"), err("rejected, server 3 already registered with same parameters"));
    EXPECT_EQ(cfg.servers[4].registered, 0);
    EXPECT_EQ(server_registry->count, 2);
    EXPECT_EQ(run_line("register server 1"), err("server 1 already registered"));
    EXPECT_EQ(server_registry->count, 2);
}

TEST_F(Lifecycle, DualStackTwoPortServerHasFourKeys)
{
    server(1, "198.51.100.20", 80, 443, "2001:db8::20");
    EXPECT_EQ(run_line("register server 1"), OK);
    EXPECT_EQ(server_registry->count, 4);
    uint8_t a6[16];
    set6(a6, "2001:db8::20");
    EXPECT_EQ(ir_lookup4(server_registry, cfg.servers[1].ipaddr, htons(80)), 1);
    EXPECT_EQ(ir_lookup4(server_registry, cfg.servers[1].ipaddr, htons(443)), 1);
    EXPECT_EQ(ir_lookup(server_registry, a6, htons(80)), 1);
    EXPECT_EQ(ir_lookup(server_registry, a6, htons(443)), 1);
    EXPECT_EQ(run_line("unregister server 1"), OK);
    EXPECT_EQ(server_registry->count, 0);
    EXPECT_EQ(ir_lookup(server_registry, a6, htons(443)), 0);
    EXPECT_EQ(ir_lookup4(server_registry, cfg.servers[1].ipaddr, htons(80)), 0);

    // GSLB `enable` servers occupy no key.
    cfg.servers[1].gslb = GSLB_ENABLE;
    EXPECT_EQ(run_line("register server 1"), OK);
    EXPECT_EQ(server_registry->count, 0);
    EXPECT_EQ(cfg.servers[1].registered, 1);
}

TEST_F(Lifecycle, TargetKeys)
{
    set4(cfg.targets[1].ipaddr, "198.51.100.31");
    set6(cfg.targets[1].ipaddr6, "2001:db8::31");
    cfg.targets[1].port = htons(8080);
    set4(cfg.targets[2].ipaddr, "198.51.100.31");
    cfg.targets[2].port = htons(8080);
    EXPECT_EQ(run_line("register targets 1,2,3"),
              err("rejected, target 1 already registered with same parameters"));
    EXPECT_EQ(target_registry->count, 2);
    EXPECT_EQ(cfg.targets[2].registered, 0);
    // A target without any address stays unregistered, silently.
    EXPECT_EQ(run_line("register target 3"), OK);
    EXPECT_EQ(cfg.targets[3].registered, 0);
    EXPECT_EQ(run_line("enable target 1"), OK);
    EXPECT_EQ(target_registry->enabled, 1);
    EXPECT_EQ(cfg.targets[1].probes_started, 1);
    EXPECT_EQ(run_line("softdisable target 1"), OK);
    EXPECT_EQ(cfg.targets[1].softdisabled, 1);
    EXPECT_EQ(run_line("enable target 1"), OK);  // leaves softdisabled, counted once
    EXPECT_EQ(cfg.targets[1].softdisabled, 0);
    EXPECT_EQ(target_registry->enabled, 1);
    EXPECT_EQ(run_line("softdisable target 2"), err("target 2 not registered"));
    EXPECT_EQ(run_line("unregister target 1"), err("cannot unregister enabled target 1 (disable first)"));
    EXPECT_EQ(run_line("edit target 1"), OK);
    EXPECT_EQ(target_registry->count, 0);
    EXPECT_EQ(target_registry->enabled, 0);
    EXPECT_EQ(run_line("softdisable target 1"), err("target 1 not registered"));
    EXPECT_EQ(run_line("disable target 1"), err("target 1 not registered"));
}

TEST_F(Lifecycle, ServerStateOrdering)
{
    server(1, "192.0.2.50", 80);
    int r;
    // enable reports an unregistered server but the command goes on.
    EXPECT_EQ(run_line("enable server 1", &r), err("server 1 not registered"));
    EXPECT_EQ(r, 1);
    EXPECT_EQ(run_line("disable server 1"), err("server 1 not registered"));
    EXPECT_EQ(run_no_check("commit server 1"), OK);
    EXPECT_EQ(cfg.servers[1].enabled, 1);
    EXPECT_EQ(cfg.servers[1].rr_pos, RRPOS_UNSET);
    EXPECT_EQ(server_registry->enabled, 1);
    EXPECT_EQ(run_line("unregister server 1"), err("cannot unregister enabled server 1 (disable first)"));
    EXPECT_EQ(run_line("purge server 1"), err("server 1 needs to be in unregistered state"));
    EXPECT_EQ(run_line("edit server 1"), OK);
    EXPECT_EQ(cfg.servers[1].enabled, 0);
    EXPECT_EQ(cfg.servers[1].registered, 0);
    EXPECT_EQ(server_registry->enabled, 0);
    EXPECT_EQ(server_registry->count, 0);
    EXPECT_EQ(run_line("disable server 1"), err("server 1 not registered"));
    EXPECT_EQ(run_line("register server 1"), OK);
    EXPECT_EQ(run_line("disable server 1"), err("server 1 not enabled"));
    // edit of a registered server: the disable fails, the unregister runs.
    EXPECT_EQ(run_line("edit server 1", &r), "  ERROR: server 1 not enabled\n" + OK);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(cfg.servers[1].registered, 0);
    cfg.servers[1].gslbttl = 30;
    EXPECT_EQ(run_line("purge server 1"), OK);
    EXPECT_EQ(cfg.servers[1].gslbttl, 600);
    EXPECT_EQ(cfg.servers[1].port, htons(80));  // addresses and ports stay
}

TEST_F(Lifecycle, ServerEnableSkipsLocallyOccupiedAddress)
{
    server(2, "192.0.2.2", 80);
    server(3, "192.0.2.3", 80);
    local_addresses.insert("192.0.2.2");
    EXPECT_EQ(run_line("register server 2,3"), OK);
    int r;
    EXPECT_EQ(run_no_check("enable server 2,3", &r), err("unable to enable server 2: ipaddr locally occupied by OS"));
    EXPECT_EQ(r, 1);
    EXPECT_EQ(cfg.servers[2].enabled, 0);
    EXPECT_EQ(cfg.servers[3].enabled, 1);
    EXPECT_EQ(run_line("set localdsr 1"), OK);
    EXPECT_EQ(run_no_check("enable server 2"), OK);
    EXPECT_EQ(cfg.servers[2].enabled, 1);
    EXPECT_EQ(server_registry->enabled, 2);
}

TEST_F(Lifecycle, IPv6ServerNeedsVrrp)
{
    server(1, nullptr, 80, 0, "2001:db8:1::10");
    EXPECT_EQ(run_line("commit server 1"), err("unable to enable server 1 (VRRP required for IPv6)"));
    EXPECT_EQ(cfg.servers[1].enabled, 0);

    NETWORK &net = cfg.networks[1];
    net.mask6 = 64;
    set6(net.real6, "2001:db8:1::1");
    cfg.vrrp.vrid = 9;
    cfg.vrrp.priority = 100;
    cfg.vrrp.network = 1;
    EXPECT_EQ(run_line("commit network 1"), OK);
    EXPECT_EQ(run_line("enable server 1"), OK);
    EXPECT_EQ(cfg.servers[1].enabled, 1);
    EXPECT_EQ(cfg.servers[1].network6, 1);

    server(2, nullptr, 80, 0, "2001:db8:2::10");
    EXPECT_EQ(run_line("commit server 2"), err("no IPv6 network found for server 2"));
    EXPECT_EQ(cfg.servers[2].enabled, 0);
}

TEST_F(Lifecycle, NetworkValidationMessages)
{
    struct Case {
        const char *addr, *mask, *real, *virt;
        int nat;
        const char *message;
    } cases[] = {
        {"192.0.2.1", "255.255.255.0", nullptr, nullptr, 0, "addr of network 1 not a network address"},
        {"192.0.2.0", "255.255.255.0", "198.51.100.5", nullptr, 0, "real of network 1 not in network"},
        {"192.0.2.0", "255.255.255.0", "192.0.2.5", nullptr, 2,
         "network virt address required for nat outside network"},
        {"192.0.2.0", "255.255.255.0", "192.0.2.5", "198.51.100.9", 0, "virt of network 1 not in network"},
        {"192.0.2.0", "255.255.255.0", "192.0.2.5", "192.0.2.0", 0,
         "virt in network 1 equal to addr (must be different)"},
        {"192.0.2.0", "255.255.255.0", "192.0.2.0", "192.0.2.9", 0,
         "real in network 1 equal to addr (must be different)"},
        {"192.0.2.0", "255.255.255.0", "192.0.2.9", "192.0.2.9", 0,
         "real in network 1 equal to virt (must be different)"},
        {"192.0.2.0", "255.255.255.0", "192.0.2.77", "192.0.2.9", 0,
         "unable to enable network 1: real address locally occupied by OS"},
        {"192.0.2.0", "255.255.255.0", "192.0.2.5", "192.0.2.78", 0,
         "unable to enable network 1: virt address locally occupied by OS"},
        {"192.0.2.0", "255.255.255.0", "192.0.2.5", "192.0.2.9", 2, nullptr},
    };
    for (const Case &c : cases) {
        kvn_test_reset();
        local_addresses = {"192.0.2.77", "192.0.2.78"};
        NETWORK &net = cfg.networks[1];
        set4(net.addr, c.addr);
        set4(net.mask, c.mask);
        if (c.real)
            set4(net.real, c.real);
        if (c.virt)
            set4(net.virt, c.virt);
        net.nat = c.nat;
        EXPECT_EQ(run_line("register network 1"), OK);
        int r;
        std::string out = run_line("enable network 1", &r);
        if (c.message == nullptr) {
            EXPECT_EQ(out, OK);
            EXPECT_EQ(net.enabled, 1);
            EXPECT_EQ(cfg.enabled_networks, 1);
            EXPECT_EQ(net.realmac[0], 0x06);
            EXPECT_EQ(memcmp(net.realmac + 2, net.real, 4), 0);
            EXPECT_EQ(memcmp(net.virtmac + 2, net.virt, 4), 0);
        } else {
            EXPECT_EQ(out, err(c.message)) << c.message;
            EXPECT_EQ(r, 0);
            EXPECT_EQ(net.enabled, 0);
            EXPECT_EQ(cfg.natoutside.network, 0) << "a refused network must not hold nat outside";
        }
    }
    // localvirt skips the test of the virt address.
    EXPECT_EQ(run_line("disable network 1"), OK);
    EXPECT_EQ(cfg.natoutside.network, 0);
    set4(cfg.networks[1].virt, "192.0.2.78");
    cfg.networks[1].nat = 0;
    EXPECT_EQ(run_line("set localvirt 1"), OK);
    EXPECT_EQ(run_line("enable network 1"), OK);
}

TEST_F(Lifecycle, NetworkIPv6Checks)
{
    NETWORK &net = cfg.networks[1];
    net.mask6 = 64;
    EXPECT_EQ(run_line("register network 1"), OK);
    EXPECT_EQ(run_line("enable network 1"), err("unable to enable IPv6 for network 1 (VRRP required)"));
    cfg.vrrp.vrid = 1;
    cfg.vrrp.priority = 50;
    EXPECT_EQ(run_line("enable network 1"), err("no real6 address specified for network 1"));
    set6(net.real6, "2001:db8::1");
    set6(net.virt6, "2001:db8::1");
    EXPECT_EQ(run_line("enable network 1"), err("real6 and virt6 need to be different (network 1)"));
    set6(net.virt6, "2001:db8:0:1::1");
    EXPECT_EQ(run_line("enable network 1"), err("real6 and virt6 differ in network part (network 1)"));
    set6(net.virt6, "2001:db8::2");
    EXPECT_EQ(run_line("enable network 1"), OK);
    EXPECT_EQ(net.enabled, 1);
}

TEST_F(Lifecycle, OnlyOneNatOutsideNetwork)
{
    const char *nets[2][3] = {{"192.0.2.0", "192.0.2.1", "192.0.2.2"},
                              {"198.51.100.0", "198.51.100.1", "198.51.100.2"}};
    for (int k = 0; k < 2; k++) {
        NETWORK &net = cfg.networks[k + 1];
        set4(net.addr, nets[k][0]);
        set4(net.mask, "255.255.255.0");
        set4(net.real, nets[k][1]);
        set4(net.virt, nets[k][2]);
        net.nat = NAT_OUTSIDE;
    }
    EXPECT_EQ(run_line("commit network 1"), OK);
    EXPECT_EQ(cfg.natoutside.network, 1);
    EXPECT_EQ(run_line("commit network 2"), err("another nat outside network already active (1)"));
    EXPECT_EQ(cfg.networks[2].enabled, 0);
    EXPECT_EQ(run_line("disable network 1"), OK);
    EXPECT_EQ(cfg.natoutside.network, 0);
    EXPECT_EQ(run_line("enable network 2"), OK);
    EXPECT_EQ(cfg.natoutside.network, 2);
    EXPECT_EQ(memcmp(cfg.natoutside.virt, cfg.networks[2].virt, 4), 0);
    EXPECT_EQ(cfg.enabled_networks, 1);
}

TEST_F(Lifecycle, NetworkStatesAndReload)
{
    int r;
    EXPECT_EQ(run_line("disable network 3", &r), OK);  // not enabled: silent success
    EXPECT_EQ(r, 1);
    EXPECT_EQ(run_line("enable network 3"), err("network 3 not registered"));
    EXPECT_EQ(run_line("unregister network 3"), err("network 3 not registered"));
    EXPECT_EQ(run_line("commit network 3"), OK);
    EXPECT_EQ(run_line("register network 3"), err("network 3 already registered"));
    EXPECT_EQ(run_line("unregister network 3"), err("cannot unregister enabled network 3 (disable first)"));
    EXPECT_EQ(run_line("purge network 3"), err("network 3 needs to be in unregistered state"));

    // During a reload the running network is accepted again, counted once.
    cfg_scratch_begin();  // the dry run works on a copy of the running tables
    interp.reload_pass = 1;
    EXPECT_EQ(run_line("register network 3"), OK);
    EXPECT_EQ(run_line("enable network 3"), OK);
    EXPECT_EQ(run_line("enable network 4"), err("unable to enable network 4 on reload"));
    interp.reload_pass = 0;
    EXPECT_EQ(cfg.registered_networks, 1);
    EXPECT_EQ(cfg.enabled_networks, 1);

    EXPECT_EQ(run_line("edit network 3"), OK);
    EXPECT_EQ(cfg.registered_networks, 0);
    cfg.networks[3].synciface = 2;
    cfg.networks[3].mask6 = 64;
    EXPECT_EQ(run_line("purge network 3"), OK);
    EXPECT_EQ(cfg.networks[3].mask6, 0);
    EXPECT_EQ(cfg.networks[3].synciface, SYNCIFACE_NONE);
}

// Pass 1 of a reload, the dry run, registers and enables on the scratch
// copy only: the running server, its registry and the address table stay.
TEST_F(Lifecycle, ReloadPassOneCommitsOnTheScratchCopyOnly)
{
    server(1, "192.0.2.60", 80);
    cfg_scratch_begin();  // the dry run works on a copy of the running tables
    interp.reload_pass = 1;
    EXPECT_EQ(run_no_check("commit server 1"), OK);
    EXPECT_EQ(cfg_edit().servers[1].enabled, 1);
    EXPECT_EQ(registry_edit(server_registry)->count, 1);
    EXPECT_EQ(run_no_check("register server 1"), err("server 1 already registered"));
    EXPECT_EQ(cfg.servers[1].registered, 0);
    EXPECT_EQ(server_registry->count, 0);
    const uint8_t a4[4] = {192, 0, 2, 60};
    EXPECT_EQ(ir_lookup4(server_registry, a4, htons(80)), 0);
    uint8_t a16[16];
    ipv4_mapped(a16, a4);
    EXPECT_FALSE(arp_has_entry(a16));
    interp.reload_pass = 2;
    EXPECT_EQ(run_no_check("commit server 1"), OK);
    EXPECT_EQ(cfg.servers[1].enabled, 1);
    EXPECT_EQ(ir_lookup4(server_registry, a4, htons(80)), 1);
    EXPECT_TRUE(arp_has_entry(a16));
    interp.reload_pass = 0;
}

TEST_F(Lifecycle, InterfaceLifecycle)
{
    // vpn access opens no device, so enabling needs no real interface.
    strcpy(cfg.interfaces[1].name, "kvntest0");
    cfg.interfaces[1].access = ACCESS_VPN;
    EXPECT_EQ(run_line("enable interface 1"), err("interface 1 not registered"));
    EXPECT_EQ(run_line("commit interface 1"), OK);
    EXPECT_EQ(cfg.interfaces[1].enabled, 1);
    EXPECT_EQ(cfg.interfaces[1].io_started, 1);
    EXPECT_EQ(cfg.enabled_interfaces, 1);
    EXPECT_EQ(run_line("enable interface 1"), err("interface 1 already enabled"));
    EXPECT_EQ(run_line("unregister interface 1"), err("cannot unregister enabled interface 1"));
    interp.reload_pass = 2;
    EXPECT_EQ(run_line("enable interface 1"), OK);
    EXPECT_EQ(run_line("enable interface 2"), err("interface 2 not registered"));
    EXPECT_EQ(run_line("register interface 2"), OK);
    EXPECT_EQ(run_line("enable interface 2"), err("unable to enable interface 2 on reload"));
    interp.reload_pass = 0;
    EXPECT_EQ(cfg.enabled_interfaces, 1);
    EXPECT_EQ(run_line("disable interface 1"), OK);
    EXPECT_EQ(run_line("disable interface 1"), err("interface 1 not enabled"));
    EXPECT_EQ(run_line("unregister interface 1"), OK);
    EXPECT_EQ(cfg.registered_interfaces, 1);
    cfg.interfaces[1].threads = 4;
    EXPECT_EQ(run_line("purge interface 1"), OK);
    EXPECT_EQ(cfg.interfaces[1].name[0], '\0');
    EXPECT_EQ(cfg.interfaces[1].threads, 1);
    EXPECT_EQ(cfg.interfaces[1].io_started, 1);  // the slot's thread keeps running
    // A raw device that does not exist cannot be enabled.
    cfg.interfaces[3].access = ACCESS_RAW;
    strcpy(cfg.interfaces[3].name, "kvnnosuch0");
    EXPECT_EQ(run_line("commit interface 3"),
              err("cannot access HW interface kvnnosuch0 (already active ?)"));
    EXPECT_EQ(cfg.interfaces[3].enabled, 0);
}

TEST_F(Lifecycle, InterfaceByName)
{
    for (int n = 1; n <= MAXINTERFACE; n++)
        cfg.interfaces[n].access = ACCESS_VPN;
    int r;
    std::string out = run_line("interface kvneth0", &r);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
    EXPECT_STREQ(cfg.interfaces[1].name, "kvneth0");
    EXPECT_EQ(cfg.interfaces[1].registered, 1);
    EXPECT_EQ(cfg.interfaces[1].enabled, 1);

    cfg_scratch_begin();  // the dry run works on a copy of the running tables

    interp.reload_pass = 1;
    EXPECT_EQ(run_line("interface kvneth1"), OK);
    EXPECT_EQ(cfg.interfaces[2].registered, 0);
    interp.reload_pass = 0;

    for (int n = 2; n <= MAXINTERFACE; n++)
        cfg.interfaces[n].registered = 1;
    EXPECT_EQ(run_line("interface kvneth9"), err("too many interfaces (no slot available)"));
}

// A network without IPv4 holds no IPv4 address: a target in the IPv4
// network behind an IPv6-only network belongs to the IPv4 one, for the
// check, `show target`, the gateway and the ARP table alike.
TEST_F(Lifecycle, IPv6OnlyNetworkHoldsNoIPv4Address)
{
    // Entries left by other tests would bind these addresses to their
    // networks before any containment rule is asked.
    ah_clear(arp_table);
    cfg.vrrp.vrid = 3;
    cfg.vrrp.priority = 100;
    NETWORK &v6 = cfg.networks[1];
    v6.mask6 = 64;
    set6(v6.real6, "2001:db8:1::1");
    NETWORK &v4 = cfg.networks[2];
    set4(v4.addr, "192.0.2.0");
    set4(v4.mask, "255.255.255.0");
    set4(v4.real, "192.0.2.10");
    EXPECT_EQ(run_line("commit network 1"), OK);
    EXPECT_EQ(run_line("commit network 2"), OK);

    TARGET &t = cfg.targets[1];
    set4(t.ipaddr, "192.0.2.50");
    t.ping.interval = 5;
    server(1, "192.0.2.80", 80);
    cfg.servers[1].targets[0] = 1;
    cfg.servers[1].ntargets = 1;
    EXPECT_EQ(run_line("commit target 1"), OK);
    // The check names nothing: not the missing real address of network 1,
    // not a server or target without network.
    EXPECT_EQ(run_line("commit server 1"), OK);
    EXPECT_EQ(run_line("check"), OK);
    EXPECT_EQ(t.network, 2);
    EXPECT_EQ(cfg.servers[1].network, 2);
    std::string shown = run_line("show target 1");
    EXPECT_NE(shown.find("\n  network   2\n"), std::string::npos) << shown;

    // The ARP table agrees, for the target and for an address it has no
    // entry for.
    uint8_t a16[16], ip4[4];
    set4(ip4, "192.0.2.50");
    ipv4_mapped(a16, ip4);
    EXPECT_EQ(arp_find_network(a16), 2);
    set4(ip4, "192.0.2.51");
    ipv4_mapped(a16, ip4);
    EXPECT_EQ(arp_find_network(a16), 2);

    // An IPv4 address outside network 2 has no network at all.
    EXPECT_EQ(run_line("gateway ipaddr 198.51.100.1"), err("gateway address not directly reachable"));
    EXPECT_EQ(run_line("gateway ipaddr 192.0.2.1"), OK);
    TARGET &far = cfg.targets[2];
    set4(far.ipaddr, "198.51.100.50");
    far.ping.interval = 5;
    cfg.servers[1].targets[1] = 2;
    cfg.servers[1].ntargets = 2;
    EXPECT_EQ(run_line("commit target 2"), OK);
    EXPECT_EQ(run_line("check"), "  ERROR: WARNING: target 2 has no matching network\n" + OK);
    EXPECT_EQ(far.network, 0);
}

// Enabling a server with a plugin starts it as a co-process; disabling the
// server kills it.
TEST_F(Lifecycle, ServerPluginRunsWhileEnabled)
{
    server(1, "192.0.2.80", 80);
    snprintf(cfg.servers[1].plugin, sizeof cfg.servers[1].plugin, "%s", "/bin/cat -u");
    int r = 0;
    EXPECT_EQ(run_no_check("commit server 1", &r), OK);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(cfg.servers[1].enabled, 1);
    pid_t pid = cfg.servers[1].plugin_pid;
    ASSERT_GT(pid, 0);
    EXPECT_NE(cfg.servers[1].plugin_in, nullptr);
    EXPECT_NE(cfg.servers[1].plugin_out, nullptr);
    EXPECT_EQ(run_line("disable server 1"), OK);
    EXPECT_EQ(cfg.servers[1].enabled, 0);
    EXPECT_EQ(cfg.servers[1].plugin_pid, 0);
    EXPECT_EQ(cfg.servers[1].plugin_in, nullptr);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    // Without a plugin nothing is said and nothing runs.
    cfg.servers[1].plugin[0] = '\0';
    EXPECT_EQ(run_no_check("enable server 1"), OK);
    EXPECT_EQ(cfg.servers[1].plugin_pid, 0);
}

TEST(LocalAddress, FindsLoopbackOnly)
{
    const uint8_t loopback[4] = {127, 0, 0, 1};
    const uint8_t doc[4] = {203, 0, 113, 254};
    EXPECT_TRUE(local_address_configured(loopback));
    EXPECT_FALSE(local_address_configured(doc));
}

}  // namespace
