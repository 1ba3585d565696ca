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

}  // namespace
