// Frame parsing and internet checksum helpers (see frame.h).
#include "packet/frame.h"

#include "packet/translate.h"

bool frame_parse(const uint8_t *frame, int len, FRAMEINFO *fi)
{
    fi->ethertype = 0;
    fi->l3 = fi->l4 = -1;
    fi->l3hdr = fi->l3len = fi->l4len = 0;
    fi->proto = 0;
    fi->fragment = false;
    fi->truncated = false;
    if (len < ETH_HDRLEN)
        return false;
    fi->ethertype = rd16(frame + ETH_TYPE);
    const int avail = len - ETH_HDRLEN;
    const uint8_t *ip = frame + ETH_HDRLEN;

    switch (fi->ethertype) {
    case ETHTYPE_ARP:
        if (avail < ARP_PKTLEN)
            return false;
        fi->l3 = ETH_HDRLEN;
        fi->l3hdr = fi->l3len = ARP_PKTLEN;
        return true;

    case ETHTYPE_IPV4: {
        if (avail < IP4_MINHDR || (ip[IP4_VIHL] >> 4) != 4)
            return false;
        int hdr = (ip[IP4_VIHL] & 0x0f) * 4;
        int total = rd16(ip + IP4_TOTLEN);
        if (hdr < IP4_MINHDR || total < hdr)
            return false;
        fi->truncated = total > avail;
        if (hdr > avail)
            return false;
        // Ethernet pads short packets to 60 bytes and a cut packet holds
        // fewer bytes than announced: the smaller length is what is there.
        int present = total < avail ? total : avail;
        fi->l3 = ETH_HDRLEN;
        fi->l3hdr = hdr;
        fi->l3len = present;
        fi->proto = ip[IP4_PROTO];
        fi->fragment = (rd16(ip + IP4_FRAG) & IP4_OFFMASK) != 0;
        if (!fi->fragment) {
            fi->l4 = ETH_HDRLEN + hdr;
            fi->l4len = present - hdr;
        }
        return true;
    }

    case ETHTYPE_IPV6: {
        if (avail < IP6_HDRLEN || (ip[IP6_VTCFL] >> 4) != 6)
            return false;
        int payload = rd16(ip + IP6_PLEN);
        int present = avail - IP6_HDRLEN;
        fi->truncated = payload > present;
        if (payload < present)
            present = payload;
        fi->l3 = ETH_HDRLEN;
        fi->l3hdr = IP6_HDRLEN;
        fi->l3len = IP6_HDRLEN + present;
        fi->proto = ip[IP6_NXT];
        fi->l4 = ETH_HDRLEN + IP6_HDRLEN;
        fi->l4len = present;
        return true;
    }

    default:
        return false;
    }
}

int frame_insert_vlan(uint8_t *frame, int len, uint16_t tpid, uint16_t tci)
{
    if (len < ETH_TYPE)
        return len;
    memmove(frame + ETH_TYPE + VLAN_TAGLEN, frame + ETH_TYPE, (size_t)(len - ETH_TYPE));
    wr16(frame + ETH_TYPE, tpid);
    wr16(frame + ETH_TYPE + 2, tci);
    return len + VLAN_TAGLEN;
}

// The one's-complement sum does not depend on the order in which words
// are added, nor on the byte order they are added in, as long as the
// result is swapped back (RFC 1071, section 2). So the data is summed as
// native 64-bit words, each split into two 32-bit halves added into 64-bit
// accumulators (no carry is lost before 2^32 words), then folded to 16
// bits and, on a little-endian host, byte-swapped into the big-endian word
// sum the callers carry. Loads go through memcpy, so any start alignment
// is fine. An odd last byte is the high byte of a word padded with zero:
// the tail is copied into a zeroed block, which keeps it at an even offset
// from p as the pairing requires.
static inline uint64_t load64(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

uint32_t csum_add(uint32_t sum, const uint8_t *p, int n)
{
    uint64_t a = 0, b = 0, c = 0, d = 0;
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        uint64_t v = load64(p + i), w = load64(p + i + 8);
        a += (uint32_t)v;
        b += v >> 32;
        c += (uint32_t)w;
        d += w >> 32;
    }
    if (i < n) {
        uint8_t tail[16] = {};
        memcpy(tail, p + i, (size_t)(n - i));
        uint64_t v = load64(tail), w = load64(tail + 8);
        a += (uint32_t)v;
        b += v >> 32;
        c += (uint32_t)w;
        d += w >> 32;
    }
    uint64_t s = (a + b) + (c + d);  // below 2^61 for any n that fits an int
    while (s >> 16)
        s = (s & 0xffff) + (s >> 16);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    s = ((s & 0xff) << 8) | (s >> 8);
#endif
    uint64_t t = (uint64_t)sum + s;
    return (uint32_t)((t & 0xffffffffu) + (t >> 32));
}

uint16_t csum_fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return (uint16_t)~sum;
}

uint32_t pseudo4_sum(const uint8_t *src4, const uint8_t *dst4, uint8_t proto, uint32_t l4len)
{
    uint32_t sum = csum_add(0, src4, 4);
    sum = csum_add(sum, dst4, 4);
    return sum + proto + (l4len & 0xffff) + (l4len >> 16);
}

uint32_t pseudo6_sum(const uint8_t *src16, const uint8_t *dst16, uint8_t nxt, uint32_t l4len)
{
    uint32_t sum = csum_add(0, src16, 16);
    sum = csum_add(sum, dst16, 16);
    return sum + nxt + (l4len & 0xffff) + (l4len >> 16);
}

