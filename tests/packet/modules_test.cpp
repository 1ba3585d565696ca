// The small modules over the test wire: one table row per case with the
// chain, the setup, the frame received, the frames expected out and the
// chain's verdict.
#include <cstring>

#include "config/addr.h"
#include "config/config_state.h"
#include "config/parameters.h"
#include "packet/arp.h"
#include "packet/arp_frames.h"
#include "packet/frame.h"
#include "packet_fixture.h"

namespace {

const char *const CLIENT_MAC = "02:00:00:00:00:c1";
const char *const OTHER_MAC = "02:00:00:00:00:c2";
const char *const VIP_MAC = "06:00:c0:00:02:0a";
const char *const VMAC = "00:00:5e:00:01:07";
const char *const BCAST = "ff:ff:ff:ff:ff:ff";

void set_param(const char *line)
{
    int r = 0;
    run_line(line, &r);
    ASSERT_EQ(r, 1) << line;
}

void add_vip(const char *ip, const char *mac, int network)
{
    uint8_t key[16];
    if (strchr(ip, ':') != nullptr)
        parse_ipv6(ip, key);
    else
        ipv4_mapped(key, ip4_bytes(ip).data());
    arp_make_entry(key, mac_bytes(mac).data(), 1, 0, 1, network, 0, nullptr);
}

// Network 1 carries the VIPs on interface 1 only.
void vip_network()
{
    NETWORK &n = cfg.networks[1];
    n.registered = n.enabled = 1;
    n.member[1] = 1;
    memcpy(n.virt, ip4_bytes("192.0.2.100").data(), 4);
    add_vip("192.0.2.10", VIP_MAC, 1);
    add_vip("192.0.2.100", VIP_MAC, 1);
    add_vip("2001:db8::10", VIP_MAC, 1);
}

void vrrp_backup()
{
    vip_network();
    cfg.vrrp.vrid = 7;
    cfg.vrrp.priority = 100;
    cfg.vrrp.network = 1;
    cfg.vrrp.state = VRRP_BACKUP;
    memcpy(cfg.vrrp.vmac, mac_bytes(VMAC).data(), 6);
}

void vrrp_master()
{
    vrrp_backup();
    cfg.vrrp.state = VRRP_MASTER;
}

void vip_backup_vmac()
{
    vrrp_backup();
    add_vip("192.0.2.10", VMAC, 1);
}

void host_entry()
{
    uint8_t key[16];
    ipv4_mapped(key, ip4_bytes("192.0.2.20").data());
    arp_make_entry(key, mac_bytes(OTHER_MAC).data(), 0, 0, 1, 1, 0, nullptr);
}

void host_entry_backup()
{
    host_entry();
    vrrp_backup();
}

void localvirt()
{
    vip_network();
    set_param("set localvirt 1");
}

void learn_other_on_2() { mh_learn(mac_table, mac_bytes(OTHER_MAC).data(), 2); }
void learn_other_on_1() { mh_learn(mac_table, mac_bytes(OTHER_MAC).data(), 1); }
void allow_client() { run_line("ipallow ::ffff:192.0.2.1"); }
void allow_client6() { run_line("ipallow 2001:db8::1"); }
void deny_client() { run_line("ipdeny ::ffff:192.0.2.1"); }
void deny_client6() { run_line("ipdeny 2001:db8::1"); }
void allow_mac() { run_line(std::string("macallow ") + CLIENT_MAC); }
void deny_mac() { run_line(std::string("macdeny ") + CLIENT_MAC); }
void strict_on() { set_param("set strictrouting 1"); }
void strict_off() { set_param("set strictrouting 0"); }
void strict_vrrp()
{
    strict_on();
    vrrp_master();
}
void disable_3() { cfg.interfaces[3].enabled = 0; }

// Frames used by the rows.
// The MAC our neighbour solicitations come from, as text.
const char *solicitation_mac_text()
{
    static char text[18];
    uint8_t m[6];
    nd_solicitation_mac(m);
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return text;
}

Frame udp_from_client(const char *dst_mac = OTHER_MAC)
{
    return FrameBuilder().eth(dst_mac, CLIENT_MAC).ipv4("192.0.2.1", "192.0.2.20").udp(1024, 53).payload("q").build();
}

Frame udp6_from_client()
{
    return FrameBuilder().eth(OTHER_MAC, CLIENT_MAC).ipv6("2001:db8::1", "2001:db8::20").udp(1024, 53).build();
}

Frame arp_request()
{
    return FrameBuilder().eth(BCAST, CLIENT_MAC).arp(1, CLIENT_MAC, "192.0.2.1", "00:00:00:00:00:00", "192.0.2.10").build();
}

Frame echo4(const char *dst, const char *dst_mac = VIP_MAC, size_t pad = 0)
{
    return FrameBuilder().eth(dst_mac, CLIENT_MAC).ipv4("192.0.2.1", dst, 61).icmp_echo(8, 0x1234, 7, "ping!").pad(pad).build();
}

Frame reply4(const char *src, size_t pad = 0)
{
    return FrameBuilder().eth(CLIENT_MAC, VIP_MAC).ipv4(src, "192.0.2.1", 61).icmp_echo(0, 0x1234, 7, "ping!").pad(pad).build();
}

Frame echo6()
{
    return FrameBuilder().eth(VIP_MAC, CLIENT_MAC).ipv6("2001:db8::1", "2001:db8::10", 255).icmp6_echo(128, 0x99, 3, "six").build();
}

Frame reply6()
{
    return FrameBuilder().eth(CLIENT_MAC, VIP_MAC).ipv6("2001:db8::10", "2001:db8::1", 255).icmp6_echo(129, 0x99, 3, "six").build();
}

Frame cut(Frame f, size_t n)
{
    f.resize(n);
    return f;
}

struct OUT {
    int slot;          // interface the frame leaves on
    Frame frame;       // exact bytes
};

struct ROW {
    const char *desc;  // what the row shows
    const char *chain; // argument of `modules`; "" = empty chain
    void (*setup)();   // extra state, or nullptr
    int in_slot;       // receiving interface
    Frame in;          // received frame
    std::vector<OUT> out; // frames expected on the wire, in order
    int verdict;       // chain result: 1 consumed, 0 not consumed (dropped)
};

std::vector<ROW> rows()
{
    Frame u = udp_from_client();
    Frame b = udp_from_client(BCAST);
    return {
        {"empty chain drops every frame", "", nullptr, 1, u, {}, 0},
        {"switch floods an unknown destination", "switch", nullptr, 1, u, {{2, u}, {3, u}}, 1},
        {"switch floods broadcast", "switch", nullptr, 2, b, {{1, b}, {3, b}}, 1},
        {"switch floods only enabled interfaces", "switch", disable_3, 1, u, {{2, u}}, 1},
        {"switch sends a learned destination on its interface", "switch", learn_other_on_2, 1, u, {{2, u}}, 1},
        {"switch drops a destination learned on the receiving interface", "switch", learn_other_on_1, 1, u, {}, 1},
        {"switch drops a runt", "switch", nullptr, 1, Frame(10, 0xff), {}, 1},
        {"crossover sends on every other interface", "crossover", nullptr, 3, u, {{1, u}, {2, u}}, 1},
        {"crossover consumes a runt without sending it", "crossover", nullptr, 1, Frame(8, 1), {}, 1},
        {"ipallow passes a listed IPv4 source", "ipallow", allow_client, 1, u, {}, 0},
        {"ipallow passes a listed IPv6 source", "ipallow", allow_client6, 1, udp6_from_client(), {}, 0},
        {"ipallow drops an unlisted source", "ipallow", allow_client6, 1, u, {}, 1},
        {"ipallow drops ARP", "ipallow", allow_client, 1, arp_request(), {}, 1},
        {"ipallow drops a frame too short for the source", "ipallow", allow_client, 1,
         cut(u, 28), {}, 1},
        {"ipdeny drops a listed IPv4 source", "ipdeny", deny_client, 1, u, {}, 1},
        {"ipdeny drops a listed IPv6 source", "ipdeny", deny_client6, 1, udp6_from_client(), {}, 1},
        {"ipdeny passes an unlisted source", "ipdeny", deny_client6, 1, u, {}, 0},
        {"ipdeny passes ARP", "ipdeny", deny_client, 1, arp_request(), {}, 0},
        {"macallow passes a listed source MAC", "macallow", allow_mac, 1, arp_request(), {}, 0},
        {"macallow drops an unlisted source MAC", "macallow", nullptr, 1, u, {}, 1},
        {"macdeny drops a listed source MAC", "macdeny", deny_mac, 1, u, {}, 1},
        {"macdeny passes an unlisted source MAC", "macdeny", nullptr, 1, u, {}, 0},
        {"master drops everything on a VRRP backup", "master", vrrp_backup, 1, u, {}, 1},
        {"master passes on a VRRP master", "master", vrrp_master, 1, u, {}, 0},
        {"master drops frames from the interface's own MAC", "master", nullptr, 1,
         FrameBuilder().eth(OTHER_MAC, WIRE_MAC[1]).ipv4("192.0.2.1", "192.0.2.20").udp(1, 2).build(), {}, 1},
        {"master passes without VRRP", "master", nullptr, 1, u, {}, 0},
        {"strict passes everything while strictrouting is 0", "strict", strict_off, 1, u, {}, 0},
        {"strict passes own MAC 06:00", "strict", strict_on, 1, udp_from_client(VIP_MAC), {}, 0},
        {"strict passes own MAC 06:01", "strict", strict_on, 1, udp_from_client("06:01:00:01:02:03"), {}, 0},
        {"strict drops other MACs", "strict", strict_on, 1, u, {}, 1},
        {"strict passes the neighbour solicitations' MAC", "strict", strict_on, 1,
         udp_from_client(solicitation_mac_text()), {}, 0},
        {"strict with VRRP passes the virtual MAC", "strict", strict_vrrp, 1, udp_from_client(VMAC), {}, 0},
        {"strict with VRRP drops 06:00 MACs", "strict", strict_vrrp, 1, udp_from_client(VIP_MAC), {}, 1},
        {"ping answers an IPv4 echo request to a VIP", "ping", vip_network, 1, echo4("192.0.2.10"),
         {{1, reply4("192.0.2.10")}}, 1},
        {"ping keeps Ethernet padding in the reply", "ping", vip_network, 1, echo4("192.0.2.10", VIP_MAC, 60),
         {{1, reply4("192.0.2.10", 60)}}, 1},
        {"ping answers an IPv6 echo request to a VIP", "ping", vip_network, 1, echo6(), {{1, reply6()}}, 1},
        {"ping drops a request on an interface outside the VIP's network", "ping", vip_network, 2,
         echo4("192.0.2.10"), {}, 1},
        {"ping passes a request to an unknown address", "ping", vip_network, 1, echo4("192.0.2.99"), {}, 0},
        {"ping passes a request to a known host", "ping", host_entry, 1, echo4("192.0.2.20"), {}, 0},
        {"ping drops a request to a known host on a backup", "ping", host_entry_backup, 1, echo4("192.0.2.20"), {},
         1},
        {"ping drops a request to the virtual MAC's VIP on a backup", "ping", vip_backup_vmac, 1,
         echo4("192.0.2.10", VMAC), {}, 1},
        {"ping drops a request to virt with localvirt", "ping", localvirt, 1, echo4("192.0.2.100"), {}, 1},
        {"ping answers virt without localvirt", "ping", vip_network, 1, echo4("192.0.2.100"),
         {{1, reply4("192.0.2.100")}}, 1},
        {"ping passes an echo reply", "ping", vip_network, 1, reply4("192.0.2.10"), {}, 0},
        {"ping passes a truncated echo request", "ping", vip_network, 1,
         cut(echo4("192.0.2.10"), 40), {}, 0},
        {"out consumes and drops a frame it has no route for", "out", nullptr, 1, u, {}, 1},
        {"classic passes every frame", "classic", nullptr, 1, u, {}, 0},
        {"ip4debug and sctpdebug pass every frame", "ip4debug,sctpdebug", nullptr, 1,
         FrameBuilder().eth(OTHER_MAC, CLIENT_MAC).ipv4("192.0.2.1", "192.0.2.20").sctp(5000, 6000).build(), {}, 0},
        {"a passing module hands the frame on", "macdeny,crossover", nullptr, 1, u, {{2, u}, {3, u}}, 1},
        {"a consuming module stops the chain", "macdeny,crossover", deny_mac, 1, u, {}, 1},
    };
}

class ModuleTable : public PacketTest, public ::testing::WithParamInterface<int> {};

TEST_P(ModuleTable, Row)
{
    ROW r = rows()[(size_t)GetParam()];
    SCOPED_TRACE(r.desc);
    if (r.chain[0] != '\0') {
        ASSERT_EQ(chain_set(r.chain), 1);
    }
    if (r.setup != nullptr)
        r.setup();
    EXPECT_EQ(receive(r.in_slot, r.in), r.verdict);
    auto got = sent();
    ASSERT_EQ(got.size(), r.out.size());
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].first, r.out[i].slot) << "frame " << i;
        EXPECT_EQ(got[i].second, r.out[i].frame) << "frame " << i << " got\n"
                                                 << hex(got[i].second) << "\nexpected\n"
                                                 << hex(r.out[i].frame);
        EXPECT_EQ(checksum_errors(got[i].second), "") << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Modules, ModuleTable, ::testing::Range(0, (int)rows().size()));

