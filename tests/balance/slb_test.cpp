// The `slb` module over the test wire, on the NAT router's balanced
// service (support/nat_wire.h): a client on interface 3 reaches server 1,
// whose targets 1 and 2 sit on interface 2. Frames go in, the frames that
// leave are compared byte for byte with independently built ones (so
// every checksum is the one a full computation gives, offloaded input
// included), and the session table and the counters are read back.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>

#include "../packet/packet_fixture.h"
#include "balance/session_table.h"
#include "balance/slb.h"
#include "config/addr.h"
#include "config/config_state.h"
#include "daemon/daemon.h"
#include "packet/arp.h"
#include "packet/chain.h"
#include "packet/gnat.h"
#include "packet/translate.h"
#include "support/nat_wire.h"

namespace {

// The addresses of one family.
struct FAMILY {
    const char *name;
    const char *vip;
    const char *client;
    const char *t1;
    const char *t2;
};
const FAMILY V4 = {"IPv4", NW_VIP4, NW_CLIENT4, NW_T1_4, NW_T2_4};
const FAMILY V6 = {"IPv6", NW_VIP6, NW_CLIENT6, NW_T1_6, NW_T2_6};

// A TCP, UDP or SCTP frame (IPv6 when src has a colon).
Frame pkt(uint8_t proto, const char *dmac, const char *smac, const char *src, const char *dst, uint16_t sport,
          uint16_t dport, uint8_t flags = TCP_ACKF, const std::string &data = "some payload")
{
    FrameBuilder b;
    b.eth(dmac, smac);
    if (strchr(src, ':') != nullptr)
        b.ipv6(src, dst);
    else
        b.ipv4(src, dst);
    if (proto == IPPROTO_TCP_)
        b.tcp(sport, dport, flags, 7000, 9000);
    else if (proto == IPPROTO_UDP_)
        b.udp(sport, dport);
    else
        b.sctp(sport, dport);
    return b.payload(data).build();
}

// A client's TCP frame to server 1.
Frame client_tcp(uint16_t sport, uint8_t flags = TCP_ACKF, const FAMILY &f = V4, uint16_t dport = NW_VIP_PORT)
{
    return pkt(IPPROTO_TCP_, NW_VMAC, NW_CLIENT_MAC, f.client, f.vip, sport, dport, flags);
}

// A target's TCP reply to the client.
Frame reply_tcp(const char *tmac, const char *taddr, uint16_t tport, uint16_t cport, uint8_t flags = TCP_ACKF,
                const char *client = NW_CLIENT4)
{
    return pkt(IPPROTO_TCP_, NW_VMAC, tmac, taddr, client, tport, cport, flags);
}

class SlbTest : public PacketTest {
protected:
    void SetUp() override
    {
        PacketTest::SetUp();
        ASSERT_TRUE(nat_wire_init());
        ASSERT_EQ(chain_set("slb"), 1);
    }

    // Configuration lines, each of which must be accepted.
    static void config(std::initializer_list<const char *> lines)
    {
        for (const char *line : lines) {
            int r = 0;
            std::string out = run_line(line, &r);
            ASSERT_EQ(r, 1) << line << ": " << out;
        }
    }

    // Changes a registered object ("server 1", "target 2"): it is taken
    // out (edit), changed, committed again and the configuration checked;
    // the wire's targets stay operational.
    static void change(const char *object, std::initializer_list<const char *> lines)
    {
        std::string edit = std::string("edit ") + object, commit = std::string("commit ") + object;
        config({edit.c_str()});
        for (const char *l : lines)
            config({l});
        config({commit.c_str(), "check"});
        cfg.targets[1].operational = cfg.targets[2].operational = 1;
    }

    // Receives a frame on a slot (as an offloading sender hands it over,
    // when so) after emptying the log; the chain's verdict.
    static int in(int slot, const Frame &f, bool offload = false)
    {
        tw_clear();
        Frame w = offload ? offloaded(f) : f;
        return tw_receive(slot, w.data(), (int)w.size(), offload);
    }

    // The one frame sent since the last in(), when it left on `slot`;
    // empty otherwise.
    static Frame only(int slot)
    {
        if (tw_sent_count() != 1 || tw_sent_count_slot(slot) != 1)
            return Frame();
        const TWFRAME *f = tw_sent_slot(slot, 0);
        return Frame(f->data, f->data + f->len);
    }

