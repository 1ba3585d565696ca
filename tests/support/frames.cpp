#include "support/frames.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

#include "config/addr.h"
#include "packet/frame.h"
#include "packet/translate.h"

std::vector<uint8_t> mac_bytes(const char *mac)
{
    std::vector<uint8_t> b(6);
    parse_mac(mac, b.data());
    return b;
}

std::vector<uint8_t> ip4_bytes(const char *ip)
{
    std::vector<uint8_t> b(4);
    inet_pton(AF_INET, ip, b.data());
    return b;
}

std::vector<uint8_t> ip6_bytes(const char *ip)
{
    std::vector<uint8_t> b(16);
    inet_pton(AF_INET6, ip, b.data());
    return b;
}

std::vector<uint8_t> ip16_bytes(const char *ip)
{
    std::vector<uint8_t> b(16);
    if (inet_pton(AF_INET, ip, b.data() + 12) == 1) {
        b[10] = b[11] = 0xff;
        return b;
    }
    return ip6_bytes(ip);
}

static void put16(Frame &f, uint16_t v)
{
    f.push_back((uint8_t)(v >> 8));
    f.push_back((uint8_t)v);
}

static void put32(Frame &f, uint32_t v)
{
    put16(f, (uint16_t)(v >> 16));
    put16(f, (uint16_t)v);
}

static void append(Frame &f, const std::vector<uint8_t> &b) { f.insert(f.end(), b.begin(), b.end()); }

FrameBuilder &FrameBuilder::eth(const char *dst, const char *src)
{
    eth_.clear();
    append(eth_, mac_bytes(dst));
    append(eth_, mac_bytes(src));
    return *this;
}

FrameBuilder &FrameBuilder::ethertype(uint16_t type)
{
    type_ = type;
    return *this;
}

FrameBuilder &FrameBuilder::arp(uint16_t op, const char *sha, const char *spa, const char *tha, const char *tpa)
{
    type_ = ETHTYPE_ARP;
    l3_.clear();
    put16(l3_, 1);
    put16(l3_, ETHTYPE_IPV4);
    l3_.push_back(6);
    l3_.push_back(4);
    put16(l3_, op);
    append(l3_, mac_bytes(sha));
    append(l3_, ip4_bytes(spa));
    append(l3_, mac_bytes(tha));
    append(l3_, ip4_bytes(tpa));
    return *this;
}

FrameBuilder &FrameBuilder::ipv4(const char *src, const char *dst, uint8_t ttl)
{
    type_ = ETHTYPE_IPV4;
    ipver_ = 4;
    l3_.assign(IP4_MINHDR, 0);
    l3_[IP4_VIHL] = 0x45;
    wr16(&l3_[IP4_ID], 0x4242);
    wr16(&l3_[IP4_FRAG], 0x4000);  // don't fragment
    l3_[IP4_TTL] = ttl;
    auto s = ip4_bytes(src), d = ip4_bytes(dst);
    memcpy(&l3_[IP4_SRC], s.data(), 4);
    memcpy(&l3_[IP4_DST], d.data(), 4);
    return *this;
}

FrameBuilder &FrameBuilder::ipv6(const char *src, const char *dst, uint8_t hlim)
{
    type_ = ETHTYPE_IPV6;
    ipver_ = 6;
    l3_.assign(IP6_HDRLEN, 0);
    l3_[IP6_VTCFL] = 0x60;
    l3_[IP6_HLIM] = hlim;
    auto s = ip6_bytes(src), d = ip6_bytes(dst);
    memcpy(&l3_[IP6_SRC], s.data(), 16);
    memcpy(&l3_[IP6_DST], d.data(), 16);
    return *this;
}

FrameBuilder &FrameBuilder::icmp_echo(uint8_t type, uint16_t id, uint16_t seq, const std::string &data)
{
    proto_ = IPPROTO_ICMP_;
    l4_ = {type, 0, 0, 0};
    put16(l4_, id);
    put16(l4_, seq);
    return payload(data);
}

FrameBuilder &FrameBuilder::icmp6_echo(uint8_t type, uint16_t id, uint16_t seq, const std::string &data)
{
    icmp_echo(type, id, seq, data);
    proto_ = IPPROTO_ICMPV6_;
    return *this;
}

FrameBuilder &FrameBuilder::tcp(uint16_t sport, uint16_t dport, uint8_t flags, uint32_t seq, uint32_t ack)
{
    proto_ = IPPROTO_TCP_;
    l4_.clear();
    put16(l4_, sport);
    put16(l4_, dport);
    put32(l4_, seq);
    put32(l4_, ack);
    l4_.push_back(0x50);
    l4_.push_back(flags);
    put16(l4_, 65535);
    put32(l4_, 0);
    return *this;
}

FrameBuilder &FrameBuilder::udp(uint16_t sport, uint16_t dport)
{
    proto_ = IPPROTO_UDP_;
    l4_.clear();
    put16(l4_, sport);
    put16(l4_, dport);
    put32(l4_, 0);
    return *this;
}

FrameBuilder &FrameBuilder::sctp(uint16_t sport, uint16_t dport)
{
    proto_ = IPPROTO_SCTP_;
    l4_.clear();
    put16(l4_, sport);
    put16(l4_, dport);
    put32(l4_, 0x01020304);
    put32(l4_, 0);
    return *this;
}

FrameBuilder &FrameBuilder::proto(uint8_t p)
{
    proto_ = p;
    l4_.clear();
    return *this;
}

FrameBuilder &FrameBuilder::payload(const std::string &data)
{
    data_.assign(data.begin(), data.end());
    return *this;
}

FrameBuilder &FrameBuilder::pad(size_t minlen)
{
    pad_ = minlen;
    return *this;
}