// The reply must be right by recomputation, independently of the builder
// that made the expected bytes: checksums over the reply as sent.
TEST_F(PacketTest, PingRepliesVerifyByRecomputation)
{
    vip_network();
    ASSERT_EQ(chain_set("ping"), 1);
    Frame in4 = echo4("192.0.2.10");
    // Make the request's checksums odd values that still verify: a payload
    // whose sum lands the ICMP checksum near 0xffff exercises the
    // end-around carry of the incremental update.
    for (int seq = 0; seq < 300; seq++) {
        Frame f = FrameBuilder().eth(VIP_MAC, CLIENT_MAC).ipv4("192.0.2.1", "192.0.2.10")
                      .icmp_echo(8, (uint16_t)(seq * 257), (uint16_t)seq, std::string(seq % 7, (char)seq)).build();
        tw_clear();
        ASSERT_EQ(receive(1, f), 1);
        ASSERT_EQ(tw_sent_count(), 1);
        const TWFRAME *o = tw_sent(0);
        Frame out(o->data, o->data + o->len);
        ASSERT_EQ(checksum_errors(out), "") << "seq " << seq << "\n" << hex(out);
        // Byte for byte what a full computation gives: seq 0 (identifier,
        // sequence and data zero) makes an all-zero reply, whose checksum
        // is 0xffff, not the 0x0000 of the plain incremental update.
        ASSERT_EQ(checksum_mismatch(out), "") << "seq " << seq << "\n" << hex(out);
        ASSERT_EQ(out.size(), f.size());
    }
    tw_clear();
    ASSERT_EQ(receive(1, echo6()), 1);
    ASSERT_EQ(tw_sent_count(), 1);
    EXPECT_EQ(checksum_errors(Frame(tw_sent(0)->data, tw_sent(0)->data + tw_sent(0)->len)), "");
}

// Learning through the switch: a reply comes back to the interface the
// first frame was learned on, not flooded.
TEST_F(PacketTest, SwitchLearnsFromTraffic)
{
    ASSERT_EQ(chain_set("switch"), 1);
    Frame a = FrameBuilder().eth(OTHER_MAC, CLIENT_MAC).ipv4("192.0.2.1", "192.0.2.20").udp(1, 2).build();
    Frame b = FrameBuilder().eth(CLIENT_MAC, OTHER_MAC).ipv4("192.0.2.20", "192.0.2.1").udp(2, 1).build();
    ASSERT_EQ(receive(1, a), 1);
    EXPECT_EQ(tw_sent_count(), 2);  // flooded to 2 and 3
    tw_clear();
    ASSERT_EQ(receive(3, b), 1);
    ASSERT_EQ(tw_sent_count(), 1);
    EXPECT_EQ(tw_sent(0)->slot, 1);
}

} // namespace
