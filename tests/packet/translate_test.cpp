// The translation routine: random TCP, UDP, ICMP echo and ICMPv6 echo
// frames over IPv4 and IPv6, rewritten on either side (address, port or
// both) from finished and from unfinished checksums, must come out byte
// for byte as the same rewrite followed by a full recomputation of every
// checksum. Deliberate rows hit the checksum values 0x0000 and 0xffff on
// the way in and out. Also: the reader finishing offloaded checksums,
// UDP without checksum, fragments, SCTP's CRC32c, the port reader and the
// frames the routine refuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "packet/chain.h"
#include "packet/frame.h"
#include "packet/test_wire.h"
#include "packet/translate.h"
#include "packet_fixture.h"
#include "support/frames.h"

namespace {

const char *const MAC_A = "02:00:00:00:00:0a";
const char *const MAC_B = "02:00:00:00:00:0b";

struct KIND {
    const char *name;
    int ipver;       // 4 or 6
    uint8_t proto;   // IP protocol
};
const KIND KINDS[] = {
    {"TCP4", 4, IPPROTO_TCP_}, {"UDP4", 4, IPPROTO_UDP_}, {"ECH4", 4, IPPROTO_ICMP_},
    {"TCP6", 6, IPPROTO_TCP_}, {"UDP6", 6, IPPROTO_UDP_}, {"ECH6", 6, IPPROTO_ICMPV6_},
};

int l4_of(const KIND &k) { return ETH_HDRLEN + (k.ipver == 4 ? IP4_MINHDR : IP6_HDRLEN); }
bool is_icmp(const KIND &k) { return k.proto == IPPROTO_ICMP_ || k.proto == IPPROTO_ICMPV6_; }

// Offset of the 16-bit field a rewrite of `side`'s port touches.
int port_off(const KIND &k, NATSIDE side)
{
    if (is_icmp(k))
        return l4_of(k) + ICMP_ID;
    return l4_of(k) + (side == NATSIDE::SOURCE ? L4_SPORT : L4_DPORT);
}

// A word the rewrite leaves alone, covered by the transport checksum: the
// other side's port, or the echo sequence number.
int spare_off(const KIND &k, NATSIDE side)
{
    if (is_icmp(k))
        return l4_of(k) + ICMP_SEQ;
    return l4_of(k) + (side == NATSIDE::SOURCE ? L4_DPORT : L4_SPORT);
}

int csum_off(const KIND &k)
{
    int l4 = l4_of(k);
    return k.proto == IPPROTO_TCP_ ? l4 + TCP_CSUM : k.proto == IPPROTO_UDP_ ? l4 + UDP_CSUM : l4 + ICMP_CSUM;
}

FRAMEINFO parse(const Frame &f)
{
    FRAMEINFO fi;
    frame_parse(f.data(), (int)f.size(), &fi);
    return fi;
}

// Every checksum computed in full, as a sender computes it; a UDP checksum
// of 0 over IPv4 stays "none".
void recompute(Frame &f)
{
    FRAMEINFO fi = parse(f);
    if (fi.ethertype == ETHTYPE_IPV4)
        ip4_set_checksum(f.data() + fi.l3, fi.l3hdr);
    if (fi.l4 < 0)
        return;
    if (fi.proto == IPPROTO_UDP_ && fi.ethertype == ETHTYPE_IPV4 && rd16(f.data() + fi.l4 + UDP_CSUM) == 0)
        return;
    l4_set_checksum(f.data(), &fi);
}

// Sets the 16-bit word at `off` so that the full transport checksum comes
// out as 0x0000 (the data then sums to 0xffff); for UDP the sender sends
// that as 0xffff.
void force_zero_l4(Frame &f, int off)
{
    wr16(&f[(size_t)off], 0);
    recompute(f);
    FRAMEINFO fi = parse(f);
    int field = fi.l4 + (fi.proto == IPPROTO_TCP_ ? TCP_CSUM : fi.proto == IPPROTO_UDP_ ? UDP_CSUM : ICMP_CSUM);
    wr16(&f[(size_t)off], rd16(&f[(size_t)field]));
    recompute(f);
}

// The same for the IPv4 header checksum, through the identification field.
void force_zero_ip4(Frame &f)
{
    wr16(&f[ETH_HDRLEN + IP4_ID], 0);
    recompute(f);
    wr16(&f[ETH_HDRLEN + IP4_ID], rd16(&f[ETH_HDRLEN + IP4_CSUM]));
    recompute(f);
}

// The rewrite done by hand on a copy, then every checksum recomputed.
Frame expected(Frame e, const KIND &k, NATSIDE side, int what, const uint8_t addr16[16], uint16_t port)
{
    bool src = side == NATSIDE::SOURCE;
    if (what & XLATE_ADDR) {
        if (k.ipver == 4)
            memcpy(&e[ETH_HDRLEN + (src ? IP4_SRC : IP4_DST)], addr16 + 12, 4);
        else
            memcpy(&e[ETH_HDRLEN + (src ? IP6_SRC : IP6_DST)], addr16, 16);
    }
    if (what & XLATE_PORT)
        wr16(&e[(size_t)port_off(k, side)], port);
    recompute(e);
    return e;
}

struct RNG {
    std::mt19937 g;
    explicit RNG(uint32_t seed) : g(seed) {}
    uint32_t operator()(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(g); }
    uint16_t u16() { return (uint16_t)(*this)(65536); }
};

// Documentation addresses only, as text.
std::string ip4_text(RNG &r)
{
    static const char *const prefix[] = {"192.0.2.", "198.51.100.", "203.0.113."};
    return prefix[r(3)] + std::to_string(r(256));
}

std::string ip6_text(RNG &r)
{
    char b[64];
    snprintf(b, sizeof b, "2001:db8:%x:%x:%x:%x:%x:%x", r.u16(), r.u16(), r.u16(), r.u16(), r.u16(), r.u16());
    return b;
}

void addr16_of(RNG &r, const KIND &k, uint8_t out[16])
{
    if (k.ipver == 4) {
        std::vector<uint8_t> a = ip4_bytes(ip4_text(r).c_str());
        memset(out, 0, 10);
        out[10] = out[11] = 0xff;
        memcpy(out + 12, a.data(), 4);
    } else {
        std::vector<uint8_t> a = ip6_bytes(ip6_text(r).c_str());
        memcpy(out, a.data(), 16);
    }
}

Frame random_frame(RNG &r, const KIND &k)
{
    std::string data(r(300), '\0');  // odd and even lengths, zero included
    for (char &c : data)
        c = (char)r(256);
    FrameBuilder b;
    b.eth(MAC_B, MAC_A);
    if (k.ipver == 4)
        b.ipv4(ip4_text(r).c_str(), ip4_text(r).c_str(), (uint8_t)(1 + r(255)));
    else
        b.ipv6(ip6_text(r).c_str(), ip6_text(r).c_str(), (uint8_t)(1 + r(255)));
    if (k.proto == IPPROTO_TCP_)
        b.tcp(r.u16(), r.u16(), (uint8_t)r(64), (uint32_t)r.g(), (uint32_t)r.g()).payload(data);
    else if (k.proto == IPPROTO_UDP_)
        b.udp(r.u16(), r.u16()).payload(data);
    else if (k.proto == IPPROTO_ICMP_)
        b.icmp_echo(r(2) ? ICMP_ECHO : ICMP_ECHOREPLY, r.u16(), r.u16(), data);
    else
        b.icmp6_echo(r(2) ? ICMP6_ECHO : ICMP6_ECHOREPLY, r.u16(), r.u16(), data);
    return b.build();
}

const char *side_name(NATSIDE s) { return s == NATSIDE::SOURCE ? "source" : "dest"; }

// The table: for every kind, side and rewrite, random frames (some with an
// input checksum of 0x0000, some whose output checksums are 0x0000),
// translated from the finished and from the unfinished checksum.
TEST(Translate, RandomFramesMatchFullRecomputation)
{
    RNG r(20240611);
    int edges_out = 0, edges_in = 0;
    for (const KIND &k : KINDS) {
        for (NATSIDE side : {NATSIDE::SOURCE, NATSIDE::DEST}) {
            for (int what : {XLATE_ADDR, XLATE_PORT, XLATE_ADDR | XLATE_PORT}) {
                for (int round = 0; round < 120; round++) {
                    Frame in = random_frame(r, k);
                    uint8_t addr[16];
                    addr16_of(r, k, addr);
                    uint16_t port = r.u16();
                    int edge = round % 4;  // 1: input checksum 0, 2: output checksum 0
                    if (edge == 1) {
                        force_zero_l4(in, spare_off(k, side));
                        if (k.ipver == 4)
                            force_zero_ip4(in);
                        edges_in++;
                    }
                    Frame want = expected(in, k, side, what, addr, port);
                    if (edge == 2) {
                        // Choose the spare word so that the result's
                        // checksums are 0x0000, and give the input the same.
                        force_zero_l4(want, spare_off(k, side));
                        uint16_t spare = rd16(&want[(size_t)spare_off(k, side)]);
                        wr16(&in[(size_t)spare_off(k, side)], spare);
                        if (k.ipver == 4 && (what & XLATE_ADDR)) {
                            force_zero_ip4(want);
                            wr16(&in[ETH_HDRLEN + IP4_ID], rd16(&want[ETH_HDRLEN + IP4_ID]));
                        }
                        recompute(in);
                        edges_out++;
                    }
                    for (bool unf : {false, true}) {
                        SCOPED_TRACE(std::string(k.name) + " " + side_name(side) + " what " +
                                     std::to_string(what) + " round " + std::to_string(round) +
                                     (unf ? " unfinished" : " finished"));
                        Frame f = unf ? offloaded(in) : in;
                        FRAMEINFO fi = parse(f);
                        ASSERT_TRUE(translate_frame(f.data(), &fi, side, what, addr, port, unf));
                        ASSERT_EQ(f, want) << "in:\n" << hex(in) << "\nout:\n" << hex(f) << "\nwant:\n" << hex(want);
                        ASSERT_EQ(checksum_mismatch(f), "");
                        FRAMEINFO after = parse(f);
                        EXPECT_EQ(after.l4, fi.l4);
                        EXPECT_EQ(after.l4len, fi.l4len);
                    }
                }
            }
        }
    }
    EXPECT_GT(edges_in, 0);
    EXPECT_GT(edges_out, 0);
}

// Checksums at the 0x0000/0xffff edge, each row built so that the result
// lands there; the expected bytes are written out.
TEST(Translate, ChecksumEdges)
{
    struct ROW {
        const char *what;
        Frame in;
        int field;         // checksum field offset
        uint16_t id;       // new identifier (DEST side, port only)
        uint16_t want;     // checksum expected
    };
    // An echo reply that becomes all zero: only 0xffff verifies, and a full
    // computation gives it.
    Frame zero_echo = FrameBuilder().eth(MAC_B, MAC_A).ipv4("192.0.2.1", "192.0.2.2").icmp_echo(0, 0x1234, 0).build();
    // The same message with sequence 1 sums to 0xfffe after the rewrite of
    // the identifier to 0xfffe: checksum 0x0000.
    Frame neg_zero = FrameBuilder().eth(MAC_B, MAC_A).ipv4("192.0.2.1", "192.0.2.2").icmp_echo(0, 0x1234, 1).build();
    std::vector<ROW> rows = {
        {"ICMP all-zero reply", zero_echo, 34 + ICMP_CSUM, 0, 0xffff},
        {"ICMP negative zero", neg_zero, 34 + ICMP_CSUM, 0xfffe, 0x0000},
    };
    for (ROW &row : rows) {
        SCOPED_TRACE(row.what);
        FRAMEINFO fi = parse(row.in);
        uint8_t unused[16] = {};
        ASSERT_TRUE(translate_frame(row.in.data(), &fi, NATSIDE::DEST, XLATE_PORT, unused, row.id, false));
        EXPECT_EQ(rd16(&row.in[(size_t)row.field]), row.want);
        EXPECT_EQ(checksum_mismatch(row.in), "");
        EXPECT_EQ(checksum_errors(row.in), "");
    }
    // TCP whose result sums to 0xffff: 0x0000, never 0xffff.
    RNG r(7);
    const KIND &tcp4 = KINDS[0];
    for (int i = 0; i < 50; i++) {
        Frame in = random_frame(r, tcp4);
        uint8_t addr[16];
        addr16_of(r, tcp4, addr);
        Frame want = expected(in, tcp4, NATSIDE::SOURCE, XLATE_ADDR, addr, 0);
        force_zero_l4(want, spare_off(tcp4, NATSIDE::SOURCE));
        ASSERT_EQ(rd16(&want[(size_t)csum_off(tcp4)]), 0x0000);
        wr16(&in[(size_t)spare_off(tcp4, NATSIDE::SOURCE)], rd16(&want[(size_t)spare_off(tcp4, NATSIDE::SOURCE)]));
        recompute(in);
        FRAMEINFO fi = parse(in);
        ASSERT_TRUE(translate_frame(in.data(), &fi, NATSIDE::SOURCE, XLATE_ADDR, addr, 0, false));
        ASSERT_EQ(in, want);
    }
}

// The csum_replace callers outside the routine: a result the data makes
// 0x0000 is stored as 0x0000 for TCP, as 0xffff for UDP.
TEST(Translate, CsumReplaceZeroRuleOnlyForUdp)
{
    struct ROW {
        const char *name;
        bool udp;
        uint16_t stored;    // checksum before: sums of everything else give 0xffff after
        uint16_t want;
    };
    // One changed word 0x0001 -> 0x0000 on a checksum of 0xfffe: eqn. 3
    // gives ~(0x0001 + 0xfffe + 0x0000) = ~0xffff = 0x0000.
    const ROW rows[] = {{"TCP", false, 0xfffe, 0x0000}, {"UDP", true, 0xfffe, 0xffff}};
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        uint8_t field[2], o[2] = {0x00, 0x01}, n[2] = {0x00, 0x00};
        wr16(field, row.stored);
        if (row.udp)
            csum_replace_udp(field, o, n, 2);
        else
            csum_replace(field, o, n, 2);
        EXPECT_EQ(rd16(field), row.want);
    }
}