    // The target (1, 2, or 3 for 192.0.2.63) the one IPv4 frame sent on
    // interface 2 is addressed to; 0 for anything else.
    static int sent_target()
    {
        Frame f = only(2);
        if (f.size() < ETH_HDRLEN + IP4_MINHDR)
            return 0;
        const char *const addrs[] = {NW_T1_4, NW_T2_4, "192.0.2.63"};
        for (int n = 0; n < 3; n++)
            if (memcmp(&f[ETH_HDRLEN + IP4_DST], ip4_bytes(addrs[n]).data(), 4) == 0)
                return n + 1;
        return 0;
    }

    // The session of an id for server 1 (nullptr when none), read under
    // the table's lock; a copy of the fields a test looks at.
    static bool session(const char *id, SESSION *out, int server = 1)
    {
        st_rdlock(session_table);
        SESSION *s = st_lookup(session_table, id, server);
        if (s != nullptr)
            *out = *s;
        st_unlock(session_table);
        return s != nullptr;
    }

    static int32_t total_sessions()
    {
        STCOUNTS c;
        st_counts(session_table, &c);
        return c.total;
    }

    // A resolved neighbour of network n learnt on interface slot.
    static void neighbour(const char *ip, const char *mac, int n, int slot)
    {
        arp_make_entry(ip16_bytes(ip).data(), mac_bytes(mac).data(), 0, 0, 0, n, 0, nullptr);
        mh_insert(mac_table, mac_bytes(mac).data(), (uint32_t)slot);
    }
};

// ---------------------------------------------------------------------------
// Forward and back

// A client's frame reaches target 1 with the target's address and port
// (80 -> 8080), the reply leaves from the server's address and port, for
// TCP, UDP and SCTP over IPv4 and IPv6, with finished and with offloaded
// checksums; the target's counters count both.
TEST_F(SlbTest, ForwardAndReplyBack)
{
    struct ROW {
        const FAMILY &fam;
        uint8_t proto;
        bool offload;
    };
    const ROW rows[] = {
        {V4, IPPROTO_TCP_, false}, {V4, IPPROTO_UDP_, false}, {V4, IPPROTO_SCTP_, false}, {V6, IPPROTO_TCP_, false},
        {V6, IPPROTO_UDP_, false}, {V6, IPPROTO_SCTP_, false}, {V4, IPPROTO_TCP_, true},  {V4, IPPROTO_UDP_, true},
        {V6, IPPROTO_TCP_, true},  {V6, IPPROTO_UDP_, true},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(std::string(row.fam.name) + " proto " + std::to_string(row.proto) +
                     (row.offload ? " offloaded" : ""));
        SetUp();
        const FAMILY &f = row.fam;
        Frame c = pkt(row.proto, NW_VMAC, NW_CLIENT_MAC, f.client, f.vip, 40000, NW_VIP_PORT);
        ASSERT_EQ(in(3, c, row.offload), 1);
        Frame out = only(2);
        ASSERT_EQ(out, pkt(row.proto, NW_T1_MAC, NW_VMAC, f.client, f.t1, 40000, NW_TARGET_PORT)) << hex(out);
        EXPECT_EQ(checksum_mismatch(out), "");

        Frame r = pkt(row.proto, NW_VMAC, NW_T1_MAC, f.t1, f.client, NW_TARGET_PORT, 40000);
        ASSERT_EQ(in(2, r, row.offload), 1);
        Frame back = only(3);
        ASSERT_EQ(back, pkt(row.proto, NW_CLIENT_MAC, NW_VMAC, f.vip, f.client, NW_VIP_PORT, 40000)) << hex(back);
        EXPECT_EQ(checksum_mismatch(back), "");

        TARGETTRAFFIC t;
        pthread_mutex_lock(&cfg.targets[1].lock);
        target_traffic(1, &t);
        pthread_mutex_unlock(&cfg.targets[1].lock);
        EXPECT_EQ(t.packets_to, 1u);
        EXPECT_EQ(t.bytes_to, c.size());
        EXPECT_EQ(t.packets_from, 1u);
        EXPECT_EQ(t.bytes_from, r.size());
    }
}

// The reply leaves from the MAC the server's address has (here not the
// network's), so switches keep learning where clients' frames go.
TEST_F(SlbTest, ReplyFromTheServersMac)
{
    const char *vip_mac = "06:00:cb:00:71:50";
    arp_make_entry(ip16_bytes(NW_VIP4).data(), mac_bytes(vip_mac).data(), 1, 0, 0, 2, 0, nullptr);
    ASSERT_EQ(in(3, client_tcp(40000, TCP_SYN)), 1);
    ASSERT_EQ(in(2, reply_tcp(NW_T1_MAC, NW_T1_4, NW_TARGET_PORT, 40000)), 1);
    Frame back = only(3);
    ASSERT_EQ(back, pkt(IPPROTO_TCP_, NW_CLIENT_MAC, vip_mac, NW_VIP4, NW_CLIENT4, NW_VIP_PORT, 40000)) << hex(back);
}

// ---------------------------------------------------------------------------
// Sessions

// Each row: a server setting, then client frames from these source ports
// and the targets they reach in turn, with the sessions kept.
TEST_F(SlbTest, SessionsByIdentifierAndTimeout)
{
    struct ROW {
        const char *name;
        std::vector<const char *> server1;   // changes of server 1
        std::vector<uint16_t> ports;
        std::vector<int> targets;
        int32_t sessions;
        int32_t t1, t2;  // current sessions of the targets afterwards
    };
    const ROW rows[] = {
        {"src+port under rr: each port a session", {}, {40001, 40002, 40003, 40004, 40001, 40002}, {1, 2, 1, 2, 1, 2}, 4,
         2, 2},
        {"src: one client, one session", {"server 1 sessionid src"}, {40001, 40002, 40003, 40004}, {1, 1, 1, 1}, 1, 1, 0},
        {"stimeout null: every frame balanced", {"server 1 stimeout null"}, {40001, 40001, 40001, 40001}, {1, 2, 1, 2},
         0, 0, 0},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        for (const char *l : row.server1)
            change("server 1", {l});
        for (size_t i = 0; i < row.ports.size(); i++) {
            ASSERT_EQ(in(3, client_tcp(row.ports[i])), 1);
            EXPECT_EQ(sent_target(), row.targets[i]) << "frame " << i;
            EXPECT_EQ(checksum_mismatch(only(2)), "");
        }
        EXPECT_EQ(total_sessions(), row.sessions);
        EXPECT_EQ(cfg.targets[1].cur_sessions, row.t1);
        EXPECT_EQ(cfg.targets[2].cur_sessions, row.t2);
        EXPECT_EQ(cfg.servers[1].cur_sessions, row.t1 + row.t2);
    }
}

// A FIN or RST, from the client or from the target, shortens the session
// to the server's ftimeout and moves no count; with ftimeout 0 the
// timeout stays. The shortened session lives ftimeout seconds after its
// last use and not a second longer.
TEST_F(SlbTest, FinAndRstShortenWithoutCountDrift)
{
    struct ROW {
        const char *name;
        const char *ftimeout;
        bool from_client;
        uint8_t flags;
        uint32_t timeout;   // the session's timeout afterwards
    };
    const ROW rows[] = {
        {"client FIN", "server 1 ftimeout 10", true, TCP_FIN | TCP_ACKF, 10},
        {"client RST", "server 1 ftimeout 10", true, TCP_RST, 10},
        {"target FIN", "server 1 ftimeout 10", false, TCP_FIN | TCP_ACKF, 10},
        {"target RST", "server 1 ftimeout 10", false, TCP_RST, 10},
        {"RST without ftimeout", "server 1 ftimeout default", true, TCP_RST, 0},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        change("server 1", {row.ftimeout});
        ASSERT_EQ(in(3, client_tcp(40000, TCP_SYN)), 1);
        ASSERT_EQ(sent_target(), 1);
        for (int i = 0; i < 3; i++) {   // the flag seen again changes nothing more
            if (row.from_client)
                ASSERT_EQ(in(3, client_tcp(40000, row.flags)), 1);
            else
                ASSERT_EQ(in(2, reply_tcp(NW_T1_MAC, NW_T1_4, NW_TARGET_PORT, 40000, row.flags)), 1);
            EXPECT_EQ(tw_sent_count(), 1);
        }
        SESSION s;
        ASSERT_TRUE(session("203.0.113.20:40000", &s));
        EXPECT_EQ(s.timeout, row.timeout);
        EXPECT_EQ(s.target, 1);
        EXPECT_EQ(cfg.targets[1].cur_sessions, 1);
        EXPECT_EQ(cfg.servers[1].cur_sessions, 1);
        if (row.timeout != 0) {
            EXPECT_FALSE(st_expired(&s, s.last_used + row.timeout));
            EXPECT_TRUE(st_expired(&s, s.last_used + row.timeout + 1));
        }
        // The next frame after the flag still goes to the session's target.
        ASSERT_EQ(in(3, client_tcp(40000)), 1);
        EXPECT_EQ(sent_target(), 1);
        EXPECT_EQ(cfg.targets[1].cur_sessions, 1);
    }
}

// A target that stops being operational loses its clients on their next
// frame; the counts follow the session.
TEST_F(SlbTest, DownTargetMovesItsClient)
{
    ASSERT_EQ(in(3, client_tcp(40000, TCP_SYN)), 1);
    ASSERT_EQ(sent_target(), 1);
    cfg.targets[1].operational = 0;
    ASSERT_EQ(in(3, client_tcp(40000)), 1);
    EXPECT_EQ(sent_target(), 2);
    SESSION s;
    ASSERT_TRUE(session("203.0.113.20:40000", &s));
    EXPECT_EQ(s.target, 2);
    EXPECT_EQ(cfg.targets[1].cur_sessions, 0);
    EXPECT_EQ(cfg.targets[2].cur_sessions, 1);
    EXPECT_EQ(cfg.servers[1].cur_sessions, 1);
    // Back up, it gets no one back: the session stays where it went.
    cfg.targets[1].operational = 1;
    ASSERT_EQ(in(3, client_tcp(40000)), 1);
    EXPECT_EQ(sent_target(), 2);
    // No target left: the frame is consumed and goes nowhere.
    cfg.targets[1].operational = cfg.targets[2].operational = 0;
    EXPECT_EQ(in(3, client_tcp(40000)), 1);
    EXPECT_EQ(tw_sent_count(), 0);
}

// A session whose stored target number names no target (a session file
// may hold any) is not followed: the client is balanced anew.
TEST_F(SlbTest, SessionWithTargetOutsideTheTable)
{
    st_update(session_table, "203.0.113.20:40000", 1, MAXTARGET + 7, 0);
    ASSERT_EQ(in(3, client_tcp(40000)), 1);
    EXPECT_EQ(sent_target(), 1);
    SESSION s;
    ASSERT_TRUE(session("203.0.113.20:40000", &s));
    EXPECT_EQ(s.target, 1);
}

// ---------------------------------------------------------------------------
// Servers and targets of other kinds

// Server 2 takes every other port of server 1's address, towards target
// 3 without port translation (the target's port 0): port 80 goes to server
// 1's targets, every other port, and UDP, to target 3 unchanged, and
// target 3's replies keep their ports.
TEST_F(SlbTest, PortZeroServerBesidePortEighty)
{
    config({"server 2 ipaddr 203.0.113.80", "server 2 port 0", "server 2 targets 3", "target 3 ipaddr 192.0.2.63",
            "commit target 3", "commit server 2", "check"});
    const char *t3mac = "02:00:00:00:00:3f";
    neighbour("192.0.2.63", t3mac, 1, 2);
    cfg.targets[3].operational = 1;
    struct ROW {
        uint8_t proto;
        uint16_t dport;
        int target;
        uint16_t tport;
    };
    const ROW rows[] = {{IPPROTO_TCP_, 80, 1, NW_TARGET_PORT}, {IPPROTO_TCP_, 443, 3, 443}, {IPPROTO_UDP_, 53, 3, 53},
                        {IPPROTO_UDP_, 80, 1, NW_TARGET_PORT}};   // the TCP frame's session: src+port
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.dport);
        ASSERT_EQ(in(3, pkt(row.proto, NW_VMAC, NW_CLIENT_MAC, NW_CLIENT4, NW_VIP4, 40000, row.dport)), 1);
        ASSERT_EQ(sent_target(), row.target);
        EXPECT_EQ(rd16(&only(2)[ETH_HDRLEN + IP4_MINHDR + L4_DPORT]), row.tport);
    }
    ASSERT_EQ(in(2, pkt(IPPROTO_TCP_, NW_VMAC, t3mac, "192.0.2.63", NW_CLIENT4, 443, 40000)), 1);
    Frame back = only(3);
    EXPECT_EQ(back, pkt(IPPROTO_TCP_, NW_CLIENT_MAC, NW_VMAC, NW_VIP4, NW_CLIENT4, 443, 40000)) << hex(back);
}

