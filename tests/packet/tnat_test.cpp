// Target NAT over the test wire: a target's own connections leave with its
// outside address and answers to that address reach it, for any-port and
// single-port rules, TCP and UDP, IPv4 and IPv6; the strict MAC test; the
// `tnat` command with every message, its port reading, its address entries
// and announcements, `no tnat`, the saved block read back to the same
// text, and a reload's dry run that changes nothing.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "command/interpreter.h"
#include "config/config_writer.h"
#include "nat_fixture.h"
#include "packet/chain.h"
#include "packet/nathash.h"

namespace {

const char *const TARGET_MAC = "02:00:00:00:30:30";
const char *const TARGET4 = "198.51.100.20";
const char *const TARGET6 = "2001:db8:1::20";
const char *const FIXED4 = "203.0.113.50";   // the target's outside address
const char *const FIXED6 = "2001:db8:2::50";

class TnatTest : public NatTest {
protected:
    void SetUp() override
    {
        NatTest::SetUp();
        neighbour(TARGET4, TARGET_MAC, 1);
        neighbour(TARGET6, TARGET_MAC, 1);
        mh_insert(mac_table, mac_bytes(TARGET_MAC).data(), 1);
        ASSERT_EQ(chain_set("tnat"), 1);
    }

    static void command(const std::string &line)
    {
        int r = 0;
        std::string out = run_line(line, &r);
        ASSERT_EQ(r, 1) << line << ": " << out;
    }
};

Frame frame(bool tcp, const char *dmac, const char *smac, const char *src, const char *dst, uint16_t sport,
            uint16_t dport)
{
    FrameBuilder b;
    b.eth(dmac, smac);
    if (strchr(src, ':') != nullptr)
        b.ipv6(src, dst);
    else
        b.ipv4(src, dst);
    if (tcp)
        b.tcp(sport, dport, TCP_SYN).payload("hello");
    else
        b.udp(sport, dport).payload("hello");
    return b.build();
}

// Rules and frames: what leaves (or nothing, the frame passed on).
TEST_F(TnatTest, ForwardAndReverse)
{
    struct ROW {
        const char *name;
        const char *rule;
        bool tcp;
        bool reverse;       // from the target out (else from the server to the fixed address)
        uint16_t port;      // the target's port
        bool translated;
    };
    const ROW rows[] = {
        {"any port, out", "198.51.100.20 203.0.113.50 tcp any", true, true, 33000, true},
        {"any port, in", "198.51.100.20 203.0.113.50 tcp any", true, false, 33000, true},
        {"port rule, out from that port", "198.51.100.20 203.0.113.50 tcp 8080", true, true, 8080, true},
        {"port rule, out from another port", "198.51.100.20 203.0.113.50 tcp 8080", true, true, 33000, false},
        {"port rule, in to that port", "198.51.100.20 203.0.113.50 tcp 8080", true, false, 8080, true},
        {"port rule, in to another port", "198.51.100.20 203.0.113.50 tcp 8080", true, false, 80, false},
        {"udp rule, tcp frame", "198.51.100.20 203.0.113.50 udp any", true, true, 33000, false},
        {"udp rule, udp frame", "198.51.100.20 203.0.113.50 udp any", false, true, 33000, true},
        {"IPv6 any port, out", "2001:db8:1::20 2001:db8:2::50 udp any", false, true, 33000, true},
        {"IPv6 any port, in", "2001:db8:1::20 2001:db8:2::50 udp any", false, false, 33000, true},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        tnat_clear();
        command(std::string("tnat ") + row.rule);
        bool v6 = strchr(row.rule, ':') != nullptr;
        const char *target = v6 ? TARGET6 : TARGET4, *fixed = v6 ? FIXED6 : FIXED4, *server = v6 ? SERVER6 : SERVER4;
        Frame in, want;
        int from, to;
        if (row.reverse) {
            in = frame(row.tcp, VMAC, TARGET_MAC, target, server, row.port, 9000);
            want = frame(row.tcp, SERVER_MAC, VMAC, fixed, server, row.port, 9000);
            from = 1, to = 2;
        } else {
            in = frame(row.tcp, VMAC, SERVER_MAC, server, fixed, 9000, row.port);
            want = frame(row.tcp, TARGET_MAC, VMAC, server, target, 9000, row.port);
            from = 2, to = 1;
        }
        tw_clear();
        EXPECT_EQ(receive(from, in), row.translated ? 1 : 0);
        if (row.translated) {
            EXPECT_EQ(only_sent(to), want) << hex(only_sent(to));
        } else {
            EXPECT_EQ(tw_sent_count(), 0);
        }
    }
}

// strictrouting 1: with VRRP only frames to the virtual MAC, without VRRP
// only frames to a 06:00 MAC; strictrouting 0: any destination MAC.
TEST_F(TnatTest, StrictRouting)
{
    command("tnat 198.51.100.20 203.0.113.50 tcp any");
    struct ROW {
        const char *name;
        int strict;
        bool vrrp;
        const char *dmac;
        bool translated;
    };
    const ROW rows[] = {
        {"VRRP, virtual MAC", 1, true, VMAC, true},
        {"VRRP, own 06:00 MAC", 1, true, "06:00:c6:33:64:02", false},
        {"no VRRP, own 06:00 MAC", 1, false, "06:00:c6:33:64:02", true},
        {"no VRRP, virtual MAC", 1, false, VMAC, false},
        {"no VRRP, other MAC", 1, false, "02:00:00:00:99:99", false},
        {"not strict, other MAC", 0, true, "02:00:00:00:99:99", true},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        params[P_STRICTROUTING].current = row.strict;
        cfg.vrrp.priority = row.vrrp ? 100 : 0;
        tw_clear();
        Frame in = frame(true, row.dmac, TARGET_MAC, TARGET4, SERVER4, 33000, 80);
        EXPECT_EQ(receive(1, in), row.translated ? 1 : 0);
        EXPECT_EQ(tw_sent_count(), row.translated ? 1 : 0);
        if (row.translated && tw_sent_count() == 1) {
            EXPECT_EQ(Frame(tw_sent(0)->data + 26, tw_sent(0)->data + 30), ip4_bytes(FIXED4));
        }
    }
}

// With a rule in place, frames shorter than an Ethernet header pass on
// untouched; each one is handed over in a buffer of exactly its size, so
// the sanitizer build sees any read past it.
TEST_F(TnatTest, RuntsPass)
{
    command("tnat 198.51.100.20 203.0.113.50 tcp any");
    for (bool vrrp : {true, false}) {
        cfg.vrrp.priority = vrrp ? 100 : 0;
        for (int len = 0; len < ETH_HDRLEN; len++) {
            SCOPED_TRACE(len);
            Frame start = mac_bytes(VMAC);
            start.resize(ETH_HDRLEN, 0);
            std::unique_ptr<uint8_t[]> buf(new uint8_t[len > 0 ? len : 1]);
            memcpy(buf.get(), start.data(), (size_t)len);
            tw_clear();
            EXPECT_EQ(tw_dispatch(1, buf.get(), len), 0);
            EXPECT_EQ(tw_sent_count(), 0);
        }
    }
}

// Every refusal, with its message, and nothing entered.
TEST_F(TnatTest, CommandMessages)
{
    struct ROW {
        const char *line;
        const char *message;
        bool vrrp;
    };
    const ROW rows[] = {
        {"tnat 198.51.100.20 2001:db8:2::50 tcp any", "tnat: mixing IPv4 and IPv6 not allowed\n", true},
        {"tnat 2001:db8:1::20 203.0.113.50 tcp any", "tnat: mixing IPv4 and IPv6 not allowed\n", true},
        {"tnat 198.51.100.256 203.0.113.50 tcp any", "invalid IP-address 198.51.100.256\n", true},
        {"tnat 198.51.100.20 target tcp any", "invalid IP-address target\n", true},
        {"tnat 198.51.100.20 203.0.113.50 icmp any", "invalid protocol specifier icmp\n", true},
        {"tnat 2001:db8:1::20 2001:db8:2::50 tcp any", "unable to implement IPv6 TNAT (VRRP required for IPv6)\n", false},
        {"tnat 2001:db8:99::20 2001:db8:99::50 tcp any", "no IPv6 network found for TNAT entry\n", true},
        {"tnat open", "argument error\n", true},
        {"no tnat 198.51.100.20 nowhere tcp any", "invalid IP-address nowhere\n", true},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.line);
        cfg.vrrp.priority = row.vrrp ? 100 : 0;
        int r = 1;
        std::string out = run_line(row.line, &r);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(std::string(errbuf), row.message);
        EXPECT_NE(out.find("ERROR"), std::string::npos) << out;
        EXPECT_EQ(tnat_rule_count(), 0);
    }
    EXPECT_EQ(tw_sent_count(), 0);
}

