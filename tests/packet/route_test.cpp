// The routing step, `rt` and `out` over the test wire: frames in, frames
// out compared byte for byte with the input whose Ethernet addresses are
// replaced (the IP bytes stay as they came), the resolution of unknown
// destinations with one request per `arplookup` seconds on the test clock,
// the cap and the sweep of unresolved routed entries, and concurrent
// readers asking for one address.
#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "command/process.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "packet/arp.h"
#include "packet/arphash.h"
#include "packet/chain.h"
#include "packet/machash.h"
#include "packet/test_wire.h"
#include "packet_fixture.h"
#include "support/frames.h"
#include "support/support.h"

namespace {

// Network 1: 198.51.100.0/24 and 2001:db8:1::/64 on eth1, real, virt and
// real6. Network 2: 203.0.113.0/24 and 2001:db8:2::/64 on eth2, real,
// real6 and virt6. The gateway 203.0.113.1 / 2001:db8:2::1 is on eth2.
const char *const CLIENT_MAC = "02:00:00:00:00:50";
const char *const CLIENT_IP = "198.51.100.50";
const char *const CLIENT6 = "2001:db8:1::50";
const char *const SERVER_MAC = "02:00:00:00:00:20";
const char *const SERVER_IP = "203.0.113.20";
const char *const SERVER6 = "2001:db8:2::20";
const char *const GW_MAC = "02:00:00:00:00:01";
const char *const OTHER_MAC = "02:00:00:00:00:77";
const char *const REAL1_MAC = "06:00:c6:33:64:0a";  // 06:00 + 198.51.100.10
const char *const VIRT1_MAC = "06:00:c6:33:64:0b";  // 06:00 + 198.51.100.11
const char *const REAL2_MAC = "06:00:cb:00:71:0a";  // 06:00 + 203.0.113.10
const char *const VMAC = "00:00:5e:00:01:09";       // VRRP virtual MAC, vrid 9
const char *const OWN_HW = "06:01:00:aa:bb:cc";     // the node's own hardware address
const char *const SOLICIT_MAC = "02:01:00:aa:bb:cc"; // OWN_HW with 0010 in the low bits of byte 0

std::vector<uint8_t> key_of(const char *ip)
{
    std::vector<uint8_t> k(16);
    if (strchr(ip, ':') != nullptr) {
        k = ip6_bytes(ip);
    } else {
        std::vector<uint8_t> a = ip4_bytes(ip);
        ipv4_mapped(k.data(), a.data());
    }
    return k;
}

AHENTRY *entry(const char *ip)
{
    return ah_find(arp_table, key_of(ip).data());
}

// A host answered: its address has the MAC, learnt on the slot.
void learn_host(const char *ip, const char *mac, int slot)
{
    ah_insert(arp_table, key_of(ip).data(), mac_bytes(mac).data());
    mh_insert(mac_table, mac_bytes(mac).data(), (uint32_t)slot);
}

Frame udp4(const char *dmac, const char *smac, const char *src, const char *dst)
{
    return FrameBuilder().eth(dmac, smac).ipv4(src, dst, 17).udp(40000, 53).payload("routed datagram").build();
}

Frame udp6(const char *dmac, const char *smac, const char *src, const char *dst)
{
    return FrameBuilder().eth(dmac, smac).ipv6(src, dst, 9).udp(40000, 53).payload("routed datagram").build();
}

Frame to_server(const char *dmac = VIRT1_MAC)
{
    return udp4(dmac, CLIENT_MAC, CLIENT_IP, SERVER_IP);
}

Frame to_server6()
{
    return udp6(VIRT1_MAC, CLIENT_MAC, CLIENT6, SERVER6);
}

// The frame as the daemon must forward it: only the MACs differ.
Frame relabelled(Frame f, const char *dmac, const char *smac)
{
    memcpy(f.data() + ETH_DST, mac_bytes(dmac).data(), 6);
    memcpy(f.data() + ETH_SRC, mac_bytes(smac).data(), 6);
    return f;
}

Frame arp_request_for(const char *smac, const char *spa, const char *tpa)
{
    return FrameBuilder().eth("ff:ff:ff:ff:ff:ff", smac).arp(1, smac, spa, "00:00:00:00:00:00", tpa).build();
}

class RouteTest : public PacketTest {
protected:
    void SetUp() override
    {
        PacketTest::SetUp();
        mh_clear(ownmac_table);
        set_uptime(1000);
        memcpy(dmn.own_hwaddr, mac_bytes(OWN_HW).data(), 6);
        params[P_IPFORWARDING].current = 1;
        params[P_ARPLOOKUP].current = 10;
        const char *lines[] = {
            "vrrp vrid 9", "vrrp priority 100",
            "network 1 addr 198.51.100.0", "network 1 mask 255.255.255.0", "network 1 real 198.51.100.10",
            "network 1 virt 198.51.100.11", "network 1 mask6 64", "network 1 real6 2001:db8:1::10",
            "network 1 interfaces eth1", "commit network 1",
            "network 2 addr 203.0.113.0", "network 2 mask 255.255.255.0", "network 2 real 203.0.113.10",
            "network 2 mask6 64", "network 2 real6 2001:db8:2::10", "network 2 virt6 2001:db8:2::11",
            "network 2 interfaces eth2", "commit network 2",
            "gateway ipaddr 203.0.113.1", "gateway ipaddr6 2001:db8:2::1",
        };
        for (const char *line : lines) {
            int ok = 0;
            run_line(line, &ok);
            ASSERT_EQ(ok, 1) << line;
        }
        learn_host(CLIENT_IP, CLIENT_MAC, 1);
        learn_host(CLIENT6, CLIENT_MAC, 1);
        learn_host("203.0.113.1", GW_MAC, 2);
        learn_host("2001:db8:2::1", GW_MAC, 2);
        ASSERT_EQ(chain_set("arp,rt"), 1);
        arp_refresh();  // recounts the routed entries of the emptied table
        ASSERT_EQ(arp_routed_pending(), 0);
        tw_clear();
    }
};

// ---------------------------------------------------------------------------
// One frame in, the frames out and the verdict

void server_resolved() { learn_host(SERVER_IP, SERVER_MAC, 2); learn_host(SERVER6, SERVER_MAC, 2); }
void forwarding_off() { server_resolved(); params[P_IPFORWARDING].current = 0; }
// The virtual MAC is in the own-MAC table because network 2 has a virt6;
// without it only a configured VRRP makes it the daemon's.
void vmac_not_owned() { server_resolved(); mh_clear(ownmac_table); }
void vrrp_on() { vmac_not_owned(); cfg.vrrp.network = 1; }
void vrrp_backup_node() { server_resolved(); cfg.vrrp.network = 1; cfg.vrrp.state = VRRP_BACKUP; }
void server_mac_unlearnt() { server_resolved(); mh_clear(mac_table); }
void no_gateway() { run_line("no gateway"); }
void gateway_unresolved()
{
    AHENTRY *e = entry("203.0.113.1");
    ah_wrlock(arp_table);
    memset(e->mac, 0, 6);
    ah_unlock(arp_table);
}
void gateway_without_entry() { arp_delete(key_of("203.0.113.1").data()); }
void target_behind_gateway()
{
    // A target reached through a router: lookups return the router's entry.
    arp_make_entry4(ip4_bytes("203.0.113.30").data(), nullptr, 0, 0, 0, 0, 4, ip4_bytes("203.0.113.1").data());
}

struct OUT {
    int slot;
    Frame frame;
};

struct ROW {
    const char *desc;
    const char *chain;
    void (*setup)();
    int slot;
    Frame in;
    std::vector<OUT> out;
    int verdict;
};

std::vector<ROW> rows()
{
    Frame s = to_server();
    Frame s6 = to_server6();
    Frame back = udp4(REAL2_MAC, SERVER_MAC, SERVER_IP, CLIENT_IP);
    Frame back6 = udp6(REAL2_MAC, SERVER_MAC, SERVER6, CLIENT6);
    Frame far = udp4(VIRT1_MAC, CLIENT_MAC, CLIENT_IP, "192.0.2.77");
    Frame far6 = udp6(VIRT1_MAC, CLIENT_MAC, CLIENT6, "2001:db8:99::1");
    Frame behind = udp4(VIRT1_MAC, CLIENT_MAC, CLIENT_IP, "203.0.113.30");
    Frame tcp = FrameBuilder().eth(REAL1_MAC, CLIENT_MAC).ipv4(CLIENT_IP, SERVER_IP).tcp(40000, 80, TCP_SYN).build();
    Frame other = FrameBuilder().eth(VIRT1_MAC, CLIENT_MAC).ethertype(0x88b5).payload(std::string(46, 'x')).build();
    Frame arp = FrameBuilder().eth(REAL1_MAC, CLIENT_MAC).arp(2, CLIENT_MAC, CLIENT_IP, REAL1_MAC, "198.51.100.10").build();
    return {
        {"rt passes a routable frame on while ipforwarding is 0", "rt", forwarding_off, 1, s, {}, 0},
        {"rt delivers to a resolved host from the network's real MAC", "rt", server_resolved, 1, s,
         {{2, relabelled(s, SERVER_MAC, REAL2_MAC)}}, 1},
        {"rt takes frames to the real MAC and keeps TCP bytes", "rt", server_resolved, 1, tcp,
         {{2, relabelled(tcp, SERVER_MAC, REAL2_MAC)}}, 1},
        {"rt delivers into a network with virt from the virt MAC", "rt", nullptr, 2, back,
         {{1, relabelled(back, CLIENT_MAC, VIRT1_MAC)}}, 1},
        {"rt passes a frame to another station's MAC", "rt", server_resolved, 1, to_server(OTHER_MAC), {}, 0},
        {"rt passes a frame to a MAC that is not its own", "rt", vmac_not_owned, 1, to_server(VMAC), {}, 0},
        {"rt takes a frame to the virtual MAC with VRRP", "rt", vrrp_on, 1, to_server(VMAC),
         {{2, relabelled(to_server(VMAC), SERVER_MAC, REAL2_MAC)}}, 1},
        {"rt on a VRRP backup leaves frames to the virtual MAC to its master", "rt", vrrp_backup_node, 1,
         to_server(VMAC), {}, 0},
        {"out routes while ipforwarding is 0", "out", forwarding_off, 1, s, {{2, relabelled(s, SERVER_MAC, REAL2_MAC)}},
         1},
        {"out drops a broadcast destination", "out", server_resolved, 1, to_server("ff:ff:ff:ff:ff:ff"), {}, 1},
        {"out drops a multicast destination", "out", server_resolved, 1, to_server("01:00:5e:00:00:01"), {}, 1},
        {"rt drops a frame that is not IP", "rt", nullptr, 1, other, {}, 1},
        {"rt drops an ARP frame the arp module passed on", "arp,rt", nullptr, 1, arp, {}, 1},
        {"a host whose MAC was learnt on no interface is dropped", "rt", server_mac_unlearnt, 1, s, {}, 1},
        {"an address on no network goes to the gateway", "rt", nullptr, 1, far, {{2, relabelled(far, GW_MAC, REAL2_MAC)}},
         1},
        {"a target behind a router goes to the router", "rt", target_behind_gateway, 1, behind,
         {{2, relabelled(behind, GW_MAC, REAL2_MAC)}}, 1},
        {"without a gateway it is dropped", "rt", no_gateway, 1, far, {}, 1},
        {"with the gateway unresolved it is dropped", "rt", gateway_unresolved, 1, far, {}, 1},
        {"with the gateway's entry gone it is dropped", "rt", gateway_without_entry, 1, far, {}, 1},
        {"IPv6 to a resolved host leaves from the virt6 MAC", "rt", server_resolved, 1, s6,
         {{2, relabelled(s6, SERVER_MAC, VMAC)}}, 1},
        {"rt takes IPv6 frames to the MAC it solicits from", "rt", server_resolved, 1,
         udp6(SOLICIT_MAC, CLIENT_MAC, CLIENT6, SERVER6),
         {{2, relabelled(udp6(SOLICIT_MAC, CLIENT_MAC, CLIENT6, SERVER6), SERVER_MAC, VMAC)}}, 1},
        {"IPv6 into a network without virt6 leaves from the node's MAC", "rt", nullptr, 2, back6,
         {{1, relabelled(back6, CLIENT_MAC, OWN_HW)}}, 1},
        {"IPv6 to no network goes to the IPv6 gateway", "rt", nullptr, 1, far6, {{2, relabelled(far6, GW_MAC, VMAC)}},
         1},
    };
}

class RouteTable : public RouteTest, public ::testing::WithParamInterface<int> {};

TEST_P(RouteTable, Row)
{
    ROW r = rows()[(size_t)GetParam()];
    SCOPED_TRACE(r.desc);
    ASSERT_EQ(chain_set(r.chain), 1);
    if (r.setup != nullptr)
        r.setup();
    EXPECT_EQ(receive(r.slot, r.in), r.verdict);
    auto got = sent();
    ASSERT_EQ(got.size(), r.out.size());
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].first, r.out[i].slot) << "frame " << i;
        EXPECT_EQ(got[i].second, r.out[i].frame) << "got\n" << hex(got[i].second) << "\nexpected\n" << hex(r.out[i].frame);
        EXPECT_EQ(checksum_errors(got[i].second), "") << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Route, RouteTable, ::testing::Range(0, (int)rows().size()));

