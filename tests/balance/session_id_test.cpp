// Session identifier handlers on hand-built frames: every handler over
// IPv4 and IPv6, protocols without ports, SIP Call-ID, the name table,
// over-long keys and truncated frames.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "balance/session_id.h"
#include "packet/frame.h"
#include "support/frames.h"

namespace {

// A client frame carrying proto (TCP, UDP, SCTP; ICMP or ICMPv6 echo
// otherwise, ports ignored) from src to dst, IPv6 when the address is.
Frame ip_frame(int proto, const char *src, const char *dst, int sport, int dport, const std::string &payload = "")
{
    FrameBuilder b;
    b.eth("06:00:c0:00:02:01", "02:00:00:00:00:02");
    bool v6 = strchr(src, ':') != nullptr;
    if (v6)
        b.ipv6(src, dst);
    else
        b.ipv4(src, dst);
    switch (proto) {
    case IPPROTO_TCP_:
        b.tcp((uint16_t)sport, (uint16_t)dport, 0x02);
        break;
    case IPPROTO_UDP_:
        b.udp((uint16_t)sport, (uint16_t)dport);
        break;
    case IPPROTO_SCTP_:
        b.sctp((uint16_t)sport, (uint16_t)dport);
        break;
    default:
        if (v6)
            b.icmp6_echo(ICMP6_ECHO, 1, 1);
        else
            b.icmp_echo(ICMP_ECHO, 1, 1);
        break;
    }
    return b.payload(payload).build();
}

// The handler's key, or "<none>".
std::string key(SIDHANDLER h, const Frame &f)
{
    char out[SIDBUFLEN];
    memset(out, 'x', sizeof out);
    char *r = h(f.data(), (int)f.size(), out);
    if (r == nullptr)
        return "<none>";
    EXPECT_EQ(r, out);
    return r;
}

const char *const NONE = "<none>";

TEST(SessionId, AddressAndPortHandlers)
{
    // Client 192.0.2.7:40000 -> server 198.51.100.1:80 (and the reply).
    auto c4 = ip_frame(IPPROTO_TCP_, "192.0.2.7", "198.51.100.1", 40000, 80);
    auto r4 = ip_frame(IPPROTO_TCP_, "198.51.100.1", "192.0.2.7", 80, 40000);
    auto c6 = ip_frame(IPPROTO_UDP_, "2001:db8::1", "2001:db8:1::80", 40000, 80);
    auto r6 = ip_frame(IPPROTO_UDP_, "2001:db8:1::80", "2001:db8::1", 80, 40000);
    struct Case {
        const char *name;
        const Frame *frame;
        const char *expect;
    } cases[] = {
        {"src", &c4, "192.0.2.7:0"},
        {"src+port", &c4, "192.0.2.7:40000"},
        {"src+dstport", &c4, "192.0.2.7:80"},
        {"src+ports", &c4, "192.0.2.7:40000:80"},
        {"src+dst", &c4, "192.0.2.7-198.51.100.1"},
        {"dst+src", &c4, "198.51.100.1-192.0.2.7"},
        {"dst", &r4, "192.0.2.7:0"},
        {"dst+port", &r4, "192.0.2.7:40000"},
        {"dst+srcport", &r4, "192.0.2.7:80"},
        {"dst+ports", &r4, "192.0.2.7:40000:80"},
        {"src", &c6, "2001:db8::1.0"},
        {"src+port", &c6, "2001:db8::1.40000"},
        {"src+dstport", &c6, "2001:db8::1.80"},
        {"src+ports", &c6, "2001:db8::1.40000.80"},
        {"src+dst", &c6, "2001:db8::1-2001:db8:1::80"},
        {"dst+src", &c6, "2001:db8:1::80-2001:db8::1"},
        {"dst", &r6, "2001:db8::1.0"},
        {"dst+port", &r6, "2001:db8::1.40000"},
        {"dst+srcport", &r6, "2001:db8::1.80"},
        {"dst+ports", &r6, "2001:db8::1.40000.80"},
    };
    for (const Case &c : cases) {
        SIDHANDLER h = sid_lookup(c.name, SID_SERVER | SID_TARGET);
        ASSERT_NE(h, nullptr) << c.name;
        EXPECT_EQ(key(h, *c.frame), c.expect) << c.name;
    }
}

// Ports of every digit count, each port written as its own number.
TEST(SessionId, PortsOfEveryLength)
{
    SIDHANDLER h = sid_lookup("src+ports", SID_SERVER | SID_TARGET);
    ASSERT_NE(h, nullptr);
    for (int port : {0, 7, 10, 99, 100, 999, 1000, 9999, 10000, 40000, 65535}) {
        auto f = ip_frame(IPPROTO_UDP_, "203.0.113.255", "198.51.100.1", port, 65535 - port);
        EXPECT_EQ(key(h, f), "203.0.113.255:" + std::to_string(port) + ":" + std::to_string(65535 - port));
    }
}

TEST(SessionId, RequestAndReplyPairsGiveTheSameKey)
{
    auto c = ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5060, 5060);
    auto r = ip_frame(IPPROTO_UDP_, "198.51.100.1", "192.0.2.7", 5060, 5060);
    EXPECT_EQ(key(sid_src, c), key(sid_dst, r));
    EXPECT_EQ(key(sid_src_port, c), key(sid_dst_port, r));
    EXPECT_EQ(key(sid_src_ports, c), key(sid_dst_ports, r));
    // Two source ports of one client: one session under src, two under src+port.
    auto c2 = ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5061, 5060);
    EXPECT_EQ(key(sid_src, c), key(sid_src, c2));
    EXPECT_NE(key(sid_src_port, c), key(sid_src_port, c2));
}

