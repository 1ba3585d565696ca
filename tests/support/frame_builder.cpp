// Test-only frame builder.
#include "support/frame_builder.h"

#include <arpa/inet.h>

namespace {

void put16(std::vector<uint8_t> &f, int v)
{
    f.push_back((uint8_t)(v >> 8));
    f.push_back((uint8_t)v);
}

void ethernet(std::vector<uint8_t> &f, int etype)
{
    static const uint8_t dst[6] = {0x06, 0x00, 192, 0, 2, 1};
    static const uint8_t src[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
    f.insert(f.end(), dst, dst + 6);
    f.insert(f.end(), src, src + 6);
    put16(f, etype);
}

// Transport header and payload; the length field of UDP covers both.
std::vector<uint8_t> transport(int proto, int sport, int dport, const std::string &payload)
{
    std::vector<uint8_t> t;
    switch (proto) {
    case FB_TCP:
        put16(t, sport);
        put16(t, dport);
        t.insert(t.end(), 8, 0);    // sequence, acknowledgement
        t.push_back(5 << 4);        // data offset 5 words
        t.push_back(0x02);          // SYN
        put16(t, 5840);
        t.insert(t.end(), 4, 0);    // checksum, urgent pointer
        break;
    case FB_UDP:
        put16(t, sport);
        put16(t, dport);
        put16(t, 8 + (int)payload.size());
        put16(t, 0);
        break;
    case FB_SCTP:
        put16(t, sport);
        put16(t, dport);
        t.insert(t.end(), 8, 0);    // verification tag, checksum
        break;
    default:                        // ICMP / ICMPv6 echo request
        t.push_back(proto == FB_ICMP6 ? 128 : 8);
        t.insert(t.end(), 7, 0);
        break;
    }
    t.insert(t.end(), payload.begin(), payload.end());
    return t;
}

}  // namespace

std::vector<uint8_t> fb_ipv4(int proto, const char *src, const char *dst, int sport, int dport,
                             const std::string &payload)
{
    std::vector<uint8_t> f;
    ethernet(f, 0x0800);
    std::vector<uint8_t> t = transport(proto, sport, dport, payload);
    size_t ip = f.size();
    f.push_back(0x45);
    f.push_back(0);
    put16(f, 20 + (int)t.size());
    put16(f, 1);          // identification
    put16(f, 0x4000);     // don't fragment
    f.push_back(64);
    f.push_back((uint8_t)proto);
    put16(f, 0);          // checksum, below
    uint8_t a[4] = {};
    inet_pton(AF_INET, src, a);
    f.insert(f.end(), a, a + 4);
    inet_pton(AF_INET, dst, a);
    f.insert(f.end(), a, a + 4);
    uint32_t sum = 0;
    for (size_t i = ip; i < ip + 20; i += 2)
        sum += (uint32_t)(f[i] << 8 | f[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    f[ip + 10] = (uint8_t)(~sum >> 8);
    f[ip + 11] = (uint8_t)~sum;
    f.insert(f.end(), t.begin(), t.end());
    return f;
}

std::vector<uint8_t> fb_ipv6(int proto, const char *src, const char *dst, int sport, int dport,
                             const std::string &payload)
{
    std::vector<uint8_t> f;
    ethernet(f, 0x86DD);
    std::vector<uint8_t> t = transport(proto, sport, dport, payload);
    f.push_back(0x60);
    f.insert(f.end(), 3, 0);
    put16(f, (int)t.size());
    f.push_back((uint8_t)proto);
    f.push_back(64);
    uint8_t a[16] = {};
    inet_pton(AF_INET6, src, a);
    f.insert(f.end(), a, a + 16);
    inet_pton(AF_INET6, dst, a);
    f.insert(f.end(), a, a + 16);
    f.insert(f.end(), t.begin(), t.end());
    return f;
}