// The reader finishes an offloaded checksum before the chain runs: a frame
// sent on unchanged (crossover) leaves with the full checksum.
TEST_F(PacketTest, ReaderFinishesOffloadedChecksums)
{
    ASSERT_EQ(chain_set("crossover"), 1);
    Frame rows[] = {
        FrameBuilder().eth(MAC_B, MAC_A).ipv4("192.0.2.1", "198.51.100.2").tcp(1000, 80, TCP_SYN).payload("abc").build(),
        FrameBuilder().eth(MAC_B, MAC_A).ipv6("2001:db8::1", "2001:db8::2").udp(53, 5353).payload("query").build(),
        FrameBuilder().eth(MAC_B, MAC_A).ipv4("192.0.2.1", "198.51.100.2").sctp(2905, 2905).payload("chunk!").build(),
    };
    for (Frame &good : rows) {
        Frame off = good;
        FRAMEINFO fi = parse(off);
        if (fi.proto == IPPROTO_SCTP_)
            memset(&off[(size_t)fi.l4 + SCTP_CSUM], 0, 4);  // an offloading sender leaves the CRC zero
        else
            off = offloaded(good);
        ASSERT_NE(off, good);
        tw_clear();
        ASSERT_EQ(tw_receive(1, off.data(), (int)off.size(), true), 1);
        ASSERT_EQ(tw_sent_count(), 2);
        const TWFRAME *o = tw_sent(0);
        EXPECT_EQ(Frame(o->data, o->data + o->len), good);
    }
}