// Direct server return: the target gets the frame as the client sent it,
// addressed to the server, with only the MAC addresses changed.
TEST_F(SlbTest, DirectServerReturn)
{
    change("target 1", {"target 1 dsr enable"});
    change("target 2", {"target 2 dsr enable"});
    for (const FAMILY *f : {&V4, &V6}) {
        SCOPED_TRACE(f->name);
        Frame c = client_tcp(40000, TCP_SYN, *f);
        ASSERT_EQ(in(3, c), 1);   // IPv4 goes to target 1, then IPv6 to target 2
        Frame out = only(2);
        Frame want = c;
        memcpy(&want[ETH_DST], mac_bytes(f == &V4 ? NW_T1_MAC : NW_T2_MAC).data(), 6);
        memcpy(&want[ETH_SRC], mac_bytes(NW_VMAC).data(), 6);
        EXPECT_EQ(out, want) << hex(out);
    }
}

// Proxy: the target sees the connection come from the server's address
// and a port of its own; its reply goes back to the client from the
// server's address and port.
TEST_F(SlbTest, ProxyTranslatesBothWays)
{
    change("server 1", {"server 1 proxy enable"});
    ASSERT_EQ(in(3, client_tcp(40000, TCP_SYN)), 1);
    Frame out = only(2);
    ASSERT_EQ(out, pkt(IPPROTO_TCP_, NW_T1_MAC, NW_VMAC, NW_VIP4, NW_T1_4, 20000, NW_TARGET_PORT, TCP_SYN)) << hex(out);
    ASSERT_EQ(in(2, pkt(IPPROTO_TCP_, NW_VMAC, NW_T1_MAC, NW_T1_4, NW_VIP4, NW_TARGET_PORT, 20000)), 1);
    Frame back = only(3);
    ASSERT_EQ(back, pkt(IPPROTO_TCP_, NW_CLIENT_MAC, NW_VMAC, NW_VIP4, NW_CLIENT4, NW_VIP_PORT, 40000)) << hex(back);
    EXPECT_EQ(checksum_mismatch(back), "");
    // A second client's frame gets the next port.
    ASSERT_EQ(in(3, pkt(IPPROTO_TCP_, NW_VMAC, NW_CLIENT_MAC, "203.0.113.21", NW_VIP4, 40000, NW_VIP_PORT)), 1);
    EXPECT_EQ(rd16(&only(2)[ETH_HDRLEN + IP4_MINHDR + L4_SPORT]), 20001);
}

