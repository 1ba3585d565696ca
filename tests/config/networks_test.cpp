// Which network holds an address: one row per address and network layout.
#include <cstring>
#include <gtest/gtest.h>

#include "config/addr.h"
#include "config/config_state.h"
#include "config/networks.h"
#include "support/support.h"

namespace {

void key(uint8_t out[16], const char *text)
{
    uint8_t ip4[4];
    if (parse_ipv4(text, ip4))
        ipv4_mapped(out, ip4);
    else
        ASSERT_TRUE(parse_ipv6(text, out)) << text;
}

// Network 1: IPv6 only. Network 2: 192.0.2.0/24 with 2001:db8:2::/48.
// Network 3: 198.51.100.0/25, disabled. Network 4: mask6 set with no
// IPv4 side. Network 5: a 0.0.0.0 addr with a mask (no IPv4 side either).
void layout()
{
    kvn_test_reset();
    NETWORK &n1 = cfg.networks[1];
    n1.enabled = 1;
    n1.mask6 = 64;
    key(n1.real6, "2001:db8:1::1");
    NETWORK &n2 = cfg.networks[2];
    n2.enabled = 1;
    parse_ipv4("192.0.2.0", n2.addr);
    parse_ipv4("255.255.255.0", n2.mask);
    n2.mask6 = 48;
    key(n2.real6, "2001:db8:2::1");
    NETWORK &n3 = cfg.networks[3];
    parse_ipv4("198.51.100.0", n3.addr);
    parse_ipv4("255.255.255.128", n3.mask);
    NETWORK &n4 = cfg.networks[4];
    n4.enabled = 1;
    n4.mask6 = 128;
    key(n4.real6, "2001:db8:4::4");
    NETWORK &n5 = cfg.networks[5];
    n5.enabled = 1;
    parse_ipv4("255.255.0.0", n5.mask);
}

TEST(Networks, ContainingNetwork)
{
    const struct {
        const char *addr;
        int network;
    } rows[] = {
        {"192.0.2.50", 2},        // not network 1, which has no IPv4 side
        {"192.0.2.255", 2},
        {"192.0.3.1", 0},
        {"198.51.100.5", 0},      // network 3 holds it but is disabled
        {"0.0.1.2", 0},           // network 5 has a mask but no address
        {"2001:db8:1::99", 1},
        {"2001:db8:2:ffff::1", 2},
        {"2001:db8:4::4", 4},     // a /128 holds its own address only
        {"2001:db8:4::5", 0},
        {"2001:db8:9::1", 0},
    };
    layout();
    for (const auto &r : rows) {
        uint8_t k[16];
        key(k, r.addr);
        EXPECT_EQ(network_containing(k), r.network) << r.addr;
    }
    cfg.networks[3].enabled = 1;
    uint8_t k[16];
    key(k, "198.51.100.5");
    EXPECT_EQ(network_containing(k), 3);
    key(k, "198.51.100.200");
    EXPECT_EQ(network_containing(k), 0);
}

TEST(Networks, EnabledAndOwnMac)
{
    layout();
    EXPECT_TRUE(network_enabled(1));
    EXPECT_FALSE(network_enabled(3));
    EXPECT_FALSE(network_enabled(0));
    EXPECT_FALSE(network_enabled(MAXNETWORK + 1));
    uint8_t ip4[4], mac[6];
    parse_ipv4("192.0.2.10", ip4);
    own_mac_of(mac, ip4);
    const uint8_t want[6] = {0x06, 0x00, 192, 0, 2, 10};
    EXPECT_EQ(memcmp(mac, want, 6), 0);
}

}  // namespace