TEST(SessionId, PortsOnlyForTcpUdpSctp)
{
    EXPECT_EQ(key(sid_src_port, ip_frame(IPPROTO_ICMP_, "192.0.2.3", "198.51.100.1", 0, 0)), "192.0.2.3:0");
    EXPECT_EQ(key(sid_src_ports, ip_frame(IPPROTO_ICMP_, "192.0.2.3", "198.51.100.1", 0, 0)), "192.0.2.3:0:0");
    EXPECT_EQ(key(sid_src_port, ip_frame(IPPROTO_ICMPV6_, "2001:db8::5", "2001:db8::6", 0, 0)), "2001:db8::5.0");
    EXPECT_EQ(key(sid_src_ports, ip_frame(IPPROTO_SCTP_, "192.0.2.9", "198.51.100.1", 2905, 3868)),
              "192.0.2.9:2905:3868");
    EXPECT_EQ(key(sid_dst_ports, ip_frame(IPPROTO_SCTP_, "2001:db8::6", "2001:db8::5", 3868, 2905)),
              "2001:db8::5.2905.3868");
}

TEST(SessionId, OtherEtherTypesGiveNoKey)
{
    auto f = ip_frame(IPPROTO_TCP_, "192.0.2.7", "198.51.100.1", 1, 2);
    f[12] = 0x08;
    f[13] = 0x06;  // ARP
    for (int i = 0; i < sid_handler_count; i++)
        EXPECT_EQ(key(sid_handlers[i].handler, f), NONE) << sid_handlers[i].name;
}

TEST(SessionId, MalformedIpv4HeaderLengthGivesNoKey)
{
    auto f = ip_frame(IPPROTO_TCP_, "192.0.2.7", "198.51.100.1", 1, 2);
    f[14] = 0x44;
    EXPECT_EQ(key(sid_src_port, f), NONE);
}