// Only a target's frame is translated back: a client that sends to the
// server's address and a port the proxy gave out (a port-0 server takes
// every port) must not reach the client that port stands for.
TEST_F(SlbTest, ProxyReturnOnlyFromTargets)
{
    change("server 1", {"server 1 proxy enable"});
    config({"server 2 ipaddr 203.0.113.80", "server 2 port 0", "server 2 targets 3",
            "target 3 ipaddr 192.0.2.63", "commit target 3", "commit server 2", "check"});
    neighbour("192.0.2.63", "02:00:00:00:00:3f", 1, 2);
    cfg.targets[3].operational = 1;
    ASSERT_EQ(in(3, client_tcp(40000, TCP_SYN)), 1);
    ASSERT_EQ(rd16(&only(2)[ETH_HDRLEN + IP4_MINHDR + L4_SPORT]), 20000);
    // Another client, to port 20000 of the address: server 2's, untouched.
    ASSERT_EQ(in(3, pkt(IPPROTO_TCP_, NW_VMAC, NW_CLIENT_MAC, "203.0.113.21", NW_VIP4, 40001, 20000)), 1);
    EXPECT_EQ(sent_target(), 3);
    Frame out = only(2);
    EXPECT_EQ(out, pkt(IPPROTO_TCP_, "02:00:00:00:00:3f", NW_VMAC, "203.0.113.21", "192.0.2.63", 40001, 20000)) << hex(out);
}