void ip4_set_checksum(uint8_t *ip, int hdrlen)
{
    wr16(ip + IP4_CSUM, 0);
    wr16(ip + IP4_CSUM, inet_checksum(ip, hdrlen));
}

// Offset of the checksum field inside the layer-4 header and the smallest
// header that contains it; -1 for protocols without an internet checksum.
static int l4_csum_field(uint8_t proto, bool ipv6, int *minhdr)
{
    switch (proto) {
    case IPPROTO_TCP_:
        *minhdr = TCP_MINHDR;
        return TCP_CSUM;
    case IPPROTO_UDP_:
        *minhdr = UDP_HDRLEN;
        return UDP_CSUM;
    case IPPROTO_ICMP_:
        if (ipv6)
            return -1;
        *minhdr = ICMP_HDRLEN;
        return ICMP_CSUM;
    case IPPROTO_ICMPV6_:
        if (!ipv6)
            return -1;
        *minhdr = ICMP_HDRLEN;
        return ICMP_CSUM;
    default:
        return -1;
    }
}

// Running sum over the pseudo-header (where the protocol has one) and the
// layer-4 bytes, with whatever the checksum field holds.
static uint32_t l4_sum(const uint8_t *frame, const FRAMEINFO *fi)
{
    const uint8_t *ip = frame + fi->l3;
    uint32_t sum = 0;
    if (fi->ethertype == ETHTYPE_IPV6)
        sum = pseudo6_sum(ip + IP6_SRC, ip + IP6_DST, fi->proto, (uint32_t)fi->l4len);
    else if (fi->proto != IPPROTO_ICMP_)
        sum = pseudo4_sum(ip + IP4_SRC, ip + IP4_DST, fi->proto, (uint32_t)fi->l4len);
    return csum_add(sum, frame + fi->l4, fi->l4len);
}

// Offset of the layer-4 checksum field in the frame, or -1 when the frame
// has no layer-4 header of a checksummed protocol that is whole.
static int l4_csum_offset(const FRAMEINFO *fi)
{
    if (fi->l4 < 0)
        return -1;
    int minhdr = 0;
    int field = l4_csum_field(fi->proto, fi->ethertype == ETHTYPE_IPV6, &minhdr);
    if (field < 0 || fi->l4len < minhdr)
        return -1;
    return fi->l4 + field;
}

bool l4_set_checksum(uint8_t *frame, const FRAMEINFO *fi)
{
    int off = l4_csum_offset(fi);
    if (off < 0)
        return false;
    uint8_t *f = frame + off;
    wr16(f, 0);
    uint16_t c = csum_fold(l4_sum(frame, fi));
    if (c == 0 && fi->proto == IPPROTO_UDP_)
        c = 0xffff;
    wr16(f, c);
    return true;
}

bool l4_checksum_ok(const uint8_t *frame, const FRAMEINFO *fi)
{
    int off = l4_csum_offset(fi);
    if (off < 0)
        return false;
    if (fi->proto == IPPROTO_UDP_ && fi->ethertype == ETHTYPE_IPV4 && rd16(frame + off) == 0)
        return true;
    return csum_fold(l4_sum(frame, fi)) == 0;
}

bool ip4_checksum_ok(const uint8_t *frame, const FRAMEINFO *fi)
{
    if (fi->l3 < 0 || fi->ethertype != ETHTYPE_IPV4)
        return false;
    return inet_checksum(frame + fi->l3, fi->l3hdr) == 0;
}

bool frame_finish_checksum(uint8_t *frame, const FRAMEINFO *fi)
{
    if (fi->l4 < 0)
        return false;
    if (fi->proto == IPPROTO_SCTP_)
        return sctp_set_crc(frame, fi);
    if (fi->proto != IPPROTO_TCP_ && fi->proto != IPPROTO_UDP_)
        return false;
    return l4_set_checksum(frame, fi);
}

void csum_replace(uint8_t *field, const uint8_t *oldb, const uint8_t *newb, int n)
{
    // ~HC + ~m + m' summed over every changed word, then complemented.
    csum_apply(field, csum_change(oldb, newb, n));
}

void csum_replace16(uint8_t *field, uint16_t oldv, uint16_t newv)
{
    uint8_t o[2], n[2];
    wr16(o, oldv);
    wr16(n, newv);
    csum_replace(field, o, n, 2);
}

void csum_replace_udp(uint8_t *field, const uint8_t *oldb, const uint8_t *newb, int n)
{
    if (rd16(field) == 0)
        return;
    csum_replace(field, oldb, newb, n);
    if (rd16(field) == 0)
        wr16(field, 0xffff);
}

void icmp4_csum_replace(uint8_t *icmp, int icmplen, const uint8_t *oldb, const uint8_t *newb, int n)
{
    uint8_t *field = icmp + ICMP_CSUM;
    csum_replace(field, oldb, newb, n);
    // 0x0000 means the message sums to negative zero, or is all zero; only
    // a message of type 0, code 0 can be the latter. The checksum field
    // itself holds 0 now and so does not disturb the test.
    if (rd16(field) == 0 && rd16(icmp + ICMP_TYPE) == 0 && csum_add(0, icmp, icmplen) == 0)
        wr16(field, 0xffff);
}