TEST(Translate, UdpWithoutChecksumStaysWithout)
{
    Frame f = FrameBuilder().eth(MAC_B, MAC_A).ipv4("192.0.2.1", "192.0.2.2").udp(1000, 53).payload("x").build();
    wr16(&f[34 + UDP_CSUM], 0);
    recompute(f);
    FRAMEINFO fi = parse(f);
    uint8_t addr[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 203, 0, 113, 7};
    ASSERT_TRUE(translate_frame(f.data(), &fi, NATSIDE::SOURCE, XLATE_ADDR | XLATE_PORT, addr, 20000, false));
    EXPECT_EQ(rd16(&f[34 + UDP_CSUM]), 0);
    EXPECT_EQ(rd16(&f[34 + UDP_SPORT]), 20000);
    EXPECT_EQ(checksum_mismatch(f), "");
}

// A non-first fragment carries payload where ports would be: only the
// address and the IP header checksum change. The first fragment's
// transport checksum is adjusted like a whole datagram's.
TEST(Translate, Fragments)
{
    Frame frag = FrameBuilder().eth(MAC_B, MAC_A).ipv4("192.0.2.1", "192.0.2.2").proto(IPPROTO_TCP_)
                     .payload("0123456789abcdefghijklmnop").build();
    wr16(&frag[ETH_HDRLEN + IP4_FRAG], 0x0003);  // offset 24 bytes
    recompute(frag);
    Frame before = frag;
    FRAMEINFO fi = parse(frag);
    ASSERT_TRUE(fi.fragment);
    uint8_t addr[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 203, 0, 113, 9};
    ASSERT_TRUE(translate_frame(frag.data(), &fi, NATSIDE::SOURCE, XLATE_ADDR | XLATE_PORT, addr, 20001, false));
    EXPECT_TRUE(std::equal(frag.begin() + 34, frag.end(), before.begin() + 34)) << hex(frag);
    EXPECT_EQ(memcmp(&frag[ETH_HDRLEN + IP4_SRC], addr + 12, 4), 0);
    EXPECT_EQ(checksum_mismatch(frag), "");
    uint16_t port;
    EXPECT_FALSE(frame_nat_port(frag.data(), &fi, NATSIDE::SOURCE, &port));

    // First fragment (more fragments set): the TCP checksum covers data in
    // later fragments, so the adjustment is incremental only.
    Frame first = FrameBuilder().eth(MAC_B, MAC_A).ipv4("192.0.2.1", "192.0.2.2").tcp(1000, 80, TCP_ACKF)
                      .payload("part one").build();
    uint16_t old_csum = rd16(&first[34 + TCP_CSUM]);
    wr16(&first[ETH_HDRLEN + IP4_FRAG], IP4_MF);
    recompute(first);
    wr16(&first[34 + TCP_CSUM], (uint16_t)(old_csum ^ 0x5a5a));  // as if covering more data
    Frame ref = first;
    fi = parse(first);
    ASSERT_TRUE(translate_frame(first.data(), &fi, NATSIDE::SOURCE, XLATE_PORT, addr, 1001, false));
    uint8_t csum[2];
    memcpy(csum, &ref[34 + TCP_CSUM], 2);
    csum_replace16(csum, 1000, 1001);
    EXPECT_EQ(memcmp(&first[34 + TCP_CSUM], csum, 2), 0);
    // ... and an unfinished checksum cannot be completed from it.
    FRAMEINFO rfi = parse(ref);
    EXPECT_FALSE(translate_frame(ref.data(), &rfi, NATSIDE::SOURCE, XLATE_PORT, addr, 1001, true));
}