// Two related ports: the client reaches the target on the port it used;
// a reply from either port leaves with only its address rewritten, one
// from a third port is consumed.
TEST_F(SlbTest, TwoRelatedPorts)
{
    config({"server 3 ipaddr 203.0.113.81", "server 3 ports 5060,5061", "server 3 protocol udp", "server 3 targets 4",
            "target 4 ipaddr 192.0.2.64", "commit target 4", "commit server 3", "check"});
    const char *t4mac = "02:00:00:00:00:40";
    neighbour("192.0.2.64", t4mac, 1, 2);
    cfg.targets[4].operational = 1;
    ASSERT_EQ(in(3, pkt(IPPROTO_UDP_, NW_VMAC, NW_CLIENT_MAC, NW_CLIENT4, "203.0.113.81", 5060, 5060)), 1);
    EXPECT_EQ(only(2), pkt(IPPROTO_UDP_, t4mac, NW_VMAC, NW_CLIENT4, "192.0.2.64", 5060, 5060));
    struct ROW {
        uint16_t sport;
        bool sent;
    };
    for (const ROW &row : {ROW{5060, true}, ROW{5061, true}, ROW{5062, false}}) {
        SCOPED_TRACE(row.sport);
        ASSERT_EQ(in(2, pkt(IPPROTO_UDP_, NW_VMAC, t4mac, "192.0.2.64", NW_CLIENT4, row.sport, 5060)), 1);
        if (row.sent)
            EXPECT_EQ(only(3), pkt(IPPROTO_UDP_, NW_CLIENT_MAC, NW_VMAC, "203.0.113.81", NW_CLIENT4, row.sport, 5060));
        else
            EXPECT_EQ(tw_sent_count(), 0);
    }
}

