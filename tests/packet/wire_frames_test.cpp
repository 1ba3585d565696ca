// Frames handled as they were on the wire: frames no station sends as
// they are (a group source MAC, IP lengths beyond the frame, a group ARP
// sender address) are neither answered, forwarded nor learnt, and VLAN
// tags put back in front of the EtherType keep tagged frames what they
// are. Through the test wire with the chain "arp,ping,switch", so any
// frame that reached the chain shows up as a reply or a flooded copy.
#include <cstring>

#include "config/addr.h"
#include "config/config_state.h"
#include "packet/arp.h"
#include "packet/frame.h"
#include "packet/interface_io.h"
#include "packet_fixture.h"

namespace {

const char *const CLIENT_MAC = "02:00:00:00:00:c1";
const char *const HOST_MAC = "02:00:00:00:00:c2";
const char *const VIP_MAC = "06:00:c0:00:02:0a";
const char *const BCAST = "ff:ff:ff:ff:ff:ff";
const char *const MCAST = "01:00:5e:00:00:01";

// Network 1 on interfaces 1 and 2 owns 192.0.2.10 and 2001:db8::10; the
// host 192.0.2.20 is known with HOST_MAC.
void lan()
{
    NETWORK &n = cfg.networks[1];
    n.registered = n.enabled = 1;
    n.member[1] = n.member[2] = 1;
    uint8_t key[16];
    ipv4_mapped(key, ip4_bytes("192.0.2.10").data());
    arp_make_entry(key, mac_bytes(VIP_MAC).data(), 1, 0, 1, 1, 0, nullptr);
    parse_ipv6("2001:db8::10", key);
    arp_make_entry(key, mac_bytes(VIP_MAC).data(), 1, 0, 1, 1, 0, nullptr);
    ipv4_mapped(key, ip4_bytes("192.0.2.20").data());
    arp_make_entry(key, mac_bytes(HOST_MAC).data(), 0, 0, 1, 1, 0, nullptr);
}

Frame echo4(const char *src_mac = CLIENT_MAC)
{
    return FrameBuilder().eth(VIP_MAC, src_mac).ipv4("192.0.2.1", "192.0.2.10").icmp_echo(8, 7, 1, "abcdefgh").build();
}

Frame echo6(const char *src_mac = CLIENT_MAC)
{
    return FrameBuilder().eth(VIP_MAC, src_mac).ipv6("2001:db8::1", "2001:db8::10").icmp6_echo(128, 7, 1, "abcdefgh").build();
}

Frame with16(Frame f, size_t off, uint16_t v)
{
    wr16(f.data() + off, v);
    return f;
}

Frame arp_request(const char *eth_src, const char *sha, const char *spa, const char *tpa)
{
    return FrameBuilder().eth(BCAST, eth_src).arp(ARP_REQUEST, sha, spa, "00:00:00:00:00:00", tpa).pad(60).build();
}

Frame arp_reply_from_host(const char *sha)
{
    return FrameBuilder().eth(VIP_MAC, CLIENT_MAC).arp(ARP_REPLY, sha, "192.0.2.20", VIP_MAC, "192.0.2.10").pad(60).build();
}

// The same frame with an 802.1Q tag (VLAN 100, priority 0) behind the MACs.
Frame tagged(const Frame &f, uint16_t tpid = ETHTYPE_VLAN, uint16_t tci = 100)
{
    Frame t(f.begin(), f.begin() + ETH_TYPE);
    t.push_back((uint8_t)(tpid >> 8));
    t.push_back((uint8_t)tpid);
    t.push_back((uint8_t)(tci >> 8));
    t.push_back((uint8_t)tci);
    t.insert(t.end(), f.begin() + ETH_TYPE, f.end());
    return t;
}

// What became of a received frame.
enum FATE {
    ANSWERED,   // a reply went back out on interface 1
    SWITCHED,   // nobody answered it: the switch flooded it unchanged to interfaces 2 and 3
    REFUSED,    // the chain saw it and dropped it (arp consumed it)
    DROPPED,    // dropped on receipt, counted, the chain never saw it
};

struct ROW {
    const char *desc;
    Frame in;                 // received on interface 1
    FATE fate;
    const char *not_learnt;   // a MAC that must not be in the MAC table afterwards, or nullptr
};

std::vector<ROW> rows()
{
    const size_t v4len = ETH_HDRLEN + IP4_TOTLEN, v6len = ETH_HDRLEN + IP6_PLEN;
    const Frame e4 = echo4(), e6 = echo6();
    const uint16_t e4total = rd16(e4.data() + v4len), e6payload = rd16(e6.data() + v6len);
    return {
        {"an echo request to the VIP is answered", e4, ANSWERED, nullptr},
        {"an IPv6 echo request to the VIP is answered", e6, ANSWERED, nullptr},
        {"IPv4 total length one byte beyond the frame", with16(e4, v4len, (uint16_t)(e4total + 1)), DROPPED, nullptr},
        {"IPv4 total length of a 12000-byte packet in a 9999-byte read", with16(e4, v4len, 12028), DROPPED, nullptr},
        {"IPv6 payload length beyond the frame", with16(e6, v6len, (uint16_t)(e6payload + 40)), DROPPED, nullptr},
        {"an echo request from a multicast source MAC", echo4(MCAST), DROPPED, MCAST},
        {"an echo request from the broadcast MAC", echo4(BCAST), DROPPED, BCAST},
        {"an IPv6 echo request from a multicast source MAC", echo6("33:33:00:00:00:01"), DROPPED, "33:33:00:00:00:01"},
        {"an ARP request for the VIP is answered", arp_request(CLIENT_MAC, CLIENT_MAC, "192.0.2.1", "192.0.2.10"), ANSWERED, nullptr},
        {"an ARP request for the VIP from a multicast source MAC", arp_request(MCAST, MCAST, "192.0.2.1", "192.0.2.10"), DROPPED, MCAST},
        {"an ARP request for the VIP with a multicast sender address", arp_request(CLIENT_MAC, MCAST, "192.0.2.1", "192.0.2.10"), REFUSED, MCAST},
        {"an ARP request for the VIP on VLAN 100 is not the native LAN's", tagged(arp_request(CLIENT_MAC, CLIENT_MAC, "192.0.2.1", "192.0.2.10")), SWITCHED, nullptr},
        {"an 802.1ad-tagged echo request is not the native LAN's", tagged(e4, ETHTYPE_QINQ, 0x2064), SWITCHED, nullptr},
    };
}

class WireFrames : public PacketTest, public ::testing::WithParamInterface<int> {};

TEST_P(WireFrames, Row)
{
    ROW r = rows()[(size_t)GetParam()];
    SCOPED_TRACE(r.desc);
    lan();
    ASSERT_EQ(chain_set("arp,ping,switch"), 1);
    EXPECT_EQ(receive(1, r.in), r.fate == DROPPED ? 0 : 1);
    int back = tw_sent_count_slot(1), flooded = tw_sent_count_slot(2) + tw_sent_count_slot(3);
    EXPECT_EQ(back, r.fate == ANSWERED ? 1 : 0);
    if (back == 1) {
        const TWFRAME *f = tw_sent_slot(1, 0);
        Frame out(f->data, f->data + f->len);
        EXPECT_EQ(checksum_errors(out), "");
        EXPECT_TRUE(mac_equal(out.data() + ETH_DST, mac_bytes(CLIENT_MAC).data())) << hex(out);
    }
    EXPECT_EQ(flooded, r.fate == SWITCHED ? 2 : 0);
    for (int s = 2; s <= 3 && flooded == 2; s++) {
        const TWFRAME *f = tw_sent_slot(s, 0);
        EXPECT_EQ(Frame(f->data, f->data + f->len), r.in) << "slot " << s;
    }
    if (r.not_learnt != nullptr) {
        EXPECT_EQ(mh_lookup(mac_table, mac_bytes(r.not_learnt).data()), nullptr);
    }
    IFCOUNTS c;
    interface_counts(1, &c);
    EXPECT_EQ(c.recv_packets, 1u);
    EXPECT_EQ(c.dropped, r.fate == DROPPED ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Received, WireFrames, ::testing::Range(0, (int)rows().size()));

// A known host keeps its MAC when an ARP frame names a group address as
// its sender, whether announced (gratuitous request) or answered.
TEST_F(PacketTest, GroupSenderAddressNeverReplacesAHostsMac)
{
    lan();
    ASSERT_EQ(chain_set("arp"), 1);
    uint8_t key[16];
    ipv4_mapped(key, ip4_bytes("192.0.2.20").data());
    const Frame frames[] = {
        arp_request(CLIENT_MAC, MCAST, "192.0.2.20", "192.0.2.20"),
        arp_request(CLIENT_MAC, BCAST, "192.0.2.20", "192.0.2.20"),
        arp_reply_from_host(MCAST),
    };
    for (const Frame &f : frames) {
        SCOPED_TRACE(hex(f));
        receive(1, f);
        AHENTRY *e = ah_find(arp_table, key);
        ASSERT_NE(e, nullptr);
        EXPECT_TRUE(mac_equal(e->mac, mac_bytes(HOST_MAC).data()));
    }
    EXPECT_EQ(tw_sent_count(), 0);
    // The same announcement from a station's address is taken.
    receive(1, arp_request(CLIENT_MAC, CLIENT_MAC, "192.0.2.20", "192.0.2.20"));
    EXPECT_TRUE(mac_equal(ah_find(arp_table, key)->mac, mac_bytes(CLIENT_MAC).data()));
}

TEST(Frame, MacLearningRefusesGroupAddresses)
{
    kvn_test_reset();
    mh_clear(mac_table);
    const char *const group[] = {MCAST, BCAST, "33:33:00:00:00:01", "03:00:00:00:00:00"};
    for (const char *m : group) {
        mh_learn(mac_table, mac_bytes(m).data(), 1);
        EXPECT_EQ(mh_lookup(mac_table, mac_bytes(m).data()), nullptr) << m;
    }
    mh_learn(mac_table, mac_bytes(CLIENT_MAC).data(), 1);
    EXPECT_EQ(mh_interface_of(mac_table, mac_bytes(CLIENT_MAC).data()), 1);
    mh_clear(mac_table);
}

// The tag goes back between the source MAC and the EtherType, as 802.1Q
// puts it on the wire, whatever the TPID; the rest of the frame follows
// unchanged.
TEST(Frame, VlanTagGoesBackBehindTheMacs)
{
    const struct {
        uint16_t tpid, tci;
    } tags[] = {{ETHTYPE_VLAN, 100}, {ETHTYPE_VLAN, 0xe064}, {ETHTYPE_QINQ, 4095}, {ETHTYPE_VLAN, 0}};
    Frame plain = arp_request(CLIENT_MAC, CLIENT_MAC, "192.0.2.1", "192.0.2.10");
    for (const auto &t : tags) {
        SCOPED_TRACE(t.tci);
        uint8_t buf[FRAMEBUF];
        memcpy(buf, plain.data(), plain.size());
        int len = frame_insert_vlan(buf, (int)plain.size(), t.tpid, t.tci);
        EXPECT_EQ(Frame(buf, buf + len), tagged(plain, t.tpid, t.tci));
    }
    uint8_t runt[ETH_TYPE + VLAN_TAGLEN] = {1, 2, 3};
    EXPECT_EQ(frame_insert_vlan(runt, 3, ETHTYPE_VLAN, 100), 3);
    EXPECT_EQ(runt[0], 1);
}

} // namespace
