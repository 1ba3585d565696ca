// Frame parsing bounds and the checksum helpers, checked against full
// recomputation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "packet/frame.h"
#include "support/frames.h"

namespace {

Frame tcp4() { return FrameBuilder().eth("02:00:00:00:00:01", "02:00:00:00:00:02").ipv4("192.0.2.1", "198.51.100.7").tcp(40000, 80, TCP_SYN).payload("hello").build(); }
Frame udp6() { return FrameBuilder().eth("02:00:00:00:00:01", "02:00:00:00:00:02").ipv6("2001:db8::1", "2001:db8::2").udp(5353, 53).payload("abc").build(); }

struct PARSEROW {
    const char *desc;  // what is wrong or right
    Frame frame;       // input
    bool ok;           // frame_parse result
    int l4;            // expected l4 offset (-1 none)
    int l4len;         // expected layer-4 bytes
    bool truncated;    // an IP length field reaches beyond the frame
};

Frame with(Frame f, size_t off, uint8_t v)
{
    f[off] = v;
    return f;
}

Frame cut(Frame f, size_t n)
{
    f.resize(n);
    return f;
}

TEST(Frame, ParseBounds)
{
    Frame t = tcp4();      // 14 + 20 + 20 + 5 = 59 bytes
    Frame u = udp6();      // 14 + 40 + 8 + 3 = 65 bytes
    const PARSEROW rows[] = {
        {"empty", Frame(), false, -1, 0, false},
        {"runt Ethernet", Frame(13, 0), false, -1, 0, false},
        {"IPv4 ok", t, true, 34, 25, false},
        {"IPv4 padded to 64: the IP length wins", FrameBuilder().eth("02:00:00:00:00:01", "02:00:00:00:00:02").ipv4("192.0.2.1", "192.0.2.2").udp(1, 2).pad(64).build(), true, 34, 8, false},
        {"IPv4 header cut", cut(t, 30), false, -1, 0, false},
        {"IPv4 cut inside layer 4: the frame wins, marked cut", cut(t, 40), true, 34, 6, true},
        {"IPv4 total length one beyond the frame", with(t, 17, 46), true, 34, 25, true},
        {"IPv4 total length exactly the frame", with(t, 17, 45), true, 34, 25, false},
        {"IPv4 IHL below 5", with(t, 14, 0x44), false, -1, 0, false},
        {"IPv4 IHL beyond the frame", with(with(cut(t, 40), 14, 0x4f), 17, 60), false, -1, 0, true},
        {"IPv4 version 6 in an IPv4 EtherType", with(t, 14, 0x65), false, -1, 0, false},
        {"IPv4 total length below the header", with(with(t, 16, 0), 17, 10), false, -1, 0, false},
        {"IPv4 later fragment has no layer 4", with(t, 21, 0x10), true, -1, 0, false},
        {"IPv6 ok", u, true, 54, 11, false},
        {"IPv6 fixed header cut", cut(u, 50), false, -1, 0, false},
        {"IPv6 payload cut: the frame wins, marked cut", cut(u, 58), true, 54, 4, true},
        {"IPv6 payload length one beyond the frame", with(u, 19, 12), true, 54, 11, true},
        {"IPv6 payload length smaller than the frame", with(with(u, 18, 0), 19, 8), true, 54, 8, false},
        {"ARP cut", cut(FrameBuilder().eth("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:02").arp(1, "02:00:00:00:00:02", "192.0.2.1", "00:00:00:00:00:00", "192.0.2.2").build(), 41), false, -1, 0, false},
        {"other EtherType", FrameBuilder().eth("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:02").ethertype(0x88cc).payload("lldp").build(), false, -1, 0, false},
    };
    for (const PARSEROW &r : rows) {
        SCOPED_TRACE(r.desc);
        // An exact-size heap copy: a read past the end is caught by ASan.
        uint8_t *buf = (uint8_t *)malloc(r.frame.size() + 1);
        if (!r.frame.empty())
            memcpy(buf, r.frame.data(), r.frame.size());
        FRAMEINFO fi;
        EXPECT_EQ(frame_parse(buf, (int)r.frame.size(), &fi), r.ok);
        EXPECT_EQ(fi.l4, r.l4);
        EXPECT_EQ(fi.l4len, r.l4len);
        EXPECT_EQ(fi.truncated, r.truncated);
        if (fi.l4 >= 0) {
            EXPECT_LE(fi.l4 + fi.l4len, (int)r.frame.size());
        }
        free(buf);
    }
}

TEST(Frame, BuiltFramesVerify)
{
    EXPECT_EQ(checksum_errors(tcp4()), "");
    EXPECT_EQ(checksum_errors(udp6()), "");
    Frame bad = tcp4();
    bad[40] ^= 1;
    EXPECT_NE(checksum_errors(bad), "");
    Frame badip = tcp4();
    badip[22] ^= 1;  // TTL
    EXPECT_EQ(checksum_errors(badip), "IPv4 header checksum wrong");
}

// Known answer: the IPv4 header example of RFC 1071's usual illustration.
TEST(Frame, InetChecksumKnownAnswer)
{
    const uint8_t hdr[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                             0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(inet_checksum(hdr, 20), 0xb861);
    const uint8_t odd[3] = {0x01, 0x02, 0x03};
    EXPECT_EQ(inet_checksum(odd, 3), (uint16_t)~(0x0102 + 0x0300));
}

// The plain form of the sum: one big-endian 16-bit word per step, an odd
// last byte padded with zero, folded at the end.
uint16_t reference_checksum(uint32_t seed, const uint8_t *p, int n)
{
    uint64_t s = seed;
    int i = 0;
    for (; i + 1 < n; i += 2)
        s += (uint32_t)((p[i] << 8) | p[i + 1]);
    if (i < n)
        s += (uint32_t)(p[i] << 8);
    while (s >> 16)
        s = (s & 0xffff) + (s >> 16);
    return (uint16_t)~s;
}

// The wide sum against the plain one on random data of every length from
// 0 to 1600 bytes, at every start offset within a 64-bit word, with random
// running sums carried in; each buffer ends exactly where its allocation
// does, so a sanitizer build catches a read past the end.
TEST(Frame, ChecksumMatchesBytewiseSum)
{
    srand(4242);
    for (int n = 0; n <= 1600; n++) {
        for (int align = 0; align < 8; align++) {
            uint8_t *base = (uint8_t *)malloc((size_t)(align + n) + (align + n == 0 ? 1 : 0));
            uint8_t *p = base + align;
            // Every fourth length is all ones, the worst case for carries.
            for (int i = 0; i < n; i++)
                p[i] = n % 4 == 3 ? 0xff : (uint8_t)rand();
            uint32_t seeds[] = {0, (uint32_t)rand(), 0xffffffffu, 0xffff};
            for (uint32_t seed : seeds) {
                ASSERT_EQ(csum_fold(csum_add(seed, p, n)), reference_checksum(seed, p, n))
                    << "length " << n << " offset " << align << " seed " << seed;
            }
            ASSERT_EQ(inet_checksum(p, n), reference_checksum(0, p, n)) << "length " << n << " offset " << align;
            free(base);
        }
    }
}

// Sums carried from one call into the next (pseudo-header, then segment)
// give the sum of the whole when the first part has an even length.
TEST(Frame, ChecksumSumsChain)
{
    srand(77);
    std::vector<uint8_t> data(3000);
    for (uint8_t &b : data)
        b = (uint8_t)rand();
    for (int split : {0, 2, 12, 40, 1498, 2998}) {
        SCOPED_TRACE(split);
        uint32_t part = csum_add(csum_add(0, data.data(), split), data.data() + split, 2999 - split);
        EXPECT_EQ(csum_fold(part), reference_checksum(0, data.data(), 2999));
    }
    // A megabyte of ones: the accumulators must not lose a carry.
    std::vector<uint8_t> ones(1 << 20, 0xff);
    EXPECT_EQ(inet_checksum(ones.data(), (int)ones.size()), reference_checksum(0, ones.data(), (int)ones.size()));
}

// Rewriting addresses and ports with the incremental update must give a
// checksum that verifies, for many random values.
TEST(Frame, IncrementalUpdateMatchesRecomputation)
{
    srand(12345);
    for (int round = 0; round < 2000; round++) {
        Frame f = round % 2 ? tcp4() : udp6();
        FRAMEINFO fi;
        ASSERT_TRUE(frame_parse(f.data(), (int)f.size(), &fi));
        uint8_t *ip = f.data() + fi.l3;
        uint8_t *l4 = f.data() + fi.l4;
        uint8_t *csum = l4 + (fi.proto == IPPROTO_TCP_ ? TCP_CSUM : UDP_CSUM);
        uint8_t *dst = ip + (fi.ethertype == ETHTYPE_IPV4 ? IP4_DST : IP6_DST);
        int alen = fi.ethertype == ETHTYPE_IPV4 ? 4 : 16;
        uint8_t old[16], neu[16];
        memcpy(old, dst, (size_t)alen);
        for (int i = 0; i < alen; i++)
            neu[i] = (uint8_t)rand();
        memcpy(dst, neu, (size_t)alen);
        if (fi.proto == IPPROTO_TCP_)
            csum_replace(csum, old, neu, alen);
        else
            csum_replace_udp(csum, old, neu, alen);
        if (fi.ethertype == ETHTYPE_IPV4)
            csum_replace(ip + IP4_CSUM, old, neu, alen);
        uint16_t oport = rd16(l4 + 2), nport = (uint16_t)rand();
        wr16(l4 + 2, nport);
        csum_replace16(csum, oport, nport);
        ASSERT_EQ(checksum_errors(f), "") << "round " << round << "\n" << hex(f);
    }
}

TEST(Frame, UdpChecksumZeroStaysNone)
{
    Frame f = FrameBuilder().eth("02:00:00:00:00:01", "02:00:00:00:00:02").ipv4("192.0.2.1", "192.0.2.2").udp(1, 2).build();
    wr16(&f[34 + UDP_CSUM], 0);
    uint8_t o[4] = {192, 0, 2, 2}, n[4] = {198, 51, 100, 1};
    csum_replace_udp(&f[34 + UDP_CSUM], o, n, 4);
    EXPECT_EQ(rd16(&f[34 + UDP_CSUM]), 0);
}

// A frame sent with transmit offload carries only the pseudo-header sum;
// finishing it gives the full checksum.
TEST(Frame, FinishOffloadedChecksum)
{
    Frame rows[] = {tcp4(), udp6()};
    for (Frame &f : rows) {
        Frame good = f;
        FRAMEINFO fi;
        ASSERT_TRUE(frame_parse(f.data(), (int)f.size(), &fi));
        const uint8_t *ip = f.data() + fi.l3;
        uint32_t ps = fi.ethertype == ETHTYPE_IPV4
                          ? pseudo4_sum(ip + IP4_SRC, ip + IP4_DST, fi.proto, (uint32_t)fi.l4len)
                          : pseudo6_sum(ip + IP6_SRC, ip + IP6_DST, fi.proto, (uint32_t)fi.l4len);
        uint16_t partial = (uint16_t)~csum_fold(ps);
        int field = fi.l4 + (fi.proto == IPPROTO_TCP_ ? TCP_CSUM : UDP_CSUM);
        wr16(&f[(size_t)field], partial);
        EXPECT_NE(checksum_errors(f), "");
        EXPECT_TRUE(frame_finish_checksum(f.data(), &fi));
        EXPECT_EQ(f, good);
    }
    Frame arp = FrameBuilder().eth("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:02").arp(1, "02:00:00:00:00:02", "192.0.2.1", "00:00:00:00:00:00", "192.0.2.2").build();
    FRAMEINFO fi;
    ASSERT_TRUE(frame_parse(arp.data(), (int)arp.size(), &fi));
    EXPECT_FALSE(frame_finish_checksum(arp.data(), &fi));
}

TEST(Frame, FrameHas)
{
    EXPECT_TRUE(frame_has(14, 0, 14));
    EXPECT_FALSE(frame_has(14, 1, 14));
    EXPECT_FALSE(frame_has(14, -1, 2));
    EXPECT_FALSE(frame_has(-5, 0, 0));
    EXPECT_FALSE(frame_has(10, 0x7fffffff, 2));
    EXPECT_EQ(eth_type(nullptr, 0), 0);
}

} // namespace