// A connection the target opens itself makes a session of its
// referencing server when the target has screate and that server is
// enabled; otherwise the frame is passed on (no screate) or consumed
// (the server is disabled).
TEST_F(SlbTest, TargetOpenedConnections)
{
    struct ROW {
        const char *name;
        std::vector<const char *> lines;
        int verdict;
        bool sent;
        int32_t sessions;
    };
    const ROW rows[] = {
        {"screate", {"target 3 screate on"}, 1, true, 1},
        {"no screate", {}, 0, false, 0},
        {"screate, server disabled", {"target 3 screate on"}, 1, false, 0},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        config({"server 2 ipaddr 203.0.113.82", "server 2 port 0", "server 2 targets 3", "target 3 ipaddr 192.0.2.63"});
        for (const char *l : row.lines)
            config({l});
        config({"commit target 3", "commit server 2", "check"});
        if (row.verdict == 1 && !row.sent)
            config({"disable server 2"});
        neighbour("192.0.2.63", "02:00:00:00:00:3f", 1, 2);
        cfg.targets[3].operational = 1;
        EXPECT_EQ(in(2, pkt(IPPROTO_TCP_, NW_VMAC, "02:00:00:00:00:3f", "192.0.2.63", NW_CLIENT4, 33000, 25, TCP_SYN)),
                  row.verdict);
        if (row.sent)
            EXPECT_EQ(only(3), pkt(IPPROTO_TCP_, NW_CLIENT_MAC, NW_VMAC, "203.0.113.82", NW_CLIENT4, 33000, 25, TCP_SYN));
        else
            EXPECT_EQ(tw_sent_count(), 0);
        EXPECT_EQ(total_sessions(), row.sessions);
        EXPECT_EQ(cfg.targets[3].cur_sessions, row.sessions);
        EXPECT_EQ(cfg.servers[2].cur_sessions, row.sessions);
    }
}

// ---------------------------------------------------------------------------
// Path MTU messages