// ---------------------------------------------------------------------------
// Unknown destinations

// Frames the daemon sent that are exactly f.
int sent_like(const Frame &f)
{
    int n = 0;
    for (int i = 0; i < tw_sent_count(); i++) {
        const TWFRAME *t = tw_sent(i);
        n += t->received == 0 && Frame(t->data, t->data + t->len) == f ? 1 : 0;
    }
    return n;
}

struct RESOLVE {
    const char *name;
    const char *dest;    // the server's address
    Frame frame;         // client to server
    Frame request;       // what the daemon asks on eth2
    Frame answer;        // the server's answer on eth2
    const char *source;  // source MAC of the forwarded frame
};

TEST_F(RouteTest, UnknownHostIsAskedForOncePerArplookupWhileFramesCome)
{
    RESOLVE cases[] = {
        {"IPv4", SERVER_IP, to_server(), arp_request_for(REAL2_MAC, "203.0.113.10", SERVER_IP),
         FrameBuilder().eth(REAL2_MAC, SERVER_MAC).arp(2, SERVER_MAC, SERVER_IP, REAL2_MAC, "203.0.113.10").build(),
         REAL2_MAC},
        {"IPv6", SERVER6, to_server6(),
         nd_frame("33:33:ff:00:00:20", SOLICIT_MAC, "2001:db8:2::10", "ff02::1:ff00:20", 135, 0, SERVER6, 1,
                  SOLICIT_MAC),
         nd_frame(OWN_HW, SERVER_MAC, SERVER6, "2001:db8:2::10", 136, 0x60, SERVER6, 2, SERVER_MAC), VMAC},
    };
    for (RESOLVE &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> key = key_of(c.dest);
        unsigned t0 = 1000;
        set_uptime(t0);
        tw_clear();
        // The first frame makes the entry and one request, and is dropped.
        EXPECT_EQ(receive(1, c.frame), 1);
        EXPECT_EQ(sent_like(c.request), 1);
        EXPECT_EQ(tw_sent_count_slot(1) + tw_sent_count_slot(3), 0);
        const AHENTRY *e = ah_find(arp_table, key.data());
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->psv, 1);
        EXPECT_TRUE(mac_is_zero(e->mac));
        EXPECT_EQ(e->network, 2);

        // More frames within arplookup seconds and the refresh ask nothing.
        tw_clear();
        for (unsigned t = t0; t < t0 + 10; t++) {
            set_uptime(t);
            EXPECT_EQ(receive(1, c.frame), 1);
            arp_refresh();
        }
        EXPECT_EQ(sent_like(c.request), 0);
        // arplookup seconds after the request the next frame asks again.
        set_uptime(t0 + 10);
        tw_clear();
        EXPECT_EQ(receive(1, c.frame), 1);
        EXPECT_EQ(receive(1, c.frame), 1);
        EXPECT_EQ(sent_like(c.request), 1);

        // The answer resolves it; the frames pass.
        receive(2, c.answer);
        tw_clear();
        EXPECT_EQ(receive(1, c.frame), 1);
        ASSERT_EQ(tw_sent_count_slot(2), 1);
        const TWFRAME *f = tw_sent_slot(2, 0);
        EXPECT_EQ(Frame(f->data, f->data + f->len), relabelled(c.frame, SERVER_MAC, c.source));

        // Once traffic stops nothing more is asked, resolved or not.
        tw_clear();
        for (unsigned t = t0 + 11; t < t0 + 200; t++) {
            set_uptime(t);
            arp_refresh();
        }
        EXPECT_EQ(sent_like(c.request), 0);
        EXPECT_NE(ah_find(arp_table, key.data()), nullptr) << "a resolved routed entry stays";
    }
}