TEST(SessionId, SipCallId)
{
    const std::string invite =
        "INVITE sip:bob@example.com SIP/2.0\r\n"
        "Via: SIP/2.0/UDP 192.0.2.7:5060\r\n"
        "Call-ID: abc123\r\n"
        "CSeq: 1 INVITE\r\n\r\n";
    EXPECT_EQ(key(sid_sip, ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5060, 5060, invite)), "Call-ID: abc123");
    EXPECT_EQ(key(sid_sip, ip_frame(IPPROTO_UDP_, "2001:db8::1", "2001:db8::2", 5060, 5060, invite)), "Call-ID: abc123");
    // Not over TCP, not without the header, not in compact or lower-case form.
    EXPECT_EQ(key(sid_sip, ip_frame(IPPROTO_TCP_, "192.0.2.7", "198.51.100.1", 5060, 5060, invite)), NONE);
    EXPECT_EQ(key(sid_sip, ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5060, 5060, "INVITE x\r\ni: abc\r\n")), NONE);
    EXPECT_EQ(key(sid_sip, ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5060, 5060, "call-id: abc\r\n")), NONE);
    // An empty payload, and a header after a NUL byte, give no key.
    EXPECT_EQ(key(sid_sip, ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5060, 5060)), NONE);
    EXPECT_EQ(key(sid_sip, ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5060, 5060,
                                   std::string("x\0Call-ID: a\r\n", 14))), NONE);
    // Header at the very end of the frame, without CR LF.
    EXPECT_EQ(key(sid_sip, ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5060, 5060, "Call-ID: z")), "Call-ID: z");
    // A long Call-ID is cut to 63 characters.
    std::string longid(100, 'q');
    EXPECT_EQ(key(sid_sip, ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5060, 5060, "Call-ID: " + longid + "\r\n")),
              ("Call-ID: " + longid).substr(0, 63));
}

TEST(SessionId, LongIpv6PairKeysAreCutTo63)
{
    const char *a = "2001:db8:1111:2222:3333:4444:5555:6666";
    const char *b = "2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff";
    auto f = ip_frame(IPPROTO_TCP_, a, b, 1, 2);
    std::string full = std::string(a) + "-" + b;
    EXPECT_EQ(key(sid_src_dst, f), full.substr(0, SIDMAXLEN));
    EXPECT_EQ(key(sid_dst_src, f), (std::string(b) + "-" + a).substr(0, SIDMAXLEN));
    // The key made again from the same frame is the same text.
    EXPECT_EQ(key(sid_src_dst, f), key(sid_src_dst, f));
}

TEST(SessionId, NameTableBySide)
{
    const char *server_names[] = {"src", "src+port", "src+dstport", "src+ports", "src+dst", "dst+src", "sip"};
    const char *target_names[] = {"dst", "dst+port", "dst+srcport", "dst+ports", "src+dst", "dst+src", "sip"};
    for (const char *n : server_names) {
        SIDHANDLER h = sid_lookup(n, SID_SERVER);
        ASSERT_NE(h, nullptr) << n;
        EXPECT_STREQ(sid_name(h), n);
    }
    for (const char *n : target_names) {
        SIDHANDLER h = sid_lookup(n, SID_TARGET);
        ASSERT_NE(h, nullptr) << n;
        EXPECT_STREQ(sid_name(h), n);
    }
    EXPECT_EQ(sid_lookup("dst", SID_SERVER), nullptr);
    EXPECT_EQ(sid_lookup("src+port", SID_TARGET), nullptr);
    EXPECT_EQ(sid_lookup("sr", SID_SERVER), nullptr);  // names are not abbreviated
    EXPECT_EQ(sid_lookup("", SID_SERVER), nullptr);
    EXPECT_STREQ(sid_name(nullptr), "?");
}

