// The `nat` module over the test wire: an inside host's TCP, UDP and echo
// traffic over IPv4 and IPv6 leaves with the outside address and a port
// from 20000, byte for byte as an independently built frame (so with
// checksums a full computation gives), also when the host left its
// checksum to transmit offload; the answer comes back to the host. Unknown
// inbound traffic is dropped, traffic not meant for translation passes,
// and a type whose ports are all taken drops its new flows.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "nat_fixture.h"
#include "packet/chain.h"

namespace {

struct FLOW {
    const char *name;
    int ipver;
    uint8_t proto;   // TCP, UDP, or ICMP/ICMPv6 for echo
};
const FLOW FLOWS[] = {
    {"TCP4", 4, IPPROTO_TCP_}, {"UDP4", 4, IPPROTO_UDP_}, {"ECH4", 4, IPPROTO_ICMP_},
    {"TCP6", 6, IPPROTO_TCP_}, {"UDP6", 6, IPPROTO_UDP_}, {"ECH6", 6, IPPROTO_ICMPV6_},
};

const char *host_of(const FLOW &f) { return f.ipver == 4 ? HOST4 : HOST6; }
const char *server_of(const FLOW &f) { return f.ipver == 4 ? SERVER4 : SERVER6; }
const char *outside_of(const FLOW &f) { return f.ipver == 4 ? OUTSIDE4 : OUTSIDE6; }

// A frame of the flow; for echo, the request carries sport as identifier
// and the reply dport.
Frame flow_frame(const FLOW &f, bool request, const char *dmac, const char *smac, const char *src, const char *dst,
                 uint16_t sport, uint16_t dport, const std::string &data = "odd!!")
{
    FrameBuilder b;
    b.eth(dmac, smac);
    if (f.ipver == 4)
        b.ipv4(src, dst);
    else
        b.ipv6(src, dst);
    if (f.proto == IPPROTO_TCP_)
        b.tcp(sport, dport, request ? TCP_SYN : (uint8_t)(TCP_SYN | TCP_ACKF), 1000, request ? 0 : 1001).payload(data);
    else if (f.proto == IPPROTO_UDP_)
        b.udp(sport, dport).payload(data);
    else if (f.ipver == 4)
        b.icmp_echo(request ? ICMP_ECHO : ICMP_ECHOREPLY, request ? sport : dport, 3, data);
    else
        b.icmp6_echo(request ? ICMP6_ECHO : ICMP6_ECHOREPLY, request ? sport : dport, 3, data);
    return b.build();
}

// Out from the host and back, for every flow, with finished checksums and
// (TCP, UDP) offloaded ones; the outside port of each type starts at 20000.
TEST_F(NatTest, OutboundTranslatedAndReplyBack)
{
    ASSERT_EQ(chain_set("nat"), 1);
    for (bool offload : {false, true}) {
        for (const FLOW &f : FLOWS) {
            if (offload && (f.proto == IPPROTO_ICMP_ || f.proto == IPPROTO_ICMPV6_))
                continue;  // senders offload TCP and UDP checksums only
            SCOPED_TRACE(std::string(f.name) + (offload ? " offloaded" : ""));
            gnat_clear(gnat_table);
            memset(nat_cursor, 0, sizeof nat_cursor);
            // The frame received on `from` (as its offloading sender hands
            // it over, when so) and what is sent on `to`.
            auto pass = [offload](int from, const Frame &in, int to) {
                tw_clear();
                Frame wire = offload ? offloaded(in) : in;
                EXPECT_EQ(tw_receive(from, wire.data(), (int)wire.size(), offload), 1);
                return only_sent(to);
            };
            Frame out = pass(1, flow_frame(f, true, VMAC, HOST_MAC, host_of(f), server_of(f), 40000, 80), 2);
            ASSERT_EQ(out, flow_frame(f, true, SERVER_MAC, VMAC, outside_of(f), server_of(f), 20000, 80)) << hex(out);
            Frame back = pass(2, flow_frame(f, false, VMAC, SERVER_MAC, server_of(f), outside_of(f), 80, 20000), 1);
            ASSERT_EQ(back, flow_frame(f, false, HOST_MAC, VMAC, server_of(f), host_of(f), 80, 40000)) << hex(back);
            EXPECT_EQ(checksum_mismatch(only_sent(1)), "");
        }
    }
}

// A flow keeps its outside port; the next flow of the type gets the next
// one; every type counts from 20000 on its own.
TEST_F(NatTest, PortsPerFlowAndType)
{
    ASSERT_EQ(chain_set("nat"), 1);
    const FLOW &tcp = FLOWS[0], &udp = FLOWS[1];
    struct ROW {
        const FLOW &flow;
        uint16_t sport;
        uint16_t want;
    };
    const ROW rows[] = {{tcp, 40000, 20000}, {tcp, 40000, 20000}, {tcp, 40001, 20001}, {udp, 40000, 20000}};
    for (const ROW &row : rows) {
        tw_clear();
        ASSERT_EQ(receive(1, flow_frame(row.flow, true, VMAC, HOST_MAC, HOST4, SERVER4, row.sport, 53)), 1);
        Frame f = only_sent(2);
        ASSERT_FALSE(f.empty());
        EXPECT_EQ(rd16(&f[34 + L4_SPORT]), row.want) << row.flow.name << " " << row.sport;
    }
    EXPECT_EQ(gnat_count(gnat_table), 3);
}

// The sender of a frame the module acts on gets a passive entry with its
// MAC and its network.
TEST_F(NatTest, SenderEnteredPassively)
{
    ASSERT_EQ(chain_set("nat"), 1);
    ASSERT_EQ(receive(1, flow_frame(FLOWS[0], true, VMAC, HOST_MAC, HOST4, SERVER4, 40000, 80)), 1);
    uint8_t k[16];
    key_of(HOST4, k);
    const AHENTRY *e = ah_find(arp_table, k);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(Frame(e->mac, e->mac + 6), mac_bytes(HOST_MAC));
    EXPECT_EQ(e->network, 1);
    EXPECT_EQ(e->psv, 1);
    EXPECT_EQ(e->vip, 0);
}

// Frames to the outside address without an association, or of another
// kind, are consumed and go nowhere.
TEST_F(NatTest, UnknownInboundDropped)
{
    ASSERT_EQ(chain_set("nat"), 1);
    const Frame rows[] = {
        flow_frame(FLOWS[0], false, VMAC, SERVER_MAC, SERVER4, OUTSIDE4, 80, 20999),
        flow_frame(FLOWS[1], false, VMAC, SERVER_MAC, SERVER4, OUTSIDE4, 53, 20000),
        flow_frame(FLOWS[2], false, VMAC, SERVER_MAC, SERVER4, OUTSIDE4, 0, 20000),
        flow_frame(FLOWS[5], false, VMAC, SERVER_MAC, SERVER6, OUTSIDE6, 0, 20000),
        flow_frame(FLOWS[2], true, VMAC, SERVER_MAC, SERVER4, OUTSIDE4, 20000, 0),  // an echo request
        FrameBuilder().eth(VMAC, SERVER_MAC).ipv4(SERVER4, OUTSIDE4).proto(47).payload("gre!").build(),
    };
    for (const Frame &f : rows) {
        tw_clear();
        EXPECT_EQ(receive(2, f), 1) << hex(f);
        EXPECT_EQ(tw_sent_count(), 0) << hex(f);
    }
}

// Frames the module is not for pass on untouched and make no association.
TEST_F(NatTest, NotForTranslationPasses)
{
    ASSERT_EQ(chain_set("nat"), 1);
    const FLOW &tcp = FLOWS[0];
    Frame fragment = FrameBuilder().eth(VMAC, HOST_MAC).ipv4(HOST4, SERVER4).proto(IPPROTO_TCP_).payload("tail of it").build();
    wr16(&fragment[ETH_HDRLEN + IP4_FRAG], 0x0010);
    ip4_set_checksum(&fragment[ETH_HDRLEN], IP4_MINHDR);
    struct ROW {
        const char *name;
        Frame f;
        int slot;
        std::function<void()> setup;
    };
    const ROW rows[] = {
        {"not to the virtual MAC", flow_frame(tcp, true, "06:00:c6:33:64:02", HOST_MAC, HOST4, SERVER4, 40000, 80), 1, [] {}},
        {"sender outside the inside networks", flow_frame(tcp, true, VMAC, SERVER_MAC, SERVER4, "192.0.2.7", 80, 40000), 2,
         [] {}},
        {"group destination MAC", flow_frame(tcp, true, "01:00:5e:00:00:01", HOST_MAC, HOST4, SERVER4, 40000, 80), 1,
         [] {}},
        {"echo reply out", flow_frame(FLOWS[2], false, VMAC, HOST_MAC, HOST4, SERVER4, 0, 40000), 1, [] {}},
        {"non-first fragment", fragment, 1, [] {}},
        {"VRRP not configured", flow_frame(tcp, true, VMAC, HOST_MAC, HOST4, SERVER4, 40000, 80), 1,
         [] { cfg.vrrp.priority = 0; }},
        {"VRRP network disabled", flow_frame(tcp, true, VMAC, HOST_MAC, HOST4, SERVER4, 40000, 80), 1,
         [] { cfg.networks[1].enabled = 0; }},
        {"no nat outside network", flow_frame(tcp, true, VMAC, HOST_MAC, HOST4, SERVER4, 40000, 80), 1,
         [] { cfg.natoutside.network = 0; }},
        {"ipforwarding 0", flow_frame(tcp, true, VMAC, HOST_MAC, HOST4, SERVER4, 40000, 80), 1,
         [] { params[P_IPFORWARDING].current = 0; }},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        row.setup();
        tw_clear();
        EXPECT_EQ(receive(row.slot, row.f), 0);
        EXPECT_EQ(tw_sent_count(), 0);
        EXPECT_EQ(gnat_count(gnat_table), 0);
        SetUp();
        ASSERT_EQ(chain_set("nat"), 1);
    }
}

// With `ipforwarding` 0 the module does nothing at all: not even the
// sender's passive entry.
TEST_F(NatTest, IpforwardingOffDoesNothing)
{
    ASSERT_EQ(chain_set("nat"), 1);
    params[P_IPFORWARDING].current = 0;
    Frame out = flow_frame(FLOWS[0], true, VMAC, HOST_MAC, HOST4, SERVER4, 40000, 80);
    EXPECT_EQ(receive(1, out), 0);
    uint8_t k[16];
    key_of(HOST4, k);
    EXPECT_EQ(ah_find(arp_table, k), nullptr);
    EXPECT_EQ(tw_sent_count(), 0);
}

// Every UDP port of the outside address taken: a new UDP flow is dropped,
// TCP still gets its port.
TEST_F(NatTest, PortExhaustionDrops)
{
    ASSERT_EQ(chain_set("nat"), 1);
    uint8_t other[16], outside[16];
    key_of("198.51.100.200", other);
    key_of(OUTSIDE4, outside);
    for (uint32_t p = GNAT_PORT_FIRST; p <= 65535; p++) {
        GNATKEY l, r;
        memcpy(l.addr, other, 16);
        l.type = r.type = GNAT_UDP4;
        l.port = r.port = (uint16_t)p;
        memcpy(r.addr, outside, 16);
        GNATPAIR out;
        gnat_insert(gnat_table, l, r, &out);
    }
    ASSERT_EQ(gnat_count(gnat_table), 65536 - GNAT_PORT_FIRST);
    tw_clear();
    EXPECT_EQ(receive(1, flow_frame(FLOWS[1], true, VMAC, HOST_MAC, HOST4, SERVER4, 40000, 53)), 1);
    EXPECT_EQ(tw_sent_count(), 0);
    EXPECT_EQ(gnat_count(gnat_table), 65536 - GNAT_PORT_FIRST);
    EXPECT_EQ(receive(1, flow_frame(FLOWS[0], true, VMAC, HOST_MAC, HOST4, SERVER4, 40000, 80)), 1);
    EXPECT_EQ(tw_sent_count(), 1);
}

// UDP over IPv4 without a checksum leaves without one.
TEST_F(NatTest, UdpWithoutChecksum)
{
    ASSERT_EQ(chain_set("nat"), 1);
    Frame out = flow_frame(FLOWS[1], true, VMAC, HOST_MAC, HOST4, SERVER4, 40000, 53);
    wr16(&out[34 + UDP_CSUM], 0);
    ASSERT_EQ(receive(1, out), 1);
    Frame f = only_sent(2);
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(rd16(&f[34 + UDP_CSUM]), 0);
    EXPECT_EQ(rd16(&f[34 + UDP_SPORT]), 20000);
    EXPECT_EQ(checksum_mismatch(f), "");
}

} // namespace