// The port word: "any" and text that is no number are port 0, a number
// is taken modulo 65536; the protocol word may be abbreviated.
TEST_F(TnatTest, PortAndProtocolWords)
{
    struct ROW {
        const char *words;
        uint8_t proto;
        uint16_t port;
    };
    const ROW rows[] = {
        {"tcp any", IPPROTO_TCP_, 0},  {"tcp 80", IPPROTO_TCP_, 80},      {"udp 65616", IPPROTO_UDP_, 80},
        {"tcp http", IPPROTO_TCP_, 0}, {"tcp -1", IPPROTO_TCP_, 65535}, {"u 53", IPPROTO_UDP_, 53},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.words);
        tnat_clear();
        command(std::string("tnat 198.51.100.20 203.0.113.50 ") + row.words);
        NHKEY k;
        memset(&k, 0, sizeof k);
        key_of(FIXED4, k.addr);
        k.proto = row.proto;
        k.port = row.port;
        uint8_t v[16], want[16];
        ASSERT_TRUE(nh_lookup(tnat_forward, k, v, nullptr));
        key_of(TARGET4, want);
        EXPECT_EQ(memcmp(v, want, 16), 0);
        key_of(TARGET4, k.addr);
        ASSERT_TRUE(nh_lookup(tnat_reverse, k, v, nullptr));
        key_of(FIXED4, want);
        EXPECT_EQ(memcmp(v, want, 16), 0);
    }
}