TEST(Translate, Crc32cVectors)
{
    struct ROW {
        const char *name;
        std::vector<uint8_t> data;
        uint32_t crc;
    };
    std::vector<uint8_t> seq(32), ones(32, 0xff);
    for (int i = 0; i < 32; i++)
        seq[(size_t)i] = (uint8_t)i;
    const std::string digits = "123456789";
    const ROW rows[] = {
        {"123456789", std::vector<uint8_t>(digits.begin(), digits.end()), 0xe3069283},
        {"32 zero bytes", std::vector<uint8_t>(32, 0), 0x8a9136aa},
        {"32 bytes 0xff", ones, 0x62a8ab43},
        {"0x00..0x1f", seq, 0x46dd794e},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(crc32c(row.data.data(), (int)row.data.size()), row.crc);
    }
}

// SCTP: a port rewrite recomputes the CRC32c (stored little-endian); an
// address rewrite leaves it; a packet that came with a wrong CRC keeps it.
TEST(Translate, SctpCrcAfterPortRewrite)
{
    Frame f = FrameBuilder().eth(MAC_B, MAC_A).ipv4("192.0.2.1", "192.0.2.2").sctp(2905, 3868).payload("DATA chunk").build();
    FRAMEINFO fi = parse(f);
    // The builder's CRC, checked against the routine independently.
    Frame z = f;
    memset(&z[34 + SCTP_CSUM], 0, 4);
    uint32_t c = crc32c(z.data() + 34, (int)z.size() - 34);
    EXPECT_EQ(f[34 + SCTP_CSUM], (uint8_t)c);
    EXPECT_EQ(f[34 + SCTP_CSUM + 3], (uint8_t)(c >> 24));

    uint8_t addr[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 198, 51, 100, 5};
    Frame a = f;
    ASSERT_TRUE(translate_frame(a.data(), &fi, NATSIDE::DEST, XLATE_ADDR, addr, 0, false));
    EXPECT_EQ(memcmp(&a[34 + SCTP_CSUM], &f[34 + SCTP_CSUM], 4), 0);
    EXPECT_EQ(checksum_mismatch(a), "");

    Frame p = f;
    ASSERT_TRUE(translate_frame(p.data(), &fi, NATSIDE::SOURCE, XLATE_PORT, addr, 20005, false));
    EXPECT_EQ(rd16(&p[34 + SCTP_SPORT]), 20005);
    EXPECT_NE(memcmp(&p[34 + SCTP_CSUM], &f[34 + SCTP_CSUM], 4), 0);
    EXPECT_EQ(checksum_mismatch(p), "");

    Frame bad = f;
    bad[34 + SCTP_CSUM] ^= 1;
    ASSERT_TRUE(translate_frame(bad.data(), &fi, NATSIDE::SOURCE, XLATE_PORT, addr, 20005, false));
    EXPECT_NE(checksum_mismatch(bad), "");
}