// An ICMP fragmentation-needed (IPv4) or packet-too-big (IPv6) message
// about a packet server 1 sent reaches every operational target of the
// server, the session's own among them, unchanged but for the MACs.
TEST_F(SlbTest, TooBigMessagesReachTheTargets)
{
    ASSERT_EQ(in(3, client_tcp(40000, TCP_SYN)), 1);
    ASSERT_EQ(sent_target(), 1);
    for (const FAMILY *f : {&V4, &V6}) {
        SCOPED_TRACE(f->name);
        bool v6 = f == &V6;
        // What the router got: the server's reply, 80 -> 40000.
        Frame quoted = pkt(IPPROTO_TCP_, NW_CLIENT_MAC, NW_VMAC, f->vip, f->client, NW_VIP_PORT, 40000);
        std::string q((const char *)&quoted[ETH_HDRLEN], (v6 ? IP6_HDRLEN : IP4_MINHDR) + 8);
        FrameBuilder b;
        b.eth(NW_VMAC, NW_SERVER_MAC);
        if (v6)
            b.ipv6(NW_SERVER6, f->vip).proto(IPPROTO_ICMPV6_).payload(std::string("\x02\x00\x00\x00\x00\x00\x05\x00", 8) + q);
        else
            b.ipv4(NW_SERVER4, f->vip).proto(IPPROTO_ICMP_).payload(std::string("\x03\x04\x00\x00\x00\x00\x05\x00", 8) + q);
        Frame msg = b.build();
        FRAMEINFO fi;
        ASSERT_TRUE(frame_parse(msg.data(), (int)msg.size(), &fi));
        l4_set_checksum(msg.data(), &fi);
        ASSERT_EQ(in(3, msg), 1);
        ASSERT_EQ(tw_sent_count(), 2);
        const char *macs[] = {NW_T1_MAC, NW_T2_MAC};
        for (int i = 0; i < 2; i++) {
            const TWFRAME *s = tw_sent(i);
            EXPECT_EQ(s->slot, 2);
            Frame want = msg;
            memcpy(&want[ETH_DST], mac_bytes(macs[i]).data(), 6);
            memcpy(&want[ETH_SRC], mac_bytes(NW_VMAC).data(), 6);
            EXPECT_EQ(Frame(s->data, s->data + s->len), want) << i;
        }
        // Not an MTU message: an echo request to the server is not the
        // module's (the ping module answers it).
        Frame echo = FrameBuilder().eth(NW_VMAC, NW_CLIENT_MAC).ipv4(NW_CLIENT4, NW_VIP4).icmp_echo(8, 1, 1).build();
        EXPECT_EQ(in(3, echo), 0);
    }
}

// ---------------------------------------------------------------------------
// Frames passed on or dropped

// Each row: one frame in, the verdict, and that nothing was sent.
TEST_F(SlbTest, FramesNotBalanced)
{
    struct ROW {
        const char *name;
        std::function<void()> setup;
        int slot;
        Frame f;
        int verdict;
    };
    const ROW rows[] = {
        {"not to an own MAC (strict)", [] {}, 3,
         pkt(IPPROTO_TCP_, "02:00:00:00:00:99", NW_CLIENT_MAC, NW_CLIENT4, NW_VIP4, 40000, 80), 1},
        {"strict off: to a foreign MAC, for no server", [] { run_line("set strictrouting 0"); }, 3,
         pkt(IPPROTO_TCP_, "02:00:00:00:00:99", NW_CLIENT_MAC, NW_CLIENT4, "203.0.113.99", 40000, 80), 0},
        {"ARP", [] {}, 3,
         FrameBuilder().eth(NW_VMAC, NW_CLIENT_MAC).arp(1, NW_CLIENT_MAC, NW_CLIENT4, "00:00:00:00:00:00", NW_VIP4).build(),
         0},
        {"no server, no target", [] {}, 3, pkt(IPPROTO_TCP_, NW_VMAC, NW_CLIENT_MAC, NW_CLIENT4, "203.0.113.99", 40000, 80),
         0},
        {"UDP to a tcp server, not from a target", [] { change("server 1", {"server 1 protocol tcp"}); }, 3,
         pkt(IPPROTO_UDP_, NW_VMAC, NW_CLIENT_MAC, NW_CLIENT4, NW_VIP4, 40000, 80), 0},
        {"server disabled", [] { run_line("disable server 1"); }, 3, client_tcp(40000), 1},
        {"no identifier (sip over TCP)", [] { change("server 1", {"server 1 sessionid sip"}); }, 3, client_tcp(40000), 1},
        {"reply of a disabled target", [] { run_line("disable target 1"); }, 2,
         reply_tcp(NW_T1_MAC, NW_T1_4, NW_TARGET_PORT, 40000), 0},
        {"reply of a udp target", [] { change("target 1", {"target 1 protocol udp"}); }, 2,
         reply_tcp(NW_T1_MAC, NW_T1_4, NW_TARGET_PORT, 40000), 0},
        {"reply without a session", [] {}, 2, reply_tcp(NW_T1_MAC, NW_T1_4, NW_TARGET_PORT, 40000), 0},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        row.setup();
        EXPECT_EQ(in(row.slot, row.f), row.verdict);
        EXPECT_EQ(tw_sent_count(), 0);
        EXPECT_EQ(total_sessions(), 0);
    }
}