// Every prefix of every frame (length 0 up to the whole frame) is handled
// without reading past its end; the sanitizer build checks the reads. The
// prefix is copied into an exactly sized heap block so an over-read is
// caught.
TEST(SessionId, TruncatedFramesNeverOverread)
{
    const std::string sip = "INVITE x SIP/2.0\r\nCall-ID: abc123\r\n\r\n";
    std::vector<Frame> frames = {
        ip_frame(IPPROTO_TCP_, "192.0.2.7", "198.51.100.1", 40000, 80),
        ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5060, 5060, sip),
        ip_frame(IPPROTO_SCTP_, "192.0.2.7", "198.51.100.1", 1, 2),
        ip_frame(IPPROTO_ICMP_, "192.0.2.7", "198.51.100.1", 0, 0),
        ip_frame(IPPROTO_TCP_, "2001:db8::1", "2001:db8::2", 40000, 80),
        ip_frame(IPPROTO_UDP_, "2001:db8::1", "2001:db8::2", 5060, 5060, sip),
        ip_frame(IPPROTO_SCTP_, "2001:db8::1", "2001:db8::2", 1, 2),
    };
    for (const auto &full : frames) {
        for (size_t n = 0; n <= full.size(); n++) {
            uint8_t *block = new uint8_t[n > 0 ? n : 1];
            if (n > 0)
                memcpy(block, full.data(), n);
            for (int i = 0; i < sid_handler_count; i++) {
                char out[SIDBUFLEN];
                char *r = sid_handlers[i].handler(block, (int)n, out);
                if (r != nullptr) {
                    EXPECT_LE(strlen(r), (size_t)SIDMAXLEN);
                }
                // Too short for the addresses: never a key.
                bool v4 = full[12] == 0x08;
                if (n < (v4 ? 34u : 54u)) {
                    EXPECT_EQ(r, nullptr) << sid_handlers[i].name << " len " << n;
                }
            }
            delete[] block;
        }
        // A frame cut inside the ports gives no key for a port handler,
        // while src (port 0) still works.
        bool v4 = full[12] == 0x08;
        int l4 = v4 ? 34 : 54;
        int proto = v4 ? full[23] : full[20];
        if (proto != IPPROTO_ICMP_) {
            char out[SIDBUFLEN];
            EXPECT_EQ(sid_src_port(full.data(), l4 + 3, out), nullptr);
            EXPECT_NE(sid_src_port(full.data(), l4 + 4, out), nullptr);
            EXPECT_NE(sid_src(full.data(), l4, out), nullptr);
        }
    }
    char out[SIDBUFLEN];
    EXPECT_EQ(sid_src(nullptr, 0, out), nullptr);
}

// Frames whose fragment offset, IP length or IP version leave fields
// outside a transport header inside the IP packet: those fields are
// never part of a key, while the addresses of a valid header still are.
TEST(SessionId, FieldsOutsideTheIpPacketAreNotRead)
{
    const std::string sip = "Call-ID: q\r\n";
    auto tcp4 = [] { return ip_frame(IPPROTO_TCP_, "192.0.2.7", "198.51.100.1", 40000, 80); };
    // A later piece of a fragmented datagram: its first bytes are payload.
    Frame later = tcp4();
    wr16(later.data() + ETH_HDRLEN + IP4_FRAG, 185);
    Frame later_sip = ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5060, 5060, sip);
    wr16(later_sip.data() + ETH_HDRLEN + IP4_FRAG, 185);
    // The first piece carries the transport header.
    Frame first = tcp4();
    wr16(first.data() + ETH_HDRLEN + IP4_FRAG, IP4_MF);
    // IP lengths that end inside the ports; the frame's remaining bytes
    // are trailer.
    Frame short4 = tcp4();
    wr16(short4.data() + ETH_HDRLEN + IP4_TOTLEN, IP4_MINHDR + 3);
    Frame short6 = ip_frame(IPPROTO_UDP_, "2001:db8::1", "2001:db8:1::80", 40000, 80);
    wr16(short6.data() + ETH_HDRLEN + IP6_PLEN, 3);
    // A Call-ID header after the end of the IP packet.
    Frame sip_trailer = ip_frame(IPPROTO_UDP_, "192.0.2.7", "198.51.100.1", 5060, 5060, "x");
    sip_trailer.insert(sip_trailer.end(), sip.begin(), sip.end());
    // Malformed IP headers.
    Frame version6_in_ipv4 = tcp4();
    version6_in_ipv4[ETH_HDRLEN + IP4_VIHL] = 0x65;
    Frame total_below_header = tcp4();
    wr16(total_below_header.data() + ETH_HDRLEN + IP4_TOTLEN, IP4_MINHDR - 1);
    Frame version4_in_ipv6 = ip_frame(IPPROTO_TCP_, "2001:db8::1", "2001:db8:1::80", 40000, 80);
    version4_in_ipv6[ETH_HDRLEN + IP6_VTCFL] = 0x40;
    struct Case {
        const char *what;
        const Frame *frame;
        const char *handler;
        const char *expect;
    } cases[] = {
        {"later fragment", &later, "src+port", NONE},
        {"later fragment", &later, "dst+ports", NONE},
        {"later fragment", &later, "src", "192.0.2.7:0"},
        {"later fragment", &later, "src+dst", "192.0.2.7-198.51.100.1"},
        {"later fragment", &later_sip, "sip", NONE},
        {"first fragment", &first, "src+ports", "192.0.2.7:40000:80"},
        {"IPv4 length inside the ports", &short4, "src+port", NONE},
        {"IPv4 length inside the ports", &short4, "src", "192.0.2.7:0"},
        {"IPv6 length inside the ports", &short6, "src+ports", NONE},
        {"IPv6 length inside the ports", &short6, "src", "2001:db8::1.0"},
        {"Call-ID after the IP packet", &sip_trailer, "sip", NONE},
        {"IPv4 EtherType, version 6", &version6_in_ipv4, "src", NONE},
        {"IPv4 total length below the header", &total_below_header, "src", NONE},
        {"IPv6 EtherType, version 4", &version4_in_ipv6, "dst", NONE},
    };
    for (const Case &c : cases) {
        SIDHANDLER h = sid_lookup(c.handler, SID_SERVER | SID_TARGET);
        ASSERT_NE(h, nullptr) << c.handler;
        EXPECT_EQ(key(h, *c.frame), c.expect) << c.what << ", " << c.handler;
    }
}