TEST(Translate, NatPort)
{
    Frame tcp = FrameBuilder().eth(MAC_B, MAC_A).ipv4("192.0.2.1", "192.0.2.2").tcp(1234, 80, TCP_SYN).build();
    Frame echo6 = FrameBuilder().eth(MAC_B, MAC_A).ipv6("2001:db8::1", "2001:db8::2").icmp6_echo(128, 0x4242, 1).build();
    Frame unreach = FrameBuilder().eth(MAC_B, MAC_A).ipv4("192.0.2.1", "192.0.2.2").icmp_echo(3, 0x4242, 1).build();
    struct ROW {
        const char *name;
        const Frame &f;
        NATSIDE side;
        bool has;
        uint16_t port;
    };
    const ROW rows[] = {
        {"tcp source", tcp, NATSIDE::SOURCE, true, 1234},
        {"tcp dest", tcp, NATSIDE::DEST, true, 80},
        {"echo6 id", echo6, NATSIDE::DEST, true, 0x4242},
        {"icmp unreachable", unreach, NATSIDE::SOURCE, false, 0},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        FRAMEINFO fi = parse(row.f);
        uint16_t port = 0;
        EXPECT_EQ(frame_nat_port(row.f.data(), &fi, row.side, &port), row.has);
        if (row.has) {
            EXPECT_EQ(port, row.port);
        }
    }
}