Frame FrameBuilder::build() const
{
    Frame f = eth_;
    f.resize(12, 0);
    put16(f, type_);
    size_t l3 = f.size();
    append(f, l3_);
    size_t l4 = f.size();
    append(f, l4_);
    append(f, data_);
    size_t l4len = f.size() - l4;
    if (ipver_ == 4) {
        f[l3 + IP4_PROTO] = proto_;
        wr16(&f[l3 + IP4_TOTLEN], (uint16_t)(f.size() - l3));
    } else if (ipver_ == 6) {
        f[l3 + IP6_NXT] = proto_;
        wr16(&f[l3 + IP6_PLEN], (uint16_t)l4len);
    }
    if (proto_ == IPPROTO_UDP_ && ipver_ != 0)
        wr16(&f[l4 + UDP_LEN], (uint16_t)l4len);
    if (ipver_ != 0) {
        FRAMEINFO fi;
        if (frame_parse(f.data(), (int)f.size(), &fi)) {
            if (ipver_ == 4)
                ip4_set_checksum(&f[l3], IP4_MINHDR);
            if (proto_ == IPPROTO_SCTP_)
                sctp_set_crc(f.data(), &fi);
            else
                l4_set_checksum(f.data(), &fi);
        }
    }
    if (f.size() < pad_)
        f.resize(pad_, 0);
    return f;
}

std::string checksum_errors(const Frame &f)
{
    FRAMEINFO fi;
    if (!frame_parse(f.data(), (int)f.size(), &fi))
        return fi.ethertype == ETHTYPE_IPV4 || fi.ethertype == ETHTYPE_IPV6 ? "malformed IP frame" : "";
    if (fi.ethertype == ETHTYPE_IPV4 && inet_checksum(f.data() + fi.l3, fi.l3hdr) != 0)
        return "IPv4 header checksum wrong";
    if (fi.l4 < 0)
        return "";
    switch (fi.proto) {
    case IPPROTO_TCP_:
    case IPPROTO_UDP_:
    case IPPROTO_ICMP_:
    case IPPROTO_ICMPV6_:
        if (!l4_checksum_ok(f.data(), &fi)) {
            char msg[64];
            snprintf(msg, sizeof msg, "layer-4 checksum wrong (protocol %d)", fi.proto);
            return msg;
        }
        return "";
    default:
        return "";
    }
}

std::string checksum_mismatch(const Frame &f)
{
    FRAMEINFO fi;
    if (!frame_parse(f.data(), (int)f.size(), &fi) || fi.ethertype == ETHTYPE_ARP)
        return "";
    Frame c = f;
    if (fi.ethertype == ETHTYPE_IPV4) {
        ip4_set_checksum(c.data() + fi.l3, fi.l3hdr);
        if (c != f)
            return "IPv4 header checksum differs from a full computation";
    }
    if (fi.l4 < 0)
        return "";
    if (fi.proto == IPPROTO_SCTP_)
        sctp_set_crc(c.data(), &fi);
    else if (!(fi.proto == IPPROTO_UDP_ && fi.ethertype == ETHTYPE_IPV4 && fi.l4len >= UDP_HDRLEN &&
               rd16(f.data() + fi.l4 + UDP_CSUM) == 0))
        l4_set_checksum(c.data(), &fi);
    if (c == f)
        return "";
    char msg[96];
    snprintf(msg, sizeof msg, "layer-4 checksum (protocol %d) differs from a full computation", fi.proto);
    return msg;
}

Frame offloaded(Frame f)
{
    FRAMEINFO fi;
    if (!frame_parse(f.data(), (int)f.size(), &fi) || fi.l4 < 0)
        return f;
    const uint8_t *ip = f.data() + fi.l3;
    uint16_t partial = 0;
    if (fi.ethertype == ETHTYPE_IPV6)
        partial = (uint16_t)~csum_fold(pseudo6_sum(ip + IP6_SRC, ip + IP6_DST, fi.proto, (uint32_t)fi.l4len));
    else if (fi.proto != IPPROTO_ICMP_)
        partial = (uint16_t)~csum_fold(pseudo4_sum(ip + IP4_SRC, ip + IP4_DST, fi.proto, (uint32_t)fi.l4len));
    int field = fi.proto == IPPROTO_TCP_ ? TCP_CSUM : fi.proto == IPPROTO_UDP_ ? UDP_CSUM : ICMP_CSUM;
    if (fi.l4len >= field + 2)
        wr16(&f[(size_t)(fi.l4 + field)], partial);
    return f;
}

// The ICMPv6 part of an NS or NA with a zero checksum (FrameBuilder fills it).
static std::string nd_message(uint8_t type, uint8_t flags, const char *target, uint8_t opt, const char *mac)
{
    std::string m(32, '\0');
    m[0] = (char)type;
    m[4] = (char)flags;
    std::vector<uint8_t> t = ip6_bytes(target);
    memcpy(&m[8], t.data(), 16);
    m[24] = (char)opt;
    m[25] = 1;
    std::vector<uint8_t> mb = mac_bytes(mac);
    memcpy(&m[26], mb.data(), 6);
    return m;
}

Frame nd_frame(const char *dmac, const char *smac, const char *src, const char *dst, uint8_t type, uint8_t flags,
               const char *target, uint8_t opt, const char *optmac)
{
    return FrameBuilder()
        .eth(dmac, smac)
        .ipv6(src, dst, 255)
        .proto(58)
        .payload(nd_message(type, flags, target, opt, optmac))
        .build();
}

std::string hex(const Frame &f)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < f.size(); i++) {
        snprintf(b, sizeof b, "%02x", f[i]);
        s += b;
        s += (i % 16 == 15) ? "\n" : " ";
    }
    return s;
}
