// The ports of TCP, UDP and SCTP frames, read from a parsed frame only
// where its transport header holds them.
#include <gtest/gtest.h>

#include "packet/frame.h"
#include "support/frames.h"

namespace {

Frame with_frag(Frame f, uint16_t frag)
{
    wr16(f.data() + ETH_HDRLEN + IP4_FRAG, frag);
    return f;
}

Frame with_totlen(Frame f, uint16_t totlen)
{
    wr16(f.data() + ETH_HDRLEN + IP4_TOTLEN, totlen);
    return f;
}

TEST(FramePorts, ReadOnlyFromAPresentTransportHeader)
{
    FrameBuilder b4;
    b4.eth("06:00:c6:33:64:01", "02:00:00:00:00:02").ipv4("192.0.2.7", "198.51.100.1");
    Frame tcp = FrameBuilder(b4).tcp(40000, 80, TCP_SYN).build();
    Frame udp6 = FrameBuilder()
                     .eth("06:00:c6:33:64:01", "02:00:00:00:00:02")
                     .ipv6("2001:db8::1", "2001:db8::2")
                     .udp(5060, 5061)
                     .build();
    struct Case {
        const char *what;
        Frame frame;
        bool has;
        uint16_t sport;
        uint16_t dport;
    } cases[] = {
        {"TCP", tcp, true, 40000, 80},
        {"UDP over IPv6", udp6, true, 5060, 5061},
        {"SCTP", FrameBuilder(b4).sctp(2905, 3868).build(), true, 2905, 3868},
        {"ICMP has no ports", FrameBuilder(b4).icmp_echo(ICMP_ECHO, 7, 1).build(), false, 0, 0},
        {"first fragment", with_frag(tcp, IP4_MF), true, 40000, 80},
        {"later fragment", with_frag(tcp, 185), false, 0, 0},
        {"IP length inside the ports", with_totlen(tcp, IP4_MINHDR + L4_PORTSLEN - 1), false, 0, 0},
        {"IP length just holding the ports", with_totlen(tcp, IP4_MINHDR + L4_PORTSLEN), true, 40000, 80},
        {"ARP", FrameBuilder()
                    .eth("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:02")
                    .arp(ARP_REQUEST, "02:00:00:00:00:02", "192.0.2.7", "00:00:00:00:00:00", "192.0.2.1")
                    .build(),
         false, 0, 0},
    };
    for (const Case &c : cases) {
        FRAMEINFO fi;
        frame_parse(c.frame.data(), (int)c.frame.size(), &fi);
        uint16_t sport = 1;
        uint16_t dport = 1;
        EXPECT_EQ(frame_ports(c.frame.data(), &fi, &sport, &dport), c.has) << c.what;
        if (c.has) {
            EXPECT_EQ(sport, c.sport) << c.what;
            EXPECT_EQ(dport, c.dport) << c.what;
        }
    }
}

}  // namespace