TEST_F(RouteTest, NetworkWithoutAnAddressOfTheFamilyDropsAndMakesNoEntry)
{
    NETWORK &n3 = cfg.networks[3];
    n3.registered = n3.enabled = 1;
    memcpy(n3.addr, ip4_bytes("192.0.2.0").data(), 4);
    memcpy(n3.mask, ip4_bytes("255.255.255.0").data(), 4);
    n3.member[3] = 1;
    EXPECT_EQ(receive(1, udp4(VIRT1_MAC, CLIENT_MAC, CLIENT_IP, "192.0.2.5")), 1);
    EXPECT_EQ(tw_sent_count(), 0);
    EXPECT_EQ(entry("192.0.2.5"), nullptr);
    // Nor is a frame for one of the daemon's own addresses sent anywhere,
    // even when its MAC shows up on a wire.
    mh_insert(mac_table, mac_bytes(REAL2_MAC).data(), 2);
    tw_clear();
    EXPECT_EQ(receive(1, udp4(VIRT1_MAC, CLIENT_MAC, CLIENT_IP, "203.0.113.10")), 1);
    EXPECT_EQ(tw_sent_count(), 0);
}

TEST_F(RouteTest, UnresolvedRoutedEntriesAreCappedAndSweptBoundedly)
{
    // Every address of a /64 is a new destination; the cap holds the table.
    auto host = [](int k) {
        char ip[64];
        snprintf(ip, sizeof ip, "2001:db8:2::1:%x", k);
        return std::string(ip);
    };
    auto frame_to = [&](int k) { return udp6(VIRT1_MAC, CLIENT_MAC, CLIENT6, host(k).c_str()); };
    int before = arp_table->count;
    for (int k = 0; k <= ARP_ROUTED_MAX; k++) {
        Frame f = frame_to(k);  // dispatched unlogged: the log keeps only what is sent
        EXPECT_EQ(tw_dispatch(1, f.data(), (int)f.size()), 1);
    }
    EXPECT_EQ(arp_routed_pending(), ARP_ROUTED_MAX);
    EXPECT_EQ(arp_table->count, before + ARP_ROUTED_MAX);
    EXPECT_EQ(entry(host(ARP_ROUTED_MAX).c_str()), nullptr) << "beyond the cap";
    // One solicitation per entry made (the log keeps the first, counts the
    // rest), none beyond the cap.
    EXPECT_EQ(tw_sent_count() + tw_overflow(), ARP_ROUTED_MAX);

    // Still wanted a second before the idle time ends: nothing goes.
    set_uptime(1000 + ARP_ROUTED_IDLE - 1);
    arp_refresh();
    EXPECT_EQ(arp_routed_pending(), ARP_ROUTED_MAX);
    // Then the refresh removes at most ARP_ROUTED_SWEEP a second, which
    // makes room for a new destination at once.
    set_uptime(1000 + ARP_ROUTED_IDLE);
    arp_refresh();
    EXPECT_EQ(arp_routed_pending(), ARP_ROUTED_MAX - ARP_ROUTED_SWEEP);
    EXPECT_EQ(arp_table->count, before + ARP_ROUTED_MAX - ARP_ROUTED_SWEEP);
    tw_clear();
    EXPECT_EQ(receive(1, frame_to(ARP_ROUTED_MAX)), 1);
    EXPECT_EQ(tw_sent_count_slot(2), 1);
    EXPECT_NE(entry(host(ARP_ROUTED_MAX).c_str()), nullptr);
    for (int s = 1; s < 20; s++) {
        set_uptime(1000 + ARP_ROUTED_IDLE + (unsigned)s);
        arp_refresh();
    }
    EXPECT_EQ(arp_routed_pending(), 1) << "only the one made after the first sweep is left";
    EXPECT_EQ(arp_table->count, before + 1);
}