// Frames the routine refuses come back untouched.
TEST(Translate, Refused)
{
    uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 203, 0, 113, 1};
    uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    Frame arp = FrameBuilder().eth("ff:ff:ff:ff:ff:ff", MAC_A).arp(1, MAC_A, "192.0.2.1", "00:00:00:00:00:00", "192.0.2.2").build();
    Frame tcp4 = FrameBuilder().eth(MAC_B, MAC_A).ipv4("192.0.2.1", "192.0.2.2").tcp(1, 2, TCP_SYN).payload("data").build();
    Frame tcp6 = FrameBuilder().eth(MAC_B, MAC_A).ipv6("2001:db8::1", "2001:db8::2").tcp(1, 2, TCP_SYN).build();
    Frame cut = tcp4;
    wr16(&cut[ETH_HDRLEN + IP4_TOTLEN], (uint16_t)(cut.size() - ETH_HDRLEN + 10));  // claims more than was read
    recompute(cut);
    Frame shorthdr = tcp4;
    wr16(&shorthdr[ETH_HDRLEN + IP4_TOTLEN], IP4_MINHDR + 10);  // TCP header cut by the IP length
    recompute(shorthdr);
    Frame ext6 = FrameBuilder().eth(MAC_B, MAC_A).ipv6("2001:db8::1", "2001:db8::2").proto(0)
                     .payload(std::string(8, '\0')).build();  // hop-by-hop options first
    struct ROW {
        const char *name;
        Frame f;
        int what;
        const uint8_t *addr;
    };
    const ROW rows[] = {
        {"ARP", arp, XLATE_ADDR, mapped},
        {"IPv4 frame, IPv6 address", tcp4, XLATE_ADDR, v6},
        {"IPv6 frame, IPv4 address", tcp6, XLATE_ADDR, mapped},
        {"cut IPv4 packet", cut, XLATE_ADDR, mapped},
        {"cut TCP header, port", shorthdr, XLATE_PORT, mapped},
        {"cut TCP header, address", shorthdr, XLATE_ADDR, mapped},
        {"IPv6 extension header", ext6, XLATE_ADDR, v6},
    };
    for (const ROW &row : rows) {
        SCOPED_TRACE(row.name);
        Frame f = row.f;
        FRAMEINFO fi = parse(f);
        EXPECT_FALSE(translate_frame(f.data(), &fi, NATSIDE::SOURCE, row.what, row.addr, 20000, false));
        EXPECT_EQ(f, row.f);
    }
    FRAMEINFO fi = parse(cut);
    EXPECT_TRUE(fi.truncated);
    uint16_t port;
    EXPECT_FALSE(frame_nat_port(cut.data(), &fi, NATSIDE::SOURCE, &port));
}

} // namespace