// A handler that is not in the table, called by sid_make with the frame.
char *length_key(const uint8_t *, int len, char *out)
{
    std::string text = "len " + std::to_string(len);
    memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

// sid_make on the caller's parse gives each handler's own key, for whole
// frames, every cut of them and frames that give no key; it reads the
// caller's FRAMEINFO instead of parsing again.
TEST(SessionId, ParsedFrameGivesTheHandlersKey)
{
    // Every protocol over both families (ICMP stands for ICMPv6 over IPv6),
    // UDP carrying a SIP request, and an ARP frame.
    const char *const pairs[][2] = {{"192.0.2.7", "198.51.100.1"}, {"2001:db8::1", "2001:db8:1::80"}};
    std::vector<Frame> frames;
    for (const auto &pair : pairs)
        for (int proto : {IPPROTO_TCP_, IPPROTO_UDP_, IPPROTO_SCTP_, IPPROTO_ICMP_})
            frames.push_back(ip_frame(proto, pair[0], pair[1], 40000, 5060,
                                      proto == IPPROTO_UDP_ ? "INVITE x SIP/2.0\r\nCall-ID: 9\r\n\r\n" : ""));
    frames.push_back(FrameBuilder()
                         .eth("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:02")
                         .arp(ARP_REQUEST, "02:00:00:00:00:02", "192.0.2.7", "00:00:00:00:00:00", "192.0.2.1")
                         .build());
    int keys = 0;
    for (const auto &full : frames) {
        for (size_t n = 0; n <= full.size(); n++) {
            uint8_t *block = new uint8_t[n > 0 ? n : 1];
            if (n > 0)
                memcpy(block, full.data(), n);
            FRAMEINFO fi;
            frame_parse(block, (int)n, &fi);
            for (int i = 0; i < sid_handler_count; i++) {
                char own[SIDBUFLEN];
                char made[SIDBUFLEN];
                const char *want = sid_handlers[i].handler(block, (int)n, own);
                const char *got = sid_make(sid_handlers[i].handler, block, (int)n, &fi, made);
                if (want == nullptr) {
                    EXPECT_EQ(got, nullptr) << sid_handlers[i].name << " len " << n;
                    continue;
                }
                keys++;
                ASSERT_EQ(got, made) << sid_handlers[i].name << " len " << n;
                EXPECT_STREQ(got, want) << sid_handlers[i].name << " len " << n;
                // The table's key of it, made afresh and then again (kept).
                for (int round = 0; round < 2; round++) {
                    char keyed[SIDBUFLEN];
                    STKEY k;
                    ASSERT_TRUE(sid_make_key(sid_handlers[i].handler, block, (int)n, &fi, keyed, &k));
                    EXPECT_EQ(k.id, keyed);
                    EXPECT_STREQ(keyed, want) << sid_handlers[i].name << " len " << n;
                    EXPECT_EQ(k.len, strlen(want));
                    EXPECT_EQ(k.bucket, st_bucket(want, strlen(want)));
                }
            }
            delete[] block;
        }
    }
    EXPECT_GT(keys, 0);

    const Frame &f = frames[0];
    FRAMEINFO fi;
    ASSERT_TRUE(frame_parse(f.data(), (int)f.size(), &fi));
    char out[SIDBUFLEN];
    ASSERT_NE(sid_make(sid_src_port, f.data(), (int)f.size(), &fi, out), nullptr);
    EXPECT_STREQ(out, "192.0.2.7:40000");
    fi.l4len = L4_PORTSLEN - 1;  // the caller's parse says the ports are cut off
    EXPECT_EQ(sid_make(sid_src_port, f.data(), (int)f.size(), &fi, out), nullptr);
    EXPECT_NE(sid_make(sid_src, f.data(), (int)f.size(), &fi, out), nullptr);
    EXPECT_STREQ(sid_make(length_key, f.data(), 54, &fi, out), "len 54");
    EXPECT_EQ(sid_make(nullptr, f.data(), (int)f.size(), &fi, out), nullptr);
}

}  // namespace