// The address entries and the announcement of the outside address: the
// virtual MAC under VRRP (announced by a master only), else 06:00 and the
// IPv4 bytes; the target is entered to be resolved.
TEST_F(TnatTest, AddressEntriesAndAnnouncement)
{
    struct ROW {
        const char *name;
        const char *rule;
        bool vrrp;
        bool master;
        const char *mac;   // of the outside address
        bool announced;
    };
    const ROW rows[] = {
        {"no VRRP", "198.51.100.20 203.0.113.50 tcp any", false, false, "06:00:cb:00:71:32", true},
        {"VRRP, not master", "198.51.100.20 203.0.113.50 tcp any", true, false, VMAC, false},
        {"VRRP master", "198.51.100.20 203.0.113.50 tcp any", true, true, VMAC, true},
        {"VRRP master, IPv6", "2001:db8:1::20 2001:db8:2::50 tcp any", true, true, VMAC, true},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        cfg.vrrp.priority = row.vrrp ? 100 : 0;
        cfg.vrrp.state = row.master ? VRRP_MASTER : VRRP_INITIALIZE;
        bool v6 = strchr(row.rule, ':') != nullptr;
        uint8_t ka[16], kb[16];
        key_of(v6 ? TARGET6 : TARGET4, ka);
        key_of(v6 ? FIXED6 : FIXED4, kb);
        ah_delete(arp_table, ka);
        tw_clear();
        command(std::string("tnat ") + row.rule);
        const AHENTRY *a = ah_find(arp_table, ka);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->psv, 0);
        EXPECT_EQ(a->vip, 0);
        const AHENTRY *b = ah_find(arp_table, kb);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->vip, 1);
        EXPECT_EQ(b->network, 2);
        EXPECT_EQ(Frame(b->mac, b->mac + 6), mac_bytes(row.mac));
        EXPECT_NE(mh_lookup(ownmac_table, mac_bytes(row.mac).data()), nullptr);
        ASSERT_EQ(tw_sent_count(), row.announced ? 1 : 0);
        if (row.announced) {
            EXPECT_EQ(tw_sent(0)->slot, 2);
            Frame got(tw_sent(0)->data, tw_sent(0)->data + tw_sent(0)->len);
            if (!v6) {
                EXPECT_EQ(got, FrameBuilder().eth("ff:ff:ff:ff:ff:ff", row.mac)
                                   .arp(1, row.mac, FIXED4, "00:00:00:00:00:00", FIXED4).build());
            } else {
                // An unsolicited advertisement of the address with its MAC.
                ASSERT_EQ(got.size(), 86u);
                EXPECT_EQ(Frame(got.begin(), got.begin() + 6), mac_bytes("33:33:00:00:00:01"));
                EXPECT_EQ(got[54], ICMP6_NA);
                EXPECT_EQ(Frame(got.begin() + 62, got.begin() + 78), ip6_bytes(FIXED6));
                EXPECT_EQ(Frame(got.begin() + 80, got.begin() + 86), mac_bytes(row.mac));
                EXPECT_EQ(checksum_mismatch(got), "");
            }
        }
    }
}