TEST_F(RouteTest, AbandonedUnresolvedEntriesGoWhileWantedAndResolvedOnesStay)
{
    const char *dests[] = {"203.0.113.40", "203.0.113.41", "203.0.113.42"};
    for (const char *d : dests)
        receive(1, udp4(VIRT1_MAC, CLIENT_MAC, CLIENT_IP, d));
    // .41 keeps getting frames; .42 is answered.
    learn_host("203.0.113.42", "02:00:00:00:00:42", 2);
    set_uptime(1030);
    receive(1, udp4(VIRT1_MAC, CLIENT_MAC, CLIENT_IP, "203.0.113.41"));
    struct {
        unsigned at;
        bool present[3];
    } steps[] = {
        {1000 + ARP_ROUTED_IDLE - 1, {true, true, true}},
        {1000 + ARP_ROUTED_IDLE, {false, true, true}},
        {1030 + ARP_ROUTED_IDLE - 1, {false, true, true}},
        {1030 + ARP_ROUTED_IDLE, {false, false, true}},
        {5000, {false, false, true}},
    };
    for (auto &s : steps) {
        set_uptime(s.at);
        arp_refresh();
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(entry(dests[k]) != nullptr, s.present[k]) << dests[k] << " at " << s.at;
    }
    EXPECT_EQ(arp_routed_pending(), 0);
    // An address declared for the refresh is its to resolve and is never swept.
    set_uptime(6000);
    receive(1, udp4(VIRT1_MAC, CLIENT_MAC, CLIENT_IP, "203.0.113.43"));
    run_line("arp 203.0.113.43");
    set_uptime(6000 + ARP_ROUTED_IDLE);
    arp_refresh();
    EXPECT_NE(entry("203.0.113.43"), nullptr);
}

// Readers forwarding to one new address at the same moment send one request.
TEST_F(RouteTest, ConcurrentReadersSendOneRequest)
{
    constexpr int THREADS = 4;
    constexpr int FRAMES = 200;
    std::latch start(THREADS);
    std::vector<std::thread> readers;
    for (int t = 0; t < THREADS; t++) {
        readers.emplace_back([&]() {
            Frame f = to_server();
            start.arrive_and_wait();
            for (int i = 0; i < FRAMES; i++) {
                Frame copy = f;
                tw_dispatch(1, copy.data(), (int)copy.size());
            }
        });
    }
    for (std::thread &r : readers)
        r.join();
    ASSERT_EQ(tw_sent_count_slot(2), 1);
    const TWFRAME *f = tw_sent_slot(2, 0);
    EXPECT_EQ(Frame(f->data, f->data + f->len), arp_request_for(REAL2_MAC, "203.0.113.10", SERVER_IP));
}

} // namespace