namespace {

// The keys a thread keeps are those of the frame at hand: frames of many
// clients, ports and protocols, several of them meeting in the same kept
// row, in a shuffled order and again, each give sid_make's key.
TEST(SessionId, KeptKeysAreTheFramesOwn)
{
    std::vector<Frame> frames;
    for (int c = 0; c < 40; c++)
        for (int proto : {IPPROTO_TCP_, IPPROTO_UDP_, IPPROTO_ICMP_}) {
            // Frames share any three of the four fields with others.
            std::string src = "192.0.2." + std::to_string(1 + c % 4);
            std::string dst = "198.51.100." + std::to_string(1 + (c / 4) % 3);
            frames.push_back(ip_frame(proto, src.c_str(), dst.c_str(), 40000 + c % 3, 80 + c % 7));
        }
    uint32_t seed = 7;
    for (int pass = 0; pass < 3; pass++) {
        for (size_t i = frames.size(); i > 1; i--) {
            seed = seed * 1103515245u + 12345u;
            std::swap(frames[i - 1], frames[(seed >> 8) % i]);
        }
        for (const Frame &f : frames) {
            FRAMEINFO fi;
            ASSERT_TRUE(frame_parse(f.data(), (int)f.size(), &fi));
            for (SIDHANDLER h : {sid_src, sid_src_port, sid_src_ports, sid_dst_ports, sid_src_dst}) {
                char want[SIDBUFLEN], got[SIDBUFLEN];
                const char *w = sid_make(h, f.data(), (int)f.size(), &fi, want);
                STKEY k;
                bool made = sid_make_key(h, f.data(), (int)f.size(), &fi, got, &k);
                ASSERT_EQ(made, w != nullptr) << sid_name(h);
                if (!made)
                    continue;
                EXPECT_STREQ(got, want) << sid_name(h);
                EXPECT_EQ(k.len, strlen(want)) << sid_name(h);
                EXPECT_EQ(k.bucket, st_bucket(want, strlen(want))) << sid_name(h);
            }
        }
    }
}

}  // namespace