// Cut and odd frames, each in a buffer of exactly its size (the address
// sanitizer reports any read past it): nothing is read beyond the frame,
// nothing broken leaves. A TCP header too short for its flags creates the
// session but cannot be rewritten; a fragment after the first one to a
// port-0 server has only its address rewritten.
TEST_F(SlbTest, ShortAndCutFrames)
{
    config({"server 2 ipaddr 203.0.113.82", "server 2 port 0", "server 2 targets 3", "target 3 ipaddr 192.0.2.63",
            "commit target 3", "commit server 2", "check"});
    neighbour("192.0.2.63", "02:00:00:00:00:3f", 1, 2);
    cfg.targets[3].operational = 1;

    // A TCP header of 12 bytes: ports, no flags.
    Frame short_tcp = FrameBuilder().eth(NW_VMAC, NW_CLIENT_MAC).ipv4(NW_CLIENT4, NW_VIP4).proto(IPPROTO_TCP_)
                          .payload(std::string("\x9c\x40\x00\x50\x00\x00\x00\x01\x00\x00\x00\x00", 12)).build();
    // A fragment-needed message cut inside the quoted header, and one cut
    // after the quoted header but before its ports.
    Frame quoted = pkt(IPPROTO_TCP_, NW_CLIENT_MAC, NW_VMAC, NW_VIP4, NW_CLIENT4, NW_VIP_PORT, 40000);
    auto too_big = [&](size_t quote) {
        std::string q((const char *)&quoted[ETH_HDRLEN], quote);
        return FrameBuilder().eth(NW_VMAC, NW_SERVER_MAC).ipv4(NW_SERVER4, NW_VIP4).proto(IPPROTO_ICMP_)
            .payload(std::string("\x03\x04\x00\x00\x00\x00\x05\x00", 8) + q).build();
    };
    Frame fragment = FrameBuilder().eth(NW_VMAC, NW_CLIENT_MAC).ipv4(NW_CLIENT4, "203.0.113.82").proto(IPPROTO_TCP_)
                         .payload("rest of the datagram").build();
    wr16(&fragment[ETH_HDRLEN + IP4_FRAG], 0x0004);
    ip4_set_checksum(&fragment[ETH_HDRLEN], IP4_MINHDR);
    Frame frag_out = fragment;
    memcpy(&frag_out[ETH_DST], mac_bytes("02:00:00:00:00:3f").data(), 6);
    memcpy(&frag_out[ETH_SRC], mac_bytes(NW_VMAC).data(), 6);
    memcpy(&frag_out[ETH_HDRLEN + IP4_DST], ip4_bytes("192.0.2.63").data(), 4);
    ip4_set_checksum(&frag_out[ETH_HDRLEN], IP4_MINHDR);

    Frame syn = client_tcp(40000, TCP_SYN);
    struct ROW {
        const char *name;
        Frame f;
        int verdict;
        Frame out;   // the frame expected on interface 2; empty: nothing sent
    };
    const ROW rows[] = {
        {"runt", Frame{0x00, 0x00, 0x5e, 0x00}, 1, {}},
        {"Ethernet header only", Frame(syn.begin(), syn.begin() + ETH_HDRLEN), 0, {}},
        {"TCP header without flags", short_tcp, 1, {}},
        {"too-big cut inside the quote", too_big(10), 0, {}},
        {"too-big cut before the quoted ports", too_big(21), 0, {}},
        {"fragment to a port-0 server", fragment, 1, frag_out},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        tw_clear();
        uint8_t *buf = (uint8_t *)malloc(row.f.size());
        memcpy(buf, row.f.data(), row.f.size());
        EXPECT_EQ(tw_dispatch(3, buf, (int)row.f.size()), row.verdict);
        free(buf);
        if (row.out.empty()) {
            EXPECT_EQ(tw_sent_count(), 0);
        } else {
            Frame out = only(2);
            EXPECT_EQ(out, row.out) << hex(out);
        }
    }
}

} // namespace