// `no tnat` takes the rule back; the outside address's own entry goes with
// the last rule naming it, unless a network holds the address.
TEST_F(TnatTest, NoTnat)
{
    uint8_t kb[16], kv[16];
    key_of(FIXED4, kb);
    key_of(OUTSIDE4, kv);
    command("tnat 198.51.100.20 203.0.113.50 tcp any");
    command("tnat 198.51.100.20 203.0.113.50 udp 53");
    command("tnat 198.51.100.21 203.0.113.1 tcp any");
    ASSERT_EQ(tnat_rule_count(), 3);
    command("no tnat 198.51.100.20 203.0.113.50 tcp any");
    EXPECT_EQ(tnat_rule_count(), 2);
    EXPECT_NE(ah_find(arp_table, kb), nullptr);  // the UDP rule still names it
    Frame in = frame(true, VMAC, TARGET_MAC, TARGET4, SERVER4, 33000, 80);
    EXPECT_EQ(receive(1, in), 0);
    command("no tnat 198.51.100.20 203.0.113.50 udp 53");
    EXPECT_EQ(ah_find(arp_table, kb), nullptr);
    command("no tnat 198.51.100.21 203.0.113.1 tcp any");
    EXPECT_EQ(tnat_rule_count(), 0);
    EXPECT_NE(ah_find(arp_table, kv), nullptr);  // network 2's virt address
    // Taking back a rule that is not there changes nothing.
    command("no tnat 198.51.100.20 203.0.113.50 tcp any");
}

// The saved block, read back line by line as a configuration file's lines
// run, gives the same text again. A rule given twice is kept once.
TEST_F(TnatTest, BlockSavedAndLoadedBack)
{
    command("tnat 2001:db8:1::20 2001:db8:2::50 udp 53");
    command("tnat 198.51.100.21 203.0.113.51 udp 65589");
    command("tnat 198.51.100.20 203.0.113.50 tcp any");
    command("tnat 198.51.100.20 203.0.113.50 tcp any");
    Capture first;
    write_tnat(first.f, LINEFMT_FILE);
    const std::string text = first.str();
    EXPECT_EQ(text, "tnat      {\n"
                    "          198.51.100.20 203.0.113.50 tcp any\n"
                    "          198.51.100.21 203.0.113.51 udp 53\n"
                    "          2001:db8:1::20 2001:db8:2::50 udp 53\n"
                    "}         \n");
    tnat_clear();
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        command(text.substr(at, nl - at));
        at = nl + 1;
    }
    EXPECT_EQ(interp.context_command[0], '\0');
    EXPECT_EQ(tnat_rule_count(), 3);
    Capture second;
    write_tnat(second.f, LINEFMT_FILE);
    EXPECT_EQ(second.str(), text);
    // Nothing to write without rules.
    tnat_clear();
    Capture none;
    write_tnat(none.f, LINEFMT_FILE);
    EXPECT_EQ(none.str(), "");
}

// Pass 1 of a reload checks the words (and fails as pass 2 would) but
// enters no rule, makes no address entry and sends nothing; `no tnat`
// takes nothing back.
TEST_F(TnatTest, ReloadDryRunChangesNothing)
{
    command("tnat 198.51.100.21 203.0.113.51 tcp any");
    uint8_t ka[16], kb[16];
    key_of(TARGET4, ka);
    key_of(FIXED4, kb);
    ah_delete(arp_table, ka);
    tw_clear();
    cfg.vrrp.priority = 0;  // without VRRP an added rule would be announced
    interp.reload_pass = 1;
    int r = 0;
    run_line("tnat 198.51.100.20 203.0.113.50 tcp any", &r);
    EXPECT_EQ(r, 1);
    run_line("no tnat 198.51.100.21 203.0.113.51 tcp any", &r);
    EXPECT_EQ(r, 1);
    run_line("tnat 198.51.100.20 2001:db8:2::50 tcp any", &r);
    EXPECT_EQ(r, 0);
    interp.reload_pass = 0;
    EXPECT_EQ(tnat_rule_count(), 1);
    EXPECT_EQ(ah_find(arp_table, ka), nullptr);
    EXPECT_EQ(ah_find(arp_table, kb), nullptr);
    EXPECT_EQ(tw_sent_count(), 0);
}

} // namespace
